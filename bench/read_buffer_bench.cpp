// What queued reads cost in memory: every queued read holds its samples once
// in the read and once in the ready-made messages that will carry it, so
// the floor is twice the sample bytes. Reported as the ratio of the bytes
// the queued reads hold (reads, messages, bookkeeping) to their sample
// bytes, counted by this program's allocation functions. Message buffers
// that the message buffer pool keeps for later messages are allocated but
// held by no read: they are left out of the count.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <new>

#include <benchmark/benchmark.h>

#include "corvane/read_buffer.h"
#include "ipc_tools/message_buffer_pool.h"
#include "support/raw_reads.h"

namespace {

std::atomic<std::int64_t> live_bytes{0};

// Each block is preceded by its size, so that deletion can count it too.
constexpr std::size_t header = alignof(std::max_align_t);

void* counted_new(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + header));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *reinterpret_cast<std::size_t*>(block) = size;
    live_bytes += static_cast<std::int64_t>(size);
    return block + header;
}

void counted_delete(void* pointer) noexcept {
    if (pointer == nullptr) {
        return;
    }
    auto* block = static_cast<unsigned char*>(pointer) - header;
    live_bytes -= static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block));
    std::free(block);
}

// Bytes allocated and not kept idle by the message buffer pool.
std::int64_t held_bytes() {
    return live_bytes.load() - static_cast<std::int64_t>(ipc_tools::MessageBufferPool::shared().kept_bytes());
}

constexpr std::uint64_t queued_reads = 20;
constexpr std::uint64_t read_samples = 256000;

void BM_QueuedReadMemory(benchmark::State& state) {
    double ratio = 0;
    for (auto _ : state) {
        corvane::ReadBuffer buffer;
        buffer.set_max_input_queue_size(queued_reads);
        buffer.set_block_size(read_samples);
        buffer.set_connection_id("client-uid-0001");
        const std::int64_t before = held_bytes();
        for (std::uint64_t tag = 1; tag <= queued_reads; ++tag) {
            common::ReadHolder read = test_support::raw_read(tag, read_samples);
            read.metadata->read_id = "0c7e5a9e-6b2a-4a4f-9d1c-" + std::to_string(100000000000 + tag);
            read.metadata->run_id = "a1b2c3d4e5f6";
            read.metadata->channel = 12;
            read.metadata->mux = 1;
            read.metadata->sequencing_kit = "sqk-lsk114";
            if (buffer.queue_read(read, 0) != corvane::BufferQueueReadsResult::queued) {
                state.SkipWithError("a read was not queued");
            }
        }
        const std::int64_t held = held_bytes() - before;
        ratio = static_cast<double>(held) / static_cast<double>(queued_reads * read_samples * sizeof(std::int16_t));
    }
    state.counters["bytes_per_sample_byte"] = ratio;
}
BENCHMARK(BM_QueuedReadMemory)->Iterations(3);

}  // namespace

void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void operator delete(void* pointer) noexcept { counted_delete(pointer); }
void operator delete[](void* pointer) noexcept { counted_delete(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counted_delete(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { counted_delete(pointer); }
