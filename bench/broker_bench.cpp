// Round trips per second of RequestBroker::send_request (a heartbeat ping
// against the reference server) next to a bare cppzmq REQ/REP loop that
// moves frames of the same sizes, over ipc:// and tcp loopback. The ratio
// of the two is what the broker and the server's message handling cost.

#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/request_broker.h"
#include "reference_server/protocol/reference_server.h"
#include "support/raw_echo_loop.h"

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;

std::string listen_address(std::int64_t transport, const char* name) {
    return transport == 0 ? bench_support::ipc_endpoint(name) : "tcp://127.0.0.1:*";
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
    bench_support::RawEchoServer server(listen_address(state.range(0), "broker_bench_echo"), echo.to_string());
    zmq::context_t context(2);
    zmq::socket_t socket = bench_support::connect_raw_client(context, server.endpoint());
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
