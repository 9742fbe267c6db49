// Latency of a read queued on an idle connection: from queue_read to the
// server receiving its first block. An idle read exchange waits up to 10 ms
// between turns; a queued read wakes it. The baseline, measured in the same
// run, is a worker that sleeps its 10 ms out, which on average finds a new
// read half a pause late.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/runtime/logger.h"
#include "corvane/client_connection_state.h"
#include "corvane/connection_protocol.h"
#include "corvane/read_buffer.h"
#include "corvane/read_processing_protocol.h"
#include "reference_server/protocol/reference_server.h"
#include "support/raw_reads.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using ipc_tools::MessageType;

constexpr int samples_per_run = 60;
constexpr std::uint64_t read_samples = 1000;

// The time a read's first block reached the server, written by the
// server thread and polled by the benchmark.
struct Arrivals {
    std::mutex mutex;
    std::vector<Clock::time_point> times;  // guarded by mutex

    void add(Clock::time_point when) {
        std::lock_guard lock(mutex);
        times.push_back(when);
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return times.size();
    }
    Clock::time_point at(std::size_t index) {
        std::lock_guard lock(mutex);
        return times[index];
    }
};

// Queues one read at a random point of the worker's pause and waits for its
// arrival; returns the latencies in milliseconds.
std::vector<double> measure(corvane::ReadBuffer& buffer, Arrivals& arrivals) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> phase_us(0, 10000);
    std::vector<double> latencies;
    for (int i = 0; i < samples_per_run; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(15000 + phase_us(random)));
        const std::size_t seen = arrivals.count();
        common::ReadHolder read = test_support::raw_read(static_cast<std::uint64_t>(i + 1), read_samples);
        const Clock::time_point queued = Clock::now();
        if (buffer.queue_read(read, 0) != corvane::BufferQueueReadsResult::queued) {
            return {};
        }
        const Clock::time_point give_up = queued + std::chrono::seconds(5);
        while (arrivals.count() == seen && Clock::now() < give_up) {
            std::this_thread::yield();
        }
        if (arrivals.count() == seen) {
            return {};
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(arrivals.at(seen) - queued).count());
    }
    return latencies;
}

void report(benchmark::State& state, std::vector<double> latencies) {
    if (latencies.empty()) {
        state.SkipWithError("a queued read never reached the server");
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p90_ms"] = latencies[latencies.size() * 9 / 10];
}

void BM_IdleLatencyReadExchange(benchmark::State& state) {
    common::logging::initialise_logging();
    for (auto _ : state) {
        test_support::TempDir folder;
        reference_server::ReferenceServer server;
        Arrivals arrivals;
        server.set_request_log([&](const reference_server::RequestRecord& record) {
            if (record.request == MessageType::PASS_FIRST_RAW_BLOCK) {
                arrivals.add(Clock::now());
            }
        });
        // Blocks are accepted and no result ever comes back, so the
        // exchange stays idle between reads.
        server.faults().add({MessageType::PASS_FIRST_RAW_BLOCK, reference_server::FaultAction::reply,
                             MessageType::RAW_BLOCK_ACCEPTED, "", 0, 0});
        server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, reference_server::FaultAction::reply,
                             MessageType::NONE_PENDING, "", 0, 0});
        const std::string endpoint = server.start(folder.ipc_endpoint());

        corvane::ClientConnectionState connection_state;
        corvane::ConnectionProtocol connection(connection_state);
        connection.set_connection_params(endpoint, 2000);
        ipc_tools::ConnectionInfo info;
        info.config = "ref_dna_fast";
        info.client_name = "bench";
        corvane::RequestBrokerAdapter* adapter = connection.establish_server_connection(info, 10);
        if (adapter == nullptr) {
            state.SkipWithError("could not connect to the reference server");
            return;
        }
        corvane::ReadBuffer buffer;
        buffer.set_max_input_queue_size(100);
        buffer.set_block_size(256000);
        buffer.set_connection_id(connection.server_details().client_uid);
        corvane::ReadProcessingProtocol exchange;
        exchange.set_connection_id(connection.server_details().client_uid);
        std::thread worker([&] { exchange.process_reads(&buffer, adapter); });

        std::vector<double> latencies = measure(buffer, arrivals);
        exchange.stop();
        worker.join();
        report(state, std::move(latencies));
    }
}
BENCHMARK(BM_IdleLatencyReadExchange)->Iterations(1)->Unit(benchmark::kMillisecond);

// The baseline: a worker that takes queued units and otherwise sleeps 10 ms.
void BM_IdleLatencyPlainSleep(benchmark::State& state) {
    for (auto _ : state) {
        corvane::ReadBuffer buffer;
        buffer.set_max_input_queue_size(100);
        buffer.set_block_size(256000);
        buffer.set_connection_id("c1");
        Arrivals arrivals;
        std::atomic<bool> stop{false};
        std::thread worker([&] {
            while (!stop) {
                if (buffer.num_queued_reads() > 0) {
                    arrivals.add(Clock::now());
                    buffer.reads_submitted();
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        });
        std::vector<double> latencies = measure(buffer, arrivals);
        stop = true;
        worker.join();
        report(state, std::move(latencies));
    }
}
BENCHMARK(BM_IdleLatencyPlainSleep)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
