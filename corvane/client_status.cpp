#include "corvane/client_status.h"

#include <array>
#include <ostream>
#include <stdexcept>
#include <string_view>

namespace corvane {

namespace {

constexpr std::array<std::string_view, 8> status_names{
    "disconnected", "preparing_connection", "loading_config", "loading_alignment_index",
    "loading_bed_file", "connecting", "connected", "error",
};

constexpr std::array<std::string_view, 12> error_names{
    "no_error",
    "bad_request",
    "bad_reply",
    "timed_out",
    "invalid_response",
    "basecall_config_unavailable",
    "barcode_kit_unavailable",
    "align_index_unavailable",
    "bed_file_unavailable",
    "invalid_aligner_options",
    "file_load_timeout",
    "failed",
};

}  // namespace

std::string to_string(ClientStatus status) {
    const auto index = static_cast<std::int64_t>(status);
    if (index < 0 || index >= static_cast<std::int64_t>(status_names.size())) {
        throw std::runtime_error("unrecognised ClientStatus value");
    }
    return std::string(status_names[static_cast<std::size_t>(index)]);
}

std::string to_string(ConnectionError error) {
    const auto index = static_cast<std::int64_t>(error);
    if (index < 0 || index >= static_cast<std::int64_t>(error_names.size())) {
        throw std::runtime_error("unrecognised ConnectionError value");
    }
    return std::string(error_names[static_cast<std::size_t>(index)]);
}

std::string to_string(const ConnectionErrorInfo& error) {
    return "[" + to_string(error.code) + "] " + error.message;
}

std::ostream& operator<<(std::ostream& out, const ConnectionErrorInfo& error) {
    return out << to_string(error);
}

ClientQueueReadsResult to_client_result(BufferQueueReadsResult result) {
    switch (result) {
    case BufferQueueReadsResult::queued: return ClientQueueReadsResult::queued;
    case BufferQueueReadsResult::no_room: return ClientQueueReadsResult::queue_full;
    case BufferQueueReadsResult::not_accepting: return ClientQueueReadsResult::not_accepting;
    case BufferQueueReadsResult::bad_read: return ClientQueueReadsResult::bad_read;
    }
    throw std::runtime_error("Unrecognised BufferQueueReadsResult value");
}

}  // namespace corvane
