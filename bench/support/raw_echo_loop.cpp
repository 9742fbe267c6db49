#include "support/raw_echo_loop.h"

#include <chrono>
#include <filesystem>
#include <utility>

#include <unistd.h>

namespace bench_support {

namespace {

// How long the server thread waits for a request before it looks at the stop flag again.
constexpr std::chrono::milliseconds stop_poll_interval(20);

}  // namespace

std::string ipc_endpoint(const std::string& name) {
    return "ipc://" +
           (std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid()) + ".sock")).string();
}

RawEchoServer::RawEchoServer(const std::string& address, std::string reply)
    : RawEchoServer(address, Replies{0, reply, reply}) {}

RawEchoServer::RawEchoServer(const std::string& address, Replies replies)
    : m_context(1),
      m_socket(m_context, zmq::socket_type::rep),
      m_threshold(replies.threshold),
      m_to_long_request(replies.to_long_request.data(), replies.to_long_request.size()),
      m_to_short_request(replies.to_short_request.data(), replies.to_short_request.size()) {
    m_socket.set(zmq::sockopt::linger, 0);
    m_socket.bind(address);
    m_endpoint = m_socket.get(zmq::sockopt::last_endpoint);
    m_thread = std::thread([this] { run(); });
}

RawEchoServer::~RawEchoServer() {
    m_stop = true;
    m_thread.join();
}

void RawEchoServer::run() {
    zmq::pollitem_t items[] = {{m_socket.handle(), 0, ZMQ_POLLIN, 0}};
    zmq::message_t request;
    while (!m_stop) {
        if (zmq::poll(items, 1, stop_poll_interval) == 0) {
            continue;
        }
        if (m_socket.recv(request, zmq::recv_flags::dontwait)) {
            send_shared(m_socket, request.size() > m_threshold ? m_to_long_request : m_to_short_request);
        }
    }
}

void send_shared(zmq::socket_t& socket, zmq::message_t& frame) {
    zmq::message_t share;
    share.copy(frame);
    socket.send(share, zmq::send_flags::none);
}

zmq::socket_t connect_raw_client(zmq::context_t& context, const std::string& endpoint) {
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(endpoint);
    return socket;
}

}  // namespace bench_support
