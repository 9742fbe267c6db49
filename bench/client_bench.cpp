// The public client end to end against the reference server over ipc://,
// each figure next to a bare cppzmq REQ/REP loop moving frames of the same
// sizes in the same run:
//
//   long reads   256,000-sample reads pushed and their results pulled,
//                against one push exchange plus one pull exchange per read;
//   short reads  4,000-sample reads, batched, against the same two
//                exchanges per batch of reads (the raw ceiling);
//   latency      one read through an idle client, pass_read to
//                get_completed_reads, against two raw round trips.
//
//   client_bench [reads_per_figure]
//
// Prints each figure and its ratio to the raw loop.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <zmq.hpp>

#include "apps/client/corvane.h"
#include "common/logger.h"
#include "data_wrappers/dataset.h"
#include "reference_server/reference_server.h"
#include "reference_server/signal_model.h"
#include "support/chaos_run.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using Clock = std::chrono::steady_clock;

std::string ipc_endpoint(const std::string& name) {
    return "ipc://" +
           (std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid()) + ".sock")).string();
}

// A REP socket answering a request of more than `small` bytes with a frame
// of `small` bytes, and any other request with a frame of `large` bytes: the
// push and the pull of the client's conversation.
class RawServer {
public:
    RawServer(const std::string& address, std::size_t small, std::size_t large)
        : m_context(1), m_socket(m_context, zmq::socket_type::rep), m_small(small, 's'), m_large(large, 'l') {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.bind(address);
        m_thread = std::thread([this] { run(); });
    }
    ~RawServer() {
        m_stop = true;
        m_thread.join();
    }

private:
    void run() {
        zmq::pollitem_t items[] = {{m_socket.handle(), 0, ZMQ_POLLIN, 0}};
        while (!m_stop) {
            if (zmq::poll(items, 1, std::chrono::milliseconds(20)) == 0) {
                continue;
            }
            zmq::message_t request;
            if (m_socket.recv(request, zmq::recv_flags::dontwait)) {
                const std::string& reply = request.size() > m_small.size() ? m_small : m_large;
                m_socket.send(zmq::buffer(reply), zmq::send_flags::none);
            }
        }
    }

    zmq::context_t m_context;
    zmq::socket_t m_socket;
    std::string m_small;
    std::string m_large;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Seconds for `count` pairs of exchanges: a `push`-byte request with a
// small reply, then a small request with a `pull`-byte reply.
double raw_two_exchanges(std::size_t push, std::size_t pull, std::size_t count) {
    constexpr std::size_t small = 64;
    const std::string address = ipc_endpoint("client_bench_raw");
    RawServer server(address, small, pull);
    zmq::context_t context(2);
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(address);
    const std::string push_frame(push, 'p');
    const std::string pull_frame(small / 2, 'q');
    zmq::message_t reply;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        socket.send(zmq::buffer(push_frame), zmq::send_flags::none);
        (void)socket.recv(reply);
        socket.send(zmq::buffer(pull_frame), zmq::send_flags::none);
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
    while (done.size() < count && client.get_status() == apps::ConnectionStatus::connected) {
        client.get_completed_reads(done);
        std::this_thread::yield();
    }
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
        while (done.empty()) {
            client.get_completed_reads(done);
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
    reference_server::ReferenceServer server;
    const std::string endpoint = server.start(ipc_endpoint("client_bench_server"));

    // The sizes the client moves per read: 2 bytes a sample pushed; called
    // bases (one per 5 samples) and their qualities pulled, each about one
    // byte, plus the block's envelope.
    auto push_bytes = [](std::size_t samples) { return 2 * samples + 300; };
    auto pull_bytes = [](std::size_t samples) { return 2 * (samples / 5) + 300; };

    {
        const std::size_t samples = 256000;
        const std::size_t count = std::max<std::size_t>(reads / 10, 10);
        const auto run = run_client(endpoint, samples, count);
        const double raw = raw_two_exchanges(push_bytes(samples), pull_bytes(samples), count);
        print("long reads (Msamples/s)", count * samples / run.seconds / 1e6, count * samples / raw / 1e6, "");
        if (run.reads_back != count) {
            std::cout << "  only " << run.reads_back << " of " << count << " reads came back\n";
        }
    }
    {
        const std::size_t samples = 4000;
        const std::size_t count = reads * 8;
        const std::size_t per_batch = 256000 / samples;
        const auto run = run_client(endpoint, samples, count);
        const double raw = raw_two_exchanges(per_batch * push_bytes(samples), per_batch * pull_bytes(samples),
                                             count / per_batch);
        print("short reads (Msamples/s)", count * samples / run.seconds / 1e6, count * samples / raw / 1e6, "");
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
