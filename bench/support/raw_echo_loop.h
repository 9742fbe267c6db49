#pragma once

// The bare cppzmq REQ/REP loop the benchmarks measure the library against:
// a REP socket on a thread of its own that answers every request with a
// fixed frame, and nothing else between the two sockets. Fixed frames go
// out as shares of one frame made up front (send_shared), so the loop
// copies no bytes of its own, as the library sends messages it has built.
//
//   RawEchoServer server(ipc_endpoint("bench_raw"), RawEchoServer::Replies{64, "s", "l"});
//   zmq::socket_t socket = connect_raw_client(context, server.endpoint());

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

#include <zmq.hpp>

namespace bench_support {

// An ipc:// endpoint in the temporary folder, private to this process.
std::string ipc_endpoint(const std::string& name);

class RawEchoServer {
public:
    // A request of more than `threshold` bytes is answered with
    // `to_long_request`, any other with `to_short_request`: the push and the
    // pull of a client's conversation.
    struct Replies {
        std::size_t threshold = 0;
        std::string to_long_request;
        std::string to_short_request;
    };

    // Binds `address` (tcp://127.0.0.1:* takes any free port) and starts
    // answering; every request gets `reply`.
    RawEchoServer(const std::string& address, std::string reply);
    RawEchoServer(const std::string& address, Replies replies);
    // Stops within one poll interval and joins the thread.
    ~RawEchoServer();
    RawEchoServer(const RawEchoServer&) = delete;
    RawEchoServer& operator=(const RawEchoServer&) = delete;

    // The bound endpoint, with the port read back.
    const std::string& endpoint() const { return m_endpoint; }

private:
    void run();

    zmq::context_t m_context;
    zmq::socket_t m_socket;  // server thread only, once started
    std::size_t m_threshold = 0;
    zmq::message_t m_to_long_request;
    zmq::message_t m_to_short_request;
    std::string m_endpoint;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Sends a share of `frame`: ZeroMQ counts the holders; no bytes are copied.
void send_shared(zmq::socket_t& socket, zmq::message_t& frame);

// A REQ socket with linger 0 connected to endpoint.
zmq::socket_t connect_raw_client(zmq::context_t& context, const std::string& endpoint);

}  // namespace bench_support
