// Cost of putting reads on the wire, next to the one copy of their samples
// that cannot be avoided. Both read shapes carry the same 512,000 bytes of
// signal (one read of 256,000 samples; 64 reads of 4,000), so the ratio to
// the memcpy shows what the rest of the message costs.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"

namespace {

namespace dw = vesk::data_wrappers::v2;

constexpr std::size_t long_read_samples = 256000;
constexpr std::size_t batch_reads = 64;
constexpr std::size_t batch_read_samples = 4000;
constexpr std::uint64_t block_size = 256000;

common::ReadHolder make_read(std::uint64_t read_tag, std::size_t samples) {
    common::ReadHolder read;
    read.read_tag = read_tag;
    std::vector<std::int16_t> signal(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        signal[i] = static_cast<std::int16_t>(i * 31);
    }
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::move(signal)));
    interfaces::ReadMetadata& metadata = *read.metadata;
    metadata.read_id = "0c7e5a9e-6b2a-4a4f-9d1c-" + std::to_string(100000000000 + read_tag);
    metadata.duration = samples;
    metadata.daq_offset = 12.0f;
    metadata.daq_scaling = 0.18f;
    metadata.sampling_rate = 4000.0f;
    metadata.start_time = 1000 * read_tag;
    metadata.channel = static_cast<std::int32_t>(read_tag % 512);
    metadata.mux = 1;
    metadata.run_id = "a1b2c3d4e5f6";
    metadata.sequencing_kit = "sqk-lsk114";
    metadata.flow_cell_product_code = "flo-pro114m";
    metadata.end_reason = "signal_positive";
    return read;
}

void set_bytes(benchmark::State& state, std::size_t samples) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples * sizeof(std::int16_t)));
}

void BM_RawBlockMessages(benchmark::State& state) {
    const common::ReadHolder read = make_read(1, long_read_samples);
    for (auto _ : state) {
        std::vector<ipc_tools::Message> messages = ipc_tools::make_raw_block_messages(read, "client-uid-0001", block_size);
        benchmark::DoNotOptimize(messages.data());
    }
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_RawBlockMessages);

void BM_MemcpyLongReadSamples(benchmark::State& state) {
    const common::ReadHolder read = make_read(1, long_read_samples);
    const auto signal = read.datasets.at(dw::raw_data).view<std::int16_t>();
    std::vector<std::int16_t> destination(long_read_samples);
    for (auto _ : state) {
        std::memcpy(destination.data(), signal.data(), long_read_samples * sizeof(std::int16_t));
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_MemcpyLongReadSamples);

void BM_ReadBatchMessage(benchmark::State& state) {
    std::vector<common::ReadHolder> reads;
    for (std::size_t i = 0; i < batch_reads; ++i) {
        reads.push_back(make_read(i + 1, batch_read_samples));
    }
    for (auto _ : state) {
        ipc_tools::Message message =
            ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), "client-uid-0001");
        benchmark::DoNotOptimize(message.get_type());
    }
    set_bytes(state, batch_reads * batch_read_samples);
}
BENCHMARK(BM_ReadBatchMessage);

void BM_MemcpyBatchSamples(benchmark::State& state) {
    std::vector<common::ReadHolder> reads;
    for (std::size_t i = 0; i < batch_reads; ++i) {
        reads.push_back(make_read(i + 1, batch_read_samples));
    }
    std::vector<std::int16_t> destination(batch_reads * batch_read_samples);
    for (auto _ : state) {
        std::int16_t* out = destination.data();
        for (const common::ReadHolder& read : reads) {
            const auto signal = read.datasets.at(dw::raw_data).view<std::int16_t>();
            std::memcpy(out, signal.data(), signal.size() * sizeof(std::int16_t));
            out += signal.size();
        }
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    set_bytes(state, batch_reads * batch_read_samples);
}
BENCHMARK(BM_MemcpyBatchSamples);

}  // namespace
