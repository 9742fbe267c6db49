#include "apps/client/result_codes.h"

#include <array>
#include <ostream>
#include <stdexcept>
#include <string_view>

#include "apps/client/read.h"

namespace apps {

namespace {

template <std::size_t N, class Enum>
std::string text_of(const std::array<std::string_view, N>& names, Enum value, const char* failure) {
    const auto index = static_cast<std::int64_t>(value);
    if (index < 0 || index >= static_cast<std::int64_t>(N)) {
        throw std::runtime_error(failure);
    }
    return std::string(names[static_cast<std::size_t>(index)]);
}

constexpr std::array<std::string_view, 15> result_names{
    "success",
    "no_connection",
    "already_connected",
    "not_ready",
    "timed_out",
    "invalid_response",
    "basecall_config_unavailable",
    "barcode_kit_unavailable",
    "align_index_unavailable",
    "bed_file_unavailable",
    "file_load_timeout",
    "failed",
    "bad_request",
    "bad_reply",
    "invalid_aligner_options",
};

constexpr std::array<std::string_view, 8> status_names{
    "disconnected", "preparing_connection", "loading_config", "loading_alignment_index",
    "loading_bed_file", "connecting", "connected", "error",
};

constexpr std::array<std::string_view, 4> pass_read_names{
    "success", "not_accepting_reads", "queue_full", "bad_read",
};

constexpr std::array<std::string_view, 3> priority_names{
    "HIGH_PRIORITY", "MEDIUM_PRIORITY", "LOW_PRIORITY",
};

}  // namespace

std::string to_string(Result value) { return text_of(result_names, value, "unrecognised Result value"); }

std::string to_string(ConnectionStatus value) {
    return text_of(status_names, value, "unrecognised connection status");
}

std::string to_string(PassReadResult value) {
    return text_of(pass_read_names, value, "unrecognised PassReadResult");
}

std::string to_string(Read::Priority value) {
    const auto index = static_cast<std::int64_t>(value);
    if (index < 0 || index >= static_cast<std::int64_t>(priority_names.size())) {
        return "invalid_priority_value";
    }
    return std::string(priority_names[static_cast<std::size_t>(index)]);
}

std::ostream& operator<<(std::ostream& out, ConnectionStatus value) { return out << to_string(value); }
std::ostream& operator<<(std::ostream& out, PassReadResult value) { return out << to_string(value); }
std::ostream& operator<<(std::ostream& out, Result value) { return out << to_string(value); }

}  // namespace apps
