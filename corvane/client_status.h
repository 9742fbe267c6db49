#pragma once

// Internal status and result codes of the client engine. Their numbers are
// fixed: the facade derives the public codes from them.

#include <cstdint>
#include <iosfwd>
#include <string>

namespace corvane {

// The engine's connection states, numbered like apps::ConnectionStatus.
enum class ClientStatus : std::int32_t {
    disconnected = 0,
    preparing_connection = 1,
    loading_config = 2,
    loading_alignment_index = 3,
    loading_bed_file = 4,
    connecting = 5,
    connected = 6,
    error = 7,
};

// Why a step that talks to the server failed.
enum class ConnectionError : std::int32_t {
    no_error = 0,
    bad_request = 1,
    bad_reply = 2,
    timed_out = 3,
    invalid_response = 4,
    basecall_config_unavailable = 5,
    barcode_kit_unavailable = 6,
    align_index_unavailable = 7,
    bed_file_unavailable = 8,
    invalid_aligner_options = 9,
    file_load_timeout = 10,
    failed = 11,
};

// The read buffer's answer to a queueing call.
enum class BufferQueueReadsResult : std::int32_t {
    queued = 0,
    no_room = 1,        // the input queue stayed full until the deadline
    not_accepting = 2,  // no more data, or the buffer is in error
    bad_read = 3,       // a read tag the wire cannot carry, or one in use
};

// The engine's answer to a queueing call; note that 1 and 2 are swapped
// relative to BufferQueueReadsResult.
enum class ClientQueueReadsResult : std::int32_t {
    queued = 0,
    not_accepting = 1,
    queue_full = 2,
    bad_read = 3,
};

// A failure cause and its message. Text form: "[" + cause + "] " + message.
struct ConnectionErrorInfo {
    ConnectionError code = ConnectionError::no_error;
    std::string message;

    bool operator==(const ConnectionErrorInfo&) const = default;
};

// Enumerator names; out-of-range values throw std::runtime_error.
std::string to_string(ClientStatus status);
std::string to_string(ConnectionError error);
std::string to_string(const ConnectionErrorInfo& error);
std::ostream& operator<<(std::ostream& out, const ConnectionErrorInfo& error);

// The buffer's answer as the engine gives it; throws std::runtime_error for
// a value outside the enumeration.
ClientQueueReadsResult to_client_result(BufferQueueReadsResult result);

}  // namespace corvane
