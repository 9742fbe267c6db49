#include "ipc_tools/request_broker.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <sstream>
#include <system_error>
#include <utility>

#include <zmq.hpp>

#include "common/runtime/contract.h"
#include "common/runtime/logger.h"
#include "ipc_tools/wire_format.h"

// The socket's cycle. A ZMQ_REQ socket alternates strictly between one send
// and one receive, which gives the broker four states:
//
//   unprepared  no socket yet; sending is a contract violation.
//   ready       after prepare_connection, and after every exchange in which
//               a reply frame was taken, whether or not the reply was any
//               good (BadReply, BadRequest and the restart TimeoutError all
//               leave the socket ready for the next request).
//   waiting     between the send and the reply.
//   stranded    a request went out and no reply frame was taken (a poll
//               that gave up or was interrupted, a failed receive, a failed
//               first ping). The socket refuses the next send with
//               zmq::error_t; awaiting_reply() tells.
//
// The broker never leaves the stranded state by itself: the caller decides
// whether to reconnect, through prepare_connection, which makes a new socket.
// The wait for a reply is up to four polls of the timeout each, so a
// transient wake-up of the poll does not end a healthy exchange early. Each
// poll waits in short slices, between which an interrupt is seen.

namespace ipc_tools {

namespace {

using common::diagnostics::tracing::TraceScope;

constexpr int io_threads = 2;
constexpr int max_sockets = 1023;
constexpr int max_polls = 4;
// How soon a wait for a reply sees an interrupt.
constexpr auto interrupt_slice = std::chrono::milliseconds(20);
constexpr std::int64_t quiet_interval_ns = 1'000'000'000;

constexpr const char* client_not_recognised_text =
    "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.";

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string error_text(int error_number) {
    return "errno[" + std::to_string(error_number) + "] : " + zmq_strerror(error_number);
}

std::string describe_poll(int events, const zmq::pollitem_t& item) {
    std::ostringstream text;
    text << "num events: " << events << ". "
         << "zmq::pollitem_t: socket[" << item.socket << "], "
         << "fd[" << item.fd << "], "
         << "events[" << item.events << "], "
         << "revents[" << item.revents << "]";
    return text.str();
}

}  // namespace

RequestBroker::RequestBroker() : m_context(std::make_shared<zmq::context_t>(io_threads, max_sockets)) {}

RequestBroker::~RequestBroker() {
    // With linger 0 the socket closes at once, so the context can end.
    m_socket.reset();
    m_context.reset();
}

std::string RequestBroker::generate_server_address(const std::string& address) {
    TraceScope scope(trace_context(), "generate_server_address");
    // A full tcp:// endpoint passes too: prefixed again it would not parse.
    if (starts_with(address, "ipc://") || starts_with(address, "inproc://") || starts_with(address, "tcp://")) {
        return address;
    }
    if (address.find(':') != std::string::npos) {
        return "tcp://" + address;
    }
    // A bare port means a server on this host.
    return "tcp://localhost:" + address;
}

void RequestBroker::reset() {
    TraceScope scope(trace_context(), "reset");
    // The old socket goes first: with linger 0 nothing it still queued
    // outlives it, and a failure below leaves no socket at all rather than a
    // stale one or a request socket without a peer, which would take the
    // next send and wait for ever.
    m_socket.reset();
    m_awaiting_reply = false;
    auto socket = std::make_unique<zmq::socket_t>(*m_context, zmq::socket_type::req);
    socket->set(zmq::sockopt::linger, 0);
    scope.trace([&] { return "connecting with string: " + m_address; });
    socket->connect(m_address);
    m_socket = std::move(socket);
}

void RequestBroker::prepare_connection(const std::string& address, std::int32_t timeout_ms) {
    TraceScope scope(trace_context(), "prepare_connection", true);
    m_address = generate_server_address(address);
    m_timeout = timeout_ms;
    reset();
    try {
        // No connection id exists yet.
        do_ping_server("0");
    } catch (...) {
        // Whatever ended the ping, the server is not usable at this address.
        const std::string text = "Failed to establish connection with address: " + m_address;
        scope.trace(text);
        throw TimeoutError(text);
    }
}

void RequestBroker::do_ping_server(const std::string& client_id) {
    TraceScope scope(hf_trace_context(), "do_ping_server");
    Message request(MessageType::HEARTBEAT_PING, client_id, 0, std::string());
    Message reply;
    send_request(request, reply);
    if (reply.get_type() != MessageType::HEARTBEAT_ECHO) {
        const std::string name = to_string(reply.get_type());
        trace_context().trace("do_ping_server", "invalid response: " + name);
        throw InvalidResponse("invalid response from server, expected: HEARTBEAT_ECHO, received: " + name);
    }
}

// Every send, the ping's own included, restarts the quiet window, so an idle
// connection is pinged once a second and a busy one never.
void RequestBroker::ping_server_if_quiet(const std::string& client_id) {
    if (now_ns() - m_last_send_time >= quiet_interval_ns) {
        do_ping_server(client_id);
    }
}

void RequestBroker::send_request(Message& request, Message& reply) {
    exchange(request, reply, std::chrono::milliseconds(m_timeout), max_polls, true);
}

void RequestBroker::send_request_within(Message& request, Message& reply, std::chrono::milliseconds within) {
    exchange(request, reply, within, 1, false);
}

void RequestBroker::interrupt() noexcept { m_interrupted.store(true); }

void RequestBroker::exchange(Message& request,
                             Message& reply,
                             std::chrono::milliseconds wait,
                             int waits,
                             bool interruptible) {
    using enum MessageType;
    QOR_EXPECTS(m_socket.get() != nullptr, "null socket");
    QOR_EXPECTS(!request.empty() && request.get_type() != UNSET, "invalid request");

    TraceScope scope(hf_trace_context(), "send_request", true);
    const std::string name = to_string(request.get_type());
    scope.trace(name);

    zmq::message_t outgoing;
    request.release_into(outgoing);
    m_last_send_time = now_ns();

    for (;;) {
        std::optional<std::size_t> sent;
        try {
            sent = m_socket->send(outgoing, zmq::send_flags::none);
        } catch (const zmq::error_t& error) {
            if (error.num() == EINTR) {
                continue;
            }
            throw;
        }
        if (sent) {
            break;
        }
        // cppzmq reports only EAGAIN this way.
        trace_context().trace("send_request", "Client zmq_msg_send failed. " + error_text(EAGAIN));
        throw std::system_error(EAGAIN, std::system_category(), "Client zmq_msg_send failed");
    }
    m_awaiting_reply = true;

    zmq::pollitem_t item{static_cast<void*>(*m_socket), 0, ZMQ_POLLIN, 0};
    int events = 0;
    for (int polls = 0; polls < waits; ++polls) {
        events = poll_for_reply(item, wait, interruptible, name);
        scope.trace([&] { return describe_poll(events, item); });
        if ((item.revents & ZMQ_POLLIN) != 0 && events > 0 && (item.revents & ZMQ_POLLERR) == 0) {
            break;
        }
    }

    if ((item.revents & ZMQ_POLLIN) == 0) {
        const std::string text = "Timeout waiting for reply to request: " + name;
        trace_context().trace("send_request", text);
        throw TimeoutError(text);
    }
    if (events == 0) {
        trace_context().trace("send_request", [&] {
            return describe_poll(events, item) + " Polling ambiguity waiting for reply to request: " + name;
        });
        throw TimeoutError("Timeout waiting for reply to request {zero events}: " + name);
    }
    if ((item.revents & ZMQ_POLLERR) != 0) {
        trace_context().trace("send_request", [&] {
            return describe_poll(events, item) + " Error on socket waiting for reply to request: " + name;
        });
        throw TimeoutError("Timeout waiting for reply to request {error on socket}: " + name);
    }
    fetch_and_validate_reply(name, reply);
}

// One poll of up to `wait`, in slices between which an interrupt ends it
// with TimeoutError. Returns as the poll would: the number of events, with
// the item's revents set.
int RequestBroker::poll_for_reply(zmq_pollitem_t& item,
                                  std::chrono::milliseconds wait,
                                  bool interruptible,
                                  const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (interruptible && m_interrupted.load()) {
            const std::string text = "Stopped waiting for reply to request: " + name;
            trace_context().trace("send_request", text);
            throw TimeoutError(text);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto slice = std::clamp(left, std::chrono::milliseconds(0),
                                      interruptible ? interrupt_slice : std::chrono::milliseconds(wait));
        item.revents = 0;
        int events = 0;
        try {
            events = zmq::poll(&item, 1, slice);
        } catch (const zmq::error_t& error) {
            if (error.num() == EINTR) {
                continue;
            }
            trace_context().trace("send_request", "zmq::poll exception. " + error_text(error.num()));
            throw;
        }
        if (events != 0 || item.revents != 0 || slice >= left) {
            return events;
        }
    }
}

void RequestBroker::fetch_and_validate_reply(const std::string& name, Message& reply) {
    using enum MessageType;
    TraceScope scope(hf_trace_context(), "fetch_and_validate_reply");
    scope.trace(name);

    zmq::message_t frame;
    for (;;) {
        std::optional<std::size_t> received;
        try {
            received = m_socket->recv(frame, zmq::recv_flags::dontwait);
        } catch (const zmq::error_t& error) {
            if (error.num() == EINTR) {
                continue;
            }
            throw;
        }
        if (received) {
            m_awaiting_reply = false;
            break;
        }
        trace_context().trace("fetch_and_validate_reply", "Client zmq_msg_recv failed. " + error_text(EAGAIN));
        throw std::system_error(EAGAIN, std::system_category(), "Client zmq_msg_recv failed");
    }

    try {
        reply = Message(std::move(frame));
    } catch (const std::exception& error) {
        const std::string text = "Error parsing reply from server for request: " + name + ". " + error.what();
        trace_context().trace("fetch_and_validate_reply", text);
        throw BadReply(text);
    }

    const MessageType type = reply.get_type();
    const std::string type_name = to_string(type);
    scope.trace(type_name);

    if (type == CLIENT_NOT_RECOGNISED) {
        trace_context().trace("fetch_and_validate_reply", client_not_recognised_text);
        QOR_LOG_INFO(client_not_recognised_text);
        throw TimeoutError(client_not_recognised_text);
    }
    if (type == UNSET || type == INVALID_PROTOCOL) {
        const std::string text =
            "Could not interpret message from server for request: " + name + ". Reply: " + type_name;
        trace_context().trace("fetch_and_validate_reply", text);
        throw BadReply(text);
    }
    if (type == BAD_REQUEST) {
        const auto* body = reply.get_message_data().data_as_Reply();
        const std::string explanation = body != nullptr && body->text() != nullptr ? body->text()->str() : "";
        const std::string text = "Bad request message: " + name + ". " + explanation;
        trace_context().trace("fetch_and_validate_reply", text);
        throw BadRequest(text);
    }
}

}  // namespace ipc_tools
