// The public client end to end against the reference server over ipc://,
// each figure next to a bare cppzmq REQ/REP loop moving frames of the same
// sizes in the same run:
//
//   long reads   256,000-sample reads pushed and their results pulled,
//                against one push exchange plus one pull exchange per read;
//   short reads  4,000-sample reads, batched, against the same two
//                exchanges per batch of reads (the raw ceiling; the server
//                returns up to a whole batch per completed batch);
//   latency      one read through an idle client, pass_read to
//                get_completed_reads, against two raw round trips.
//
//   client_bench [reads_per_figure]
//
// Prints each figure and its ratio to the raw loop.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "apps/client/corvane.h"
#include "common/logger.h"
#include "data_wrappers/dataset.h"
#include "reference_server/reference_server.h"
#include "reference_server/signal_model.h"
#include "support/chaos_run.h"
#include "support/raw_echo_loop.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using Clock = std::chrono::steady_clock;

// Seconds for `count` pairs of exchanges: a `push`-byte request with a
// small reply, then a small request with a `pull`-byte reply.
double raw_two_exchanges(std::size_t push, std::size_t pull, std::size_t count) {
    constexpr std::size_t small = 64;
    bench_support::RawEchoServer server(bench_support::ipc_endpoint("client_bench_raw"),
                                        bench_support::RawEchoServer::Replies{small, std::string(small, 's'),
                                                                              std::string(pull, 'l')});
    zmq::context_t context(2);
    zmq::socket_t socket = bench_support::connect_raw_client(context, server.endpoint());
    const std::string push_bytes(push, 'p');
    zmq::message_t push_frame(push_bytes.data(), push_bytes.size());
    zmq::message_t pull_frame(small / 2);
    zmq::message_t reply;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        bench_support::send_shared(socket, push_frame);
        (void)socket.recv(reply);
        bench_support::send_shared(socket, pull_frame);
        (void)socket.recv(reply);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

apps::Read simulated_read(std::uint64_t tag, std::size_t samples) {
    static const char bases[] = "ACGT";
    std::string sequence(samples / 5, 'A');
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        sequence[i] = bases[(i * 7 + tag) % 4];
    }
    return test_support::simulated_read(tag, "bench_" + std::to_string(tag), sequence);
}

// Collects finished reads into `done` until it holds `wanted` groups, the
// client is no longer connected, or `deadline` passes. An empty poll is
// followed by a pause that doubles up to max_poll_pause: the wait takes no
// core from the worker and the server while they work, and adds at most
// that pause to the moment a read is seen.
constexpr std::chrono::microseconds first_poll_pause(2);
constexpr std::chrono::microseconds max_poll_pause(50);

bool collect_until(apps::Corvane& client,
                   std::vector<std::vector<apps::Read>>& done,
                   std::size_t wanted,
                   Clock::time_point deadline) {
    auto pause = first_poll_pause;
    for (;;) {
        const std::size_t before = done.size();
        client.get_completed_reads(done);
        if (done.size() >= wanted) {
            return true;
        }
        if (client.get_status() != apps::ConnectionStatus::connected || Clock::now() >= deadline) {
            return false;
        }
        pause = done.size() != before ? first_poll_pause : std::min(pause * 2, max_poll_pause);
        std::this_thread::sleep_for(pause);
    }
}

constexpr std::chrono::minutes run_deadline(5);

// Server thread writes, the main thread reads between runs.
struct RequestCounts {
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> pulls{0};
    std::atomic<std::uint64_t> none_pending{0};

    void add(const reference_server::RequestRecord& record) {
        ++requests;
        if (record.request == ipc_tools::MessageType::GET_FIRST_CALLED_BLOCK) {
            ++pulls;
            if (record.reply == ipc_tools::MessageType::NONE_PENDING) {
                ++none_pending;
            }
        }
    }
    void print_and_reset() {
        std::cout << "  requests " << requests.exchange(0) << ", pulls " << pulls.exchange(0)
                  << ", of which found nothing " << none_pending.exchange(0) << "\n";
    }
};

struct ClientRun {
    double seconds = 0;
    std::size_t reads_back = 0;
};

// Passes `count` reads of `samples` samples and collects them all.
ClientRun run_client(const std::string& endpoint, std::size_t samples, std::size_t count) {
    apps::Corvane client(endpoint, "ref_dna_fast");
    vesk::data_wrappers::v3::Metadata params;
    params.set<std::uint64_t>("max_reads_queued", 8);
    client.set_params(params);
    if (client.connect() != apps::Result::success) {
        std::cerr << "client_bench: connect failed: " << client.get_error_message() << "\n";
        return {};
    }
    std::vector<apps::Read> reads;
    for (std::size_t i = 0; i < count; ++i) {
        reads.push_back(simulated_read(i + 1, samples));
    }
    ClientRun run;
    std::vector<std::vector<apps::Read>> done;
    const std::size_t per_batch = samples < 256000 ? 256000 / samples : 1;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < reads.size(); i += per_batch) {
        std::vector<apps::Read> batch;
        for (std::size_t j = i; j < std::min(reads.size(), i + per_batch); ++j) {
            batch.push_back(std::move(reads[j]));
        }
        while (client.pass_reads(batch, 100) == apps::PassReadResult::queue_full) {
            client.get_completed_reads(done);
        }
        client.get_completed_reads(done);
    }
    collect_until(client, done, count, start + run_deadline);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.reads_back = done.size();
    client.finish(10);
    return run;
}

double one_read_latency(const std::string& endpoint, std::size_t samples, std::size_t count) {
    apps::Corvane client(endpoint, "ref_dna_fast");
    if (client.connect() != apps::Result::success) {
        return 0;
    }
    double total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        apps::Read read = simulated_read(i + 1, samples);
        std::vector<std::vector<apps::Read>> done;
        const auto start = Clock::now();
        client.pass_read(read, 1000);
        if (!collect_until(client, done, 1, start + run_deadline)) {
            std::cerr << "client_bench: read " << i + 1 << " did not come back\n";
            break;
        }
        total += std::chrono::duration<double>(Clock::now() - start).count();
    }
    client.finish(10);
    return total / static_cast<double>(count);
}

double raw_round_trip(std::size_t count) {
    const double seconds = raw_two_exchanges(65, 64, count);  // two small exchanges per count
    return seconds / static_cast<double>(count);
}

void print(const std::string& what, double client, double raw, const std::string& unit) {
    std::cout << std::left << std::setw(34) << what << std::right << std::setw(12) << std::fixed
              << std::setprecision(1) << client << " " << unit << "   raw " << std::setw(12) << raw << " " << unit
              << "   ratio " << std::setprecision(3) << client / raw << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t reads = argc > 1 ? std::stoul(argv[1]) : 200;
    common::logging::initialise_logging();
    // The raw ceiling counts one pull per pushed batch, so the server may
    // return a whole batch of results in one completed batch.
    reference_server::ServerSettings settings = reference_server::default_settings();
    settings.data_plane.max_completed_batch = 256000 / 4000;
    reference_server::ReferenceServer server(settings);
    // What the client asked for and how often it found nothing ready,
    // printed beside each figure: each pull that finds nothing costs the
    // worker an idle pause.
    RequestCounts counts;
    server.set_request_log([&counts](const reference_server::RequestRecord& record) { counts.add(record); });
    const std::string endpoint = server.start(bench_support::ipc_endpoint("client_bench_server"));

    // The sizes the client moves per read: 2 bytes a sample pushed; called
    // bases (one per 5 samples) and their qualities pulled, each about one
    // byte, plus the block's envelope.
    auto push_bytes = [](std::size_t samples) { return 2 * samples + 300; };
    auto pull_bytes = [](std::size_t samples) { return 2 * (samples / 5) + 300; };

    {
        const std::size_t samples = 256000;
        const std::size_t count = std::max<std::size_t>(reads / 2, 10);
        const auto run = run_client(endpoint, samples, count);
        const double raw = raw_two_exchanges(push_bytes(samples), pull_bytes(samples), count);
        print("long reads (Msamples/s)", count * samples / run.seconds / 1e6, count * samples / raw / 1e6, "");
        counts.print_and_reset();
        if (run.reads_back != count) {
            std::cout << "  only " << run.reads_back << " of " << count << " reads came back\n";
        }
    }
    {
        const std::size_t samples = 4000;
        const std::size_t count = reads * 32;
        const std::size_t per_batch = 256000 / samples;
        const auto run = run_client(endpoint, samples, count);
        const double raw = raw_two_exchanges(per_batch * push_bytes(samples), per_batch * pull_bytes(samples),
                                             count / per_batch);
        print("short reads (Msamples/s)", count * samples / run.seconds / 1e6, count * samples / raw / 1e6, "");
        counts.print_and_reset();
        if (run.reads_back != count) {
            std::cout << "  only " << run.reads_back << " of " << count << " reads came back\n";
        }
    }
    {
        const double latency = one_read_latency(endpoint, 4000, 50);
        const double raw = raw_round_trip(200);
        // A ratio above 1 here means slower than two raw round trips.
        print("one read, idle client (us)", latency * 1e6, raw * 1e6, "");
    }
    return 0;
}
