#pragma once

/// @file
/// Public result codes of the client library. The numbers cross the library
/// boundary (the Python module re-exports them by value) and never change.

#include <cstdint>
#include <iosfwd>
#include <string>

#include <apps/client/corvane_export.h>

namespace apps {

/// Outcome of client and query operations.
enum class Result : std::int32_t {
    success = 0,                      ///< the operation did what was asked
    no_connection = 1,                ///< the client has no live connection
    already_connected = 2,            ///< only allowed while disconnected
    not_ready = 3,                    ///< finishing timed out; the client is now disconnected
    timed_out = 4,                    ///< the server did not answer in time
    invalid_response = 5,             ///< the server's reply was unusable
    basecall_config_unavailable = 6,  ///< the server failed to load the configuration
    barcode_kit_unavailable = 7,      ///< the server does not know a requested barcode kit
    align_index_unavailable = 8,      ///< the server failed to load the alignment index
    bed_file_unavailable = 9,         ///< the server failed to load the bed file
    file_load_timeout = 10,           ///< the server did not finish loading a file in time
    failed = 11,                      ///< any other failure
    bad_request = 12,                 ///< the server rejected a request as malformed
    bad_reply = 13,                   ///< the server's reply was malformed
    invalid_aligner_options = 14,     ///< the server rejected the aligner option string
};

/// Public view of a client's connection state.
enum class ConnectionStatus : std::int32_t {
    disconnected = 0,
    preparing_connection = 1,
    loading_config = 2,
    loading_alignment_index = 3,
    loading_bed_file = 4,
    connecting = 5,
    connected = 6,
    error = 7,
};

/// Outcome of handing reads to a client.
enum class PassReadResult : std::int32_t {
    success = 0,              ///< all reads were queued
    not_accepting_reads = 1,  ///< no connection, error state, or no longer accepting reads
    queue_full = 2,           ///< the read queue stayed full for the whole timeout
    bad_read = 3,             ///< a read failed validation; nothing was queued
};

/// Text of a value, exactly its enumerator's name.
/// @throws std::runtime_error "unrecognised Result value" for values outside 0..14.
CORVANE_EXPORT std::string to_string(Result value);
/// @throws std::runtime_error "unrecognised connection status" for values outside 0..7.
CORVANE_EXPORT std::string to_string(ConnectionStatus value);
/// @throws std::runtime_error "unrecognised PassReadResult" for values outside 0..3.
CORVANE_EXPORT std::string to_string(PassReadResult value);

/// Write exactly the to_string() text; an out-of-range value throws and writes nothing.
CORVANE_EXPORT std::ostream& operator<<(std::ostream& out, ConnectionStatus value);
CORVANE_EXPORT std::ostream& operator<<(std::ostream& out, PassReadResult value);
CORVANE_EXPORT std::ostream& operator<<(std::ostream& out, Result value);

}  // namespace apps
