#pragma once

// A bare request socket for talking to a reference server without the
// library's broker, so that any bytes can be sent and any reply inspected.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"

namespace test_support {

class RawClient {
public:
    explicit RawClient(const std::string& endpoint) : m_context(1), m_socket(m_context, zmq::socket_type::req) {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.set(zmq::sockopt::rcvtimeo, 5000);
        m_socket.connect(endpoint);
    }

    // The reply frame, or nothing when none came within `timeout`.
    std::optional<zmq::message_t> exchange_frame(zmq::message_t request,
                                                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        m_socket.set(zmq::sockopt::rcvtimeo, static_cast<int>(timeout.count()));
        m_socket.send(request, zmq::send_flags::none);
        zmq::message_t reply;
        if (!m_socket.recv(reply)) {
            return std::nullopt;
        }
        return reply;
    }

    // Sends the frames as one multipart request.
    std::optional<zmq::message_t> exchange_parts(std::vector<zmq::message_t> parts) {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            m_socket.send(parts[i], i + 1 < parts.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
        }
        zmq::message_t reply;
        if (!m_socket.recv(reply)) {
            return std::nullopt;
        }
        return reply;
    }

    ipc_tools::Message exchange(ipc_tools::Message request) {
        zmq::message_t frame;
        request.release_into(frame);
        auto reply = exchange_frame(std::move(frame));
        if (!reply) {
            throw std::runtime_error("no reply from the reference server");
        }
        return ipc_tools::Message(std::move(*reply));
    }

    ipc_tools::Message exchange(ipc_tools::MessageType type,
                                const std::string& client_id = {},
                                std::int32_t value = 0,
                                const std::string& text = {}) {
        return exchange(ipc_tools::Message(type, client_id, value, text));
    }

private:
    zmq::context_t m_context;
    zmq::socket_t m_socket;
};

inline std::string reply_text(const ipc_tools::Message& reply) {
    const auto* body = reply.get_message_data().data_as_Reply();
    return body && body->text() ? body->text()->str() : std::string();
}

}  // namespace test_support
