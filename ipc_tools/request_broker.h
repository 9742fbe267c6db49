#pragma once

// One synchronous request/reply channel to one basecall server over a
// ZeroMQ request socket.
//
//   RequestBroker broker;
//   broker.prepare_connection("5555", 1000);   // tcp://localhost:5555, pinged
//   Message reply;
//   broker.send_request(request, reply);       // request is empty afterwards
//
// Every failure is an exception: the four below, zmq::error_t for ZeroMQ
// failures, std::system_error for a send or receive that would block.
//
// Threads: no locks; one thread at a time calls a broker, except that any
// thread may interrupt() it. Each broker owns
// its ZeroMQ context (two I/O threads of ZeroMQ's own), so brokers share
// nothing, and inproc:// endpoints reach only sockets of that context.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/runtime/diagnostics/tracing.h"
#include "ipc_tools/ipc_tools.h"

namespace zmq {
class context_t;
class socket_t;
}  // namespace zmq
struct zmq_pollitem_t;

namespace ipc_tools {

// No usable reply in time, a failed first contact, or a server that no
// longer knows this client (a restart).
class TimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The reply could not be read or understood.
class BadReply : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server answered BAD_REQUEST.
class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An intelligible reply of the wrong kind.
class InvalidResponse : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RequestBroker : public common::diagnostics::tracing::TraceDomain<RequestBroker> {
public:
    // Creates the context; no socket until prepare_connection.
    RequestBroker();
    // Closes the socket without lingering, then lets go of the context.
    virtual ~RequestBroker();

    RequestBroker(const RequestBroker&) = delete;
    RequestBroker& operator=(const RequestBroker&) = delete;

    // (Re)connects with a fresh socket and proves the server answers with a
    // ping carrying the client id "0". timeout_ms bounds each of the (up to
    // four) waits for a reply. The only way back after a failed wait: a
    // request socket that sent and got no reply refuses to send again.
    // Throws TimeoutError when the ping fails in any way, zmq::error_t when
    // the socket cannot be made or connected; the broker then holds no
    // socket, as before the first call.
    void prepare_connection(const std::string& address, std::int32_t timeout_ms);

    // Sends the request (consuming it: it is empty and UNSET afterwards) and
    // stores the reply. Returns only with a reply that is neither UNSET,
    // INVALID_PROTOCOL, BAD_REQUEST nor CLIENT_NOT_RECOGNISED; the caller
    // checks it is the kind it expects. Sending before prepare_connection or
    // sending an empty or UNSET request is a contract violation.
    void send_request(Message& request, Message& reply);

    // send_request, waiting at most `within` for the reply whatever
    // interrupt() asked: the one exchange a client still makes once it is
    // asked to stop (its DISCONNECT).
    void send_request_within(Message& request, Message& reply, std::chrono::milliseconds within);

    // Any thread. Final: every wait for a reply under way or to come ends
    // within a few milliseconds, with TimeoutError, so that a client asked
    // to stop is not held by a server that does not answer.
    void interrupt() noexcept;

    // A request went out and its reply was never taken (a wait that gave up
    // or was interrupted): the socket refuses to send until the next
    // prepare_connection.
    bool awaiting_reply() const noexcept { return m_awaiting_reply; }

    // One HEARTBEAT_PING / HEARTBEAT_ECHO exchange; InvalidResponse for any
    // other intelligible reply.
    void do_ping_server(const std::string& client_id);

    // Pings only when nothing was sent for at least a second, so that a busy
    // connection is never pinged. One clock read otherwise.
    void ping_server_if_quiet(const std::string& client_id);

    // The ZeroMQ endpoint for an address: tcp://, ipc:// and inproc:// unchanged,
    // host:port as tcp://host:port, a bare port as tcp://localhost:port.
    static std::string generate_server_address(const std::string& address);

private:
    void reset();
    void exchange(Message& request, Message& reply, std::chrono::milliseconds wait, int waits, bool interruptible);
    int poll_for_reply(zmq_pollitem_t& item,
                       std::chrono::milliseconds wait,
                       bool interruptible,
                       const std::string& name);
    void fetch_and_validate_reply(const std::string& name, Message& reply);

    std::shared_ptr<zmq::context_t> m_context;
    std::unique_ptr<zmq::socket_t> m_socket;
    std::string m_address;
    std::int32_t m_timeout = 0;
    // Steady clock, nanoseconds.
    std::int64_t m_last_send_time = 0;
    bool m_awaiting_reply = false;
    std::atomic<bool> m_interrupted{false};
};

}  // namespace ipc_tools
