// Round trips per second of RequestBroker::send_request (a heartbeat ping
// against the reference server) next to a bare cppzmq REQ/REP loop that
// moves frames of the same sizes, over ipc:// and tcp loopback. The ratio
// of the two is what the broker and the server's message handling cost.

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/request_broker.h"
#include "reference_server/reference_server.h"

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;

std::string ipc_endpoint(const char* name) {
    return "ipc://" + (std::filesystem::temp_directory_path() /
                       (std::string(name) + "_" + std::to_string(::getpid()) + ".sock"))
                          .string();
}

zmq::message_t frame_of(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return frame;
}

// A REP socket answering every frame with a fixed frame.
class EchoServer {
public:
    EchoServer(const std::string& address, std::string reply)
        : m_context(1), m_socket(m_context, zmq::socket_type::rep), m_reply(std::move(reply)) {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.bind(address);
        m_endpoint = m_socket.get(zmq::sockopt::last_endpoint);
        m_thread = std::thread([this] { run(); });
    }
    ~EchoServer() {
        m_stop = true;
        m_thread.join();
    }
    const std::string& endpoint() const { return m_endpoint; }

private:
    void run() {
        zmq::pollitem_t items[] = {{m_socket.handle(), 0, ZMQ_POLLIN, 0}};
        while (!m_stop) {
            if (zmq::poll(items, 1, std::chrono::milliseconds(20)) == 0) {
                continue;
            }
            zmq::message_t request;
            if (m_socket.recv(request, zmq::recv_flags::dontwait)) {
                m_socket.send(zmq::buffer(m_reply), zmq::send_flags::none);
            }
        }
    }

    zmq::context_t m_context;
    zmq::socket_t m_socket;
    std::string m_reply;
    std::string m_endpoint;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::string listen_address(std::int64_t transport, const char* name) {
    return transport == 0 ? ipc_endpoint(name) : "tcp://127.0.0.1:*";
}

void label(benchmark::State& state) { state.SetLabel(state.range(0) == 0 ? "ipc" : "tcp"); }

void BM_BrokerPingAgainstReferenceServer(benchmark::State& state) {
    reference_server::ReferenceServer server;
    const auto endpoint = server.start(listen_address(state.range(0), "broker_bench_server"));
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(endpoint, 1000);
    Message reply;
    for (auto _ : state) {
        Message ping(MessageType::HEARTBEAT_PING, "0", 0, "");
        broker.send_request(ping, reply);
        benchmark::DoNotOptimize(reply.get_type());
    }
    state.SetItemsProcessed(state.iterations());
    label(state);
}
BENCHMARK(BM_BrokerPingAgainstReferenceServer)->Arg(0)->Arg(1)->UseRealTime();

void BM_BareReqRepSameSizes(benchmark::State& state) {
    const auto ping = frame_of(Message(MessageType::HEARTBEAT_PING, "0", 0, ""));
    const auto echo = frame_of(Message(MessageType::HEARTBEAT_ECHO, "", 0, ""));
    EchoServer server(listen_address(state.range(0), "broker_bench_echo"), echo.to_string());
    zmq::context_t context(2);
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(server.endpoint());
    const std::string request_bytes = ping.to_string();
    zmq::message_t reply;
    for (auto _ : state) {
        socket.send(zmq::buffer(request_bytes), zmq::send_flags::none);
        benchmark::DoNotOptimize(socket.recv(reply));
    }
    state.SetItemsProcessed(state.iterations());
    label(state);
}
BENCHMARK(BM_BareReqRepSameSizes)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
