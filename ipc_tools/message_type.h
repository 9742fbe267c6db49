#pragma once

// The kinds of wire message as the library sees them, with their names.
// The numbering is the library's own: the wire carries the kind indirectly,
// as a union member plus that member's type field (see classify()).

#include <cstdint>

namespace ipc_tools {

enum class MessageType : std::int32_t {
    UNSET = 0,  // an empty or unintelligible message; never sent
    INVALID_PROTOCOL = 1,  // a frame of another protocol; never sent
    BAD_REQUEST = 2,
    CONNECT = 3,
    CONNECTED = 4,
    INVALID_CONFIG = 5,
    INVALID_BARCODE_KIT = 6,
    INVALID_ALIGNER_OPTIONS = 7,
    INVALID_INDEX = 8,
    INVALID_BED = 9,
    DISCONNECT = 10,
    DISCONNECTED = 11,
    TERMINATE = 12,
    SHUTTING_DOWN = 13,
    GET_STATISTICS = 14,
    RETURN_STATISTICS = 15,
    LOAD_CONFIG = 16,
    GET_CONFIGS = 17,
    RETURN_CONFIGS = 18,
    LOAD_INDEX = 19,
    GET_INDICES = 20,
    LOAD_BED = 21,
    PASS_FIRST_RAW_BLOCK = 22,
    NOT_READY = 23,
    PASS_NEXT_RAW_BLOCK = 24,
    PASS_READ_BATCH = 25,
    CLIENT_NOT_RECOGNISED = 26,
    RAW_BLOCK_ACCEPTED = 27,
    BATCH_ACCEPTED = 28,
    GET_FIRST_CALLED_BLOCK = 29,
    RETURN_FIRST_CALLED_BLOCK = 30,
    NONE_PENDING = 31,
    GET_NEXT_CALLED_BLOCK = 32,
    RETURN_NEXT_CALLED_BLOCK = 33,
    RETURN_COMPLETED_BATCH = 34,
    GET_BARCODE_KITS = 35,
    HEARTBEAT_PING = 36,
    HEARTBEAT_ECHO = 37,
    QUERY = 38,
    RESPONSE = 39,
    LOADING = 40,
    SUCCESS = 41,
    REQUEST_FAILED = 42,
    NO_MORE_DATA = 43,
};

// Number of kinds; every value below it is named.
inline constexpr std::int32_t message_type_count = 44;

// The kind's name ("NO_MORE_DATA"); "<unknown>" for any value outside 0..43.
const char* to_string(MessageType type) noexcept;

}  // namespace ipc_tools
