#include "apps/client/result_conversions.h"

#include <stdexcept>

namespace apps {

ConnectionStatus to_connection_status(corvane::ClientStatus status) {
    const auto value = static_cast<std::int32_t>(status);
    if (value < 0 || value > 7) {
        throw std::runtime_error("unrecognised corvane::ClientStatus value");
    }
    return static_cast<ConnectionStatus>(value);
}

PassReadResult to_pass_read_result(corvane::ClientQueueReadsResult result) {
    using corvane::ClientQueueReadsResult;
    switch (result) {
    case ClientQueueReadsResult::queued: return PassReadResult::success;
    case ClientQueueReadsResult::not_accepting: return PassReadResult::not_accepting_reads;
    case ClientQueueReadsResult::queue_full: return PassReadResult::queue_full;
    case ClientQueueReadsResult::bad_read: return PassReadResult::bad_read;
    }
    throw std::runtime_error("Unrecognised ClientQueueReadsResult value");
}

std::optional<Result> to_result(corvane::ConnectionError error) {
    using corvane::ConnectionError;
    switch (error) {
    case ConnectionError::no_error: return std::nullopt;
    case ConnectionError::bad_request: return Result::bad_request;
    case ConnectionError::bad_reply: return Result::bad_reply;
    case ConnectionError::timed_out: return Result::timed_out;
    case ConnectionError::invalid_response: return Result::invalid_response;
    case ConnectionError::basecall_config_unavailable: return Result::basecall_config_unavailable;
    case ConnectionError::barcode_kit_unavailable: return Result::barcode_kit_unavailable;
    case ConnectionError::align_index_unavailable: return Result::align_index_unavailable;
    case ConnectionError::bed_file_unavailable: return Result::bed_file_unavailable;
    case ConnectionError::invalid_aligner_options: return Result::invalid_aligner_options;
    case ConnectionError::file_load_timeout: return Result::file_load_timeout;
    case ConnectionError::failed: return Result::failed;
    }
    throw std::runtime_error("unrecognised ConnectionError value");
}

}  // namespace apps
