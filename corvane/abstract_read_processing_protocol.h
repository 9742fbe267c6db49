#pragma once

// The read exchange of one client, as the worker drives it: once a
// connection is up, process_reads pushes queued reads, pulls results back
// and keeps the link alive until stopped or until the first failure.

#include <string>

#include "corvane/client_status.h"

namespace corvane {

class ReadBuffer;
class RequestBrokerAdapter;

class AbstractReadProcessingProtocol {
public:
    virtual ~AbstractReadProcessingProtocol() = default;

    // Worker thread. Returns no_error after stop, otherwise the first
    // failure. Both pointers must stay valid for the call.
    virtual ConnectionErrorInfo process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) = 0;
    // Any thread; final. process_reads returns at its next turn.
    virtual void stop() = 0;
    // Worker thread, after every connection. Returns whether NO_MORE_DATA
    // had been sent on the previous connection.
    virtual bool set_connection_id(std::string connection_id) = 0;
    // Ask the server for move tables.
    virtual void set_enable_moves(bool enable_moves) = 0;
    // Any thread: the application will pass no more reads. NO_MORE_DATA is
    // sent once the queue has drained.
    virtual void set_no_more_data() = 0;
};

}  // namespace corvane
