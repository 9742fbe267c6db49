#include "ipc_tools/message_type.h"

#include <array>

namespace ipc_tools {

namespace {

constexpr std::array<const char*, message_type_count> message_type_names = {
    "UNSET",
    "INVALID_PROTOCOL",
    "BAD_REQUEST",
    "CONNECT",
    "CONNECTED",
    "INVALID_CONFIG",
    "INVALID_BARCODE_KIT",
    "INVALID_ALIGNER_OPTIONS",
    "INVALID_INDEX",
    "INVALID_BED",
    "DISCONNECT",
    "DISCONNECTED",
    "TERMINATE",
    "SHUTTING_DOWN",
    "GET_STATISTICS",
    "RETURN_STATISTICS",
    "LOAD_CONFIG",
    "GET_CONFIGS",
    "RETURN_CONFIGS",
    "LOAD_INDEX",
    "GET_INDICES",
    "LOAD_BED",
    "PASS_FIRST_RAW_BLOCK",
    "NOT_READY",
    "PASS_NEXT_RAW_BLOCK",
    "PASS_READ_BATCH",
    "CLIENT_NOT_RECOGNISED",
    "RAW_BLOCK_ACCEPTED",
    "BATCH_ACCEPTED",
    "GET_FIRST_CALLED_BLOCK",
    "RETURN_FIRST_CALLED_BLOCK",
    "NONE_PENDING",
    "GET_NEXT_CALLED_BLOCK",
    "RETURN_NEXT_CALLED_BLOCK",
    "RETURN_COMPLETED_BATCH",
    "GET_BARCODE_KITS",
    "HEARTBEAT_PING",
    "HEARTBEAT_ECHO",
    "QUERY",
    "RESPONSE",
    "LOADING",
    "SUCCESS",
    "REQUEST_FAILED",
    "NO_MORE_DATA",
};

}  // namespace

const char* to_string(MessageType type) noexcept {
    const auto index = static_cast<std::int32_t>(type);
    if (index < 0 || index >= message_type_count) {
        return "<unknown>";
    }
    return message_type_names[static_cast<std::size_t>(index)];
}

}  // namespace ipc_tools
