// Cost of the message handle on the hot path: building a control message,
// handing it to a frame, and accepting a received frame (identifier check,
// verification, classification). Raw-block sizes show that a built buffer
// is handed over without a copy: the cost should not grow with the size.

#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;

void BM_BuildAndReleasePing(benchmark::State& state) {
    zmq::message_t frame;
    for (auto _ : state) {
        Message ping(MessageType::HEARTBEAT_PING, "client-uid-0001", 0, std::string());
        ping.release_into(frame);
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_BuildAndReleasePing);

void BM_ReceiveControlReply(benchmark::State& state) {
    Message reply(MessageType::CONNECTED, "", 0, ">client_uid=7>server_version=1.2.3>minimap_version=2.26");
    zmq::message_t sent;
    reply.release_into(sent);
    for (auto _ : state) {
        zmq::message_t frame(sent.data(), sent.size());
        const Message received(std::move(frame));
        benchmark::DoNotOptimize(received.get_type());
    }
}
BENCHMARK(BM_ReceiveControlReply);

// Samples already in a built buffer: only the hand-over to the frame and
// the release of the frame are measured.
void BM_HandOverBuiltRawBlock(benchmark::State& state) {
    const auto samples = static_cast<std::size_t>(state.range(0));
    const std::vector<std::int16_t> signal(samples, 7);
    for (auto _ : state) {
        state.PauseTiming();
        flatbuffers::FlatBufferBuilder builder(2 * samples + 236);
        const auto data = builder.CreateVector(signal);
        ipc_tools::wire::ReadBlockBuilder block(builder);
        block.add_samples(data);
        block.add_duration(static_cast<std::uint32_t>(samples));
        const auto finished = block.Finish();
        ipc_tools::finish_envelope(builder, "c", ipc_tools::wire::MessageData::ReadBlock, finished.Union());
        state.ResumeTiming();

        Message message(builder);
        zmq::message_t frame;
        message.release_into(frame);
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_HandOverBuiltRawBlock)->Arg(4000)->Arg(256000);

}  // namespace
