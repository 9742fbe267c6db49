// The client's cost of taking in a completed batch: 64 results of 4,000-
// sample reads, as the reference server returns them, decoded into read
// records the way the worker does after each pull (decode_called_block,
// one record per result), next to a memcpy of the reply's bytes. This is
// the part of a pull exchange that a raw REQ/REP loop does not have.

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zmq.hpp>

#include "common/read_model/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "reference_server/model/basecaller.h"
#include "reference_server/data_plane/called_result.h"
#include "reference_server/model/signal_model.h"

namespace {

constexpr std::size_t batch_reads = 64;
constexpr std::size_t read_samples = 4000;
constexpr std::size_t stride = 5;

ipc_tools::Message completed_batch(bool moves) {
    std::vector<reference_server::CalledResult> results;
    reference_server::CallerOptions options;
    options.moves = moves;
    for (std::uint32_t tag = 1; tag <= batch_reads; ++tag) {
        const std::string sequence = reference_server::random_bases(tag, read_samples / stride);
        reference_server::ReceivedRead read;
        read.read_tag = tag;
        read.read_id = "0c7e5a9e-6b2a-4a4f-9d1c-" + std::to_string(100000000000 + tag);
        read.strand_id = read.read_id;
        read.samples = reference_server::simulate_signal(sequence, {}, tag);
        read.duration = static_cast<std::uint32_t>(read.samples.size());
        read.sampling_rate = 4000.0f;
        for (reference_server::CalledResult& result : reference_server::call_read(read, options)) {
            results.push_back(std::move(result));
        }
    }
    return std::move(reference_server::make_completed_batch_reply(results, "bench", 1u << 20).batch);
}

std::size_t frame_size(ipc_tools::Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return frame.size();
}

void BM_DecodeCompletedBatch(benchmark::State& state) {
    const ipc_tools::Message reply = completed_batch(state.range(0) != 0);
    const auto* batch = reply.get_message_data().data_as_ReadBatch();
    for (auto _ : state) {
        std::vector<common::ReadHolder> records(batch_reads);
        std::size_t i = 0;
        for (const ipc_tools::wire::ReadBlock* block : *batch->blocks()) {
            common::ReadHolder& record = records[i++];
            record.metadata->start_time = 1;
            const auto decoded = ipc_tools::decode_called_block(record, *block, [] { return nullptr; });
            benchmark::DoNotOptimize(decoded);
        }
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch_reads));
    state.counters["reply_bytes"] = static_cast<double>(frame_size(reply));
}
BENCHMARK(BM_DecodeCompletedBatch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_MemcpyReplyBytes(benchmark::State& state) {
    const std::size_t bytes = frame_size(completed_batch(state.range(0) != 0));
    std::vector<unsigned char> source(bytes);
    std::mt19937 random(7);
    for (unsigned char& byte : source) {
        byte = static_cast<unsigned char>(random());
    }
    std::vector<unsigned char> destination(bytes, 1);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyReplyBytes)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
