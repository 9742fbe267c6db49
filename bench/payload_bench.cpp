// Cost of putting reads on the wire, next to the one copy of their samples
// that cannot be avoided. Both read shapes carry the same 512,000 bytes of
// signal (one read of 256,000 samples; 64 reads of 4,000), so the ratio to
// the memcpy shows what the rest of the message costs.
//
// The baselines copy the very samples the builds copy, random as a device's
// are, into a destination written once before timing. memcpy's string move
// runs many times slower when the destination lies just above the source
// modulo a page (see ipc_tools/sample_copy.h), so each baseline destination
// is placed clear of that: the baseline is the copy at its ordinary speed.
//
// The ColdReads pair does the same for long reads whose samples come from
// memory rather than from the cache, as an application's reads do: many
// reads, together larger than the last-level cache, taken in turn, and the
// messages built in buffers of the library's pool, as the client builds
// them. Against a copy of the same reads into one destination, it tells
// what the message costs beyond moving its samples out of memory.

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/read_model/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/message_buffer_pool.h"
#include "ipc_tools/sample_copy.h"

namespace {

namespace dw = vesk::data_wrappers::v2;

constexpr std::size_t long_read_samples = 256000;
constexpr std::size_t batch_reads = 64;
constexpr std::size_t batch_read_samples = 4000;
constexpr std::uint64_t block_size = 256000;

std::vector<std::int16_t> random_signal(std::uint64_t seed, std::size_t samples) {
    std::mt19937 random(static_cast<std::uint32_t>(seed));
    std::uniform_int_distribution<int> level(-2048, 2047);
    std::vector<std::int16_t> signal(samples);
    for (std::int16_t& sample : signal) {
        sample = static_cast<std::int16_t>(level(random));
    }
    return signal;
}

common::ReadHolder make_read(std::uint64_t read_tag, std::vector<std::int16_t> signal) {
    common::ReadHolder read;
    read.read_tag = read_tag;
    const std::size_t samples = signal.size();
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

common::ReadHolder make_read(std::uint64_t read_tag, std::size_t samples) {
    return make_read(read_tag, random_signal(read_tag, samples));
}

// The signals of reads, and where a baseline copies each of them: one
// buffer, the signals back to back from a start chosen so that no copy sits
// at a slow placement. The buffer is written once, so that no timed copy
// meets a page for the first time.
class PlacedCopy {
public:
    explicit PlacedCopy(const std::vector<common::ReadHolder>& reads) {
        std::size_t samples = 0;
        for (const common::ReadHolder& read : reads) {
            m_signals.push_back(read.datasets.at(dw::raw_data).view<std::int16_t>());
            samples += m_signals.back().size();
        }
        m_buffer.assign(samples + page_samples, 1);
        for (std::size_t start = 0; start < page_samples; start += 32) {
            if (fits(start)) {
                m_start = start;
                return;
            }
        }
        throw std::runtime_error("no placement keeps every copy on memcpy's fast path");
    }

    void copy() {
        std::int16_t* out = m_buffer.data() + m_start;
        for (const auto& signal : m_signals) {
            std::memcpy(out, signal.data(), signal.size() * sizeof(std::int16_t));
            out += signal.size();
        }
    }

    const std::int16_t* data() const { return m_buffer.data() + m_start; }

private:
    static constexpr std::size_t page_samples = 4096 / sizeof(std::int16_t);

    bool fits(std::size_t start) const {
        const std::int16_t* out = m_buffer.data() + start;
        for (const auto& signal : m_signals) {
            if (ipc_tools::near_page_alias(out, signal.data())) {
                return false;
            }
            out += signal.size();
        }
        return true;
    }

    std::vector<dw::VecView<const std::int16_t>> m_signals;
    std::vector<std::int16_t> m_buffer;
    std::size_t m_start = 0;
};

void set_bytes(benchmark::State& state, std::size_t samples) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples * sizeof(std::int16_t)));
}

std::vector<common::ReadHolder> make_reads(std::size_t count, std::size_t samples) {
    std::vector<common::ReadHolder> reads;
    for (std::size_t i = 0; i < count; ++i) {
        reads.push_back(make_read(i + 1, samples));
    }
    return reads;
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
    const std::vector<common::ReadHolder> reads = make_reads(1, long_read_samples);
    PlacedCopy copy(reads);
    for (auto _ : state) {
        copy.copy();
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_MemcpyLongReadSamples);

// Long reads that cannot stay in the cache together: 65 MB of samples, twice
// a large last-level cache. Made once, by copying one signal, so that every
// read's samples are random and each lies in memory of its own.
constexpr std::size_t cold_reads = 128;

const std::vector<common::ReadHolder>& cold_long_reads() {
    static const std::vector<common::ReadHolder> reads = [] {
        const std::vector<std::int16_t> signal = random_signal(1, long_read_samples);
        std::vector<common::ReadHolder> made;
        made.reserve(cold_reads);
        for (std::size_t i = 0; i < cold_reads; ++i) {
            made.push_back(make_read(i + 1, signal));
        }
        return made;
    }();
    return reads;
}

void BM_RawBlockMessagesColdReads(benchmark::State& state) {
    const std::vector<common::ReadHolder>& reads = cold_long_reads();
    std::size_t next = 0;
    for (auto _ : state) {
        std::vector<ipc_tools::Message> messages = ipc_tools::make_raw_block_messages(
            reads[next], "client-uid-0001", block_size, &ipc_tools::MessageBufferPool::shared());
        benchmark::DoNotOptimize(messages.data());
        next = (next + 1) % reads.size();
    }
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_RawBlockMessagesColdReads);

// Each of the same reads in turn into one buffer, written once before
// timing: each read's copy starts where it takes no slow path, within the
// buffer's first page.
void BM_MemcpyColdLongReads(benchmark::State& state) {
    constexpr std::size_t page_bytes = 4096;
    constexpr std::size_t bytes = long_read_samples * sizeof(std::int16_t);
    const std::vector<common::ReadHolder>& reads = cold_long_reads();
    std::vector<std::uint8_t> buffer(bytes + page_bytes, 1);
    std::vector<const std::int16_t*> sources;
    std::vector<std::uint8_t*> destinations;
    for (const common::ReadHolder& read : reads) {
        sources.push_back(read.datasets.at(dw::raw_data).view<std::int16_t>().data());
        std::size_t start = 0;
        while (ipc_tools::near_page_alias(buffer.data() + start, sources.back())) {
            start += 64;
        }
        destinations.push_back(buffer.data() + start);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        std::memcpy(destinations[next], sources[next], bytes);
        benchmark::DoNotOptimize(destinations[next]);
        benchmark::ClobberMemory();
        next = (next + 1) % sources.size();
    }
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_MemcpyColdLongReads);

void BM_ReadBatchMessage(benchmark::State& state) {
    const std::vector<common::ReadHolder> reads = make_reads(batch_reads, batch_read_samples);
    for (auto _ : state) {
        ipc_tools::Message message =
            ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), "client-uid-0001");
        benchmark::DoNotOptimize(message.get_type());
    }
    set_bytes(state, batch_reads * batch_read_samples);
}
BENCHMARK(BM_ReadBatchMessage);

void BM_MemcpyBatchSamples(benchmark::State& state) {
    const std::vector<common::ReadHolder> reads = make_reads(batch_reads, batch_read_samples);
    PlacedCopy copy(reads);
    for (auto _ : state) {
        copy.copy();
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    set_bytes(state, batch_reads * batch_read_samples);
}
BENCHMARK(BM_MemcpyBatchSamples);

// The batch's copies through copy_samples, each destination a few bytes
// above its source modulo a page: the placement at which a string move is
// slow. Against BM_MemcpyBatchSamples, it shows whether copy_samples keeps
// such copies at ordinary speed.
void BM_SampleCopiesAtSlowPlacement(benchmark::State& state) {
    constexpr std::uintptr_t page_bytes = 4096;
    constexpr std::uintptr_t distance = 8;
    const std::vector<common::ReadHolder> reads = make_reads(batch_reads, batch_read_samples);
    std::vector<const std::int16_t*> sources;
    std::vector<std::vector<std::uint8_t>> targets;
    std::vector<std::uint8_t*> destinations;
    for (const common::ReadHolder& read : reads) {
        sources.push_back(read.datasets.at(dw::raw_data).view<std::int16_t>().data());
        std::vector<std::uint8_t>& target =
            targets.emplace_back(batch_read_samples * sizeof(std::int16_t) + page_bytes, 1);
        const auto source_at = reinterpret_cast<std::uintptr_t>(sources.back());
        const auto target_at = reinterpret_cast<std::uintptr_t>(target.data());
        destinations.push_back(target.data() + (source_at + distance - target_at) % page_bytes);
        if (!ipc_tools::near_page_alias(destinations.back(), sources.back())) {
            throw std::logic_error("destination not at the slow placement");
        }
    }
    for (auto _ : state) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            ipc_tools::copy_samples(destinations[i], sources[i], batch_read_samples * sizeof(std::int16_t));
        }
        benchmark::DoNotOptimize(destinations.data());
        benchmark::ClobberMemory();
    }
    set_bytes(state, batch_reads * batch_read_samples);
}
BENCHMARK(BM_SampleCopiesAtSlowPlacement);

}  // namespace
