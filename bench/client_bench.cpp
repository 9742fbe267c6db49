// The public client end to end against the reference server over ipc://,
// each figure next to a bare cppzmq REQ/REP loop in the same run:
//
//   long reads   256,000-sample reads pushed and their results pulled,
//                against one push exchange plus one pull exchange per read,
//                the raw loop building each read's message from its signal
//                (a batch of one, as the client sends a lone read) and
//                verifying and copying out the result it gets back; and,
//                for the transport alone, against the same exchanges
//                moving bare frames of the same sizes;
//   short reads  4,000-sample reads, batched, against the same two
//                exchanges per batch of reads (the raw ceiling; the server
//                returns up to a whole batch per completed batch), the
//                raw loop building each batch from the reads' signals and
//                verifying and copying out the results it gets back;
//   latency      one read through an idle client, pass_read to
//                get_completed_reads, against the read's two raw round
//                trips, its message built and its result read (the
//                median of each).
//
//   client_bench [reads_per_figure] [rounds] [long|short|latency|all] [instant]
//
// A third argument measures that figure alone (for a profiler). With
// "instant", the server calls every read at once with a result of the
// stand-in caller's size and no work: what the client reaches when the
// server costs nothing, to tell the client's share from the server's.
// A figure is measured in rounds, each a client run and then a raw run of
// the same size back to back, and the median of the rounds is printed: on a
// small shared machine the speed of both drifts by a factor of two within
// seconds, and a ratio taken from two runs next to each other drifts far
// less than either. Beside each figure: the spread of the round ratios, the
// CPU time per read of the threads doing the client's work (the calling
// thread, the worker, the notifier and the client's ZeroMQ I/O threads; not
// the in-process server's) against the raw loop's own (the calling thread
// and its context's I/O threads; not the echo server's), with their ratio,
// the figure that drifts least; and the whole process's CPU time per read,
// the server included. First the program prints how many cores' worth of
// work two busy threads get done on this machine.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include <sys/prctl.h>
#include <sys/resource.h>

#include "apps/client/corvane.h"
#include "common/runtime/logger.h"
#include "data_wrappers/dataset.h"
#include "reference_server/model/basecaller.h"
#include "reference_server/protocol/reference_server.h"
#include "reference_server/model/signal_model.h"
#include "support/chaos_run.h"
#include "support/raw_echo_loop.h"
#include "support/raw_read_messages.h"
#include "support/thread_cpu.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using Clock = std::chrono::steady_clock;

// User and system time of every thread of this process so far, and the
// page faults they took.
struct ProcessUsage {
    double cpu_seconds = 0;
    double page_faults = 0;

    static ProcessUsage now() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return {static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec),
                static_cast<double>(usage.ru_minflt + usage.ru_majflt)};
    }
};

// Wall and CPU seconds and page faults of one timed run: the whole
// process's CPU time, and that of the threads doing the measured side's own
// work.
struct Timing {
    double seconds = 0;
    double cpu_seconds = 0;
    double own_cpu_seconds = 0;
    double page_faults = 0;
    std::map<std::string, bench_support::ThreadGroup::Usage> own_by_thread;  // by thread name
};

class Stopwatch {
public:
    // Counts the calling thread and those not in started_before as the
    // measured side's own.
    explicit Stopwatch(const std::set<pid_t>& started_before)
        : m_own(started_before), m_start(Clock::now()), m_usage(ProcessUsage::now()) {}
    const bench_support::ThreadGroup& own_threads() const { return m_own; }
    Timing read() {
        const ProcessUsage usage = ProcessUsage::now();
        const double own = m_own.cpu_seconds();
        return {std::chrono::duration<double>(Clock::now() - m_start).count(),
                usage.cpu_seconds - m_usage.cpu_seconds, own, usage.page_faults - m_usage.page_faults,
                m_own.usage_by_name()};
    }

private:
    bench_support::ThreadGroup m_own;
    Clock::time_point m_start;
    ProcessUsage m_usage;
};

// Time for `count` pairs of exchanges: a `push`-byte request with a small
// reply, then a small request with a `pull`-byte reply.
Timing raw_two_exchanges(std::size_t push, std::size_t pull, std::size_t count) {
    constexpr std::size_t small = 64;
    bench_support::RawEchoServer server(bench_support::ipc_endpoint("client_bench_raw"),
                                        bench_support::RawEchoServer::Replies{small, std::string(small, 's'),
                                                                              std::string(pull, 'l')});
    // The server's threads run already; the context's start with its socket.
    const auto server_threads = bench_support::thread_ids();
    zmq::context_t context(2);
    zmq::socket_t socket = bench_support::connect_raw_client(context, server.endpoint());
    const std::string push_bytes(push, 'p');
    zmq::message_t push_frame(push_bytes.data(), push_bytes.size());
    zmq::message_t pull_frame(small / 2);
    zmq::message_t reply;
    Stopwatch stopwatch(server_threads);
    for (std::size_t i = 0; i < count; ++i) {
        bench_support::send_shared(socket, push_frame);
        (void)socket.recv(reply);
        bench_support::send_shared(socket, pull_frame);
        (void)socket.recv(reply);
    }
    return stopwatch.read();
}

std::string read_id_of(std::uint64_t tag) { return "bench_" + std::to_string(tag); }

// The signal of a simulated read; each is simulated once and served to
// every later round, so that the rounds spend no time simulating.
const std::vector<std::int16_t>& signal_of(std::uint64_t tag, std::size_t samples) {
    static std::map<std::pair<std::uint64_t, std::size_t>, std::vector<std::int16_t>> signals;
    auto known = signals.find({tag, samples});
    if (known == signals.end()) {
        static const char bases[] = "ACGT";
        std::string sequence(samples / 5, 'A');
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            sequence[i] = bases[(i * 7 + tag) % 4];
        }
        std::vector<std::int16_t> signal =
            reference_server::simulate_signal(sequence, {}, reference_server::seed_of(read_id_of(tag)));
        known = signals.emplace(std::make_pair(tag, samples), std::move(signal)).first;
    }
    return known->second;
}

// A simulated read, its signal copied from the one simulated first.
apps::Read simulated_read(std::uint64_t tag, std::size_t samples) {
    return test_support::read_of_signal(tag, read_id_of(tag), signal_of(tag, samples));
}

// Time for the reads' conversation without the client: `count`
// reads of `samples` samples, `per_batch` a batch, each batch built from
// the reads' signals into a PASS_READ_BATCH and pushed, then one pull whose
// reply, a completed batch of as many reads, is verified and its sequences
// and qualities copied out, as the client must do at least with them.
Timing raw_read_exchanges(std::size_t samples, std::size_t per_batch, std::size_t count) {
    const std::string client_id = "client_bench_raw";
    bench_support::RawEchoServer server(
        bench_support::ipc_endpoint("client_bench_raw_reads"),
        bench_support::RawEchoServer::Replies{1024, bench_support::batch_accepted_reply(),
                                              bench_support::completed_batch_reply(per_batch, samples, 5)});
    std::vector<bench_support::RawRead> reads;
    for (std::size_t i = 0; i < count; ++i) {
        reads.push_back({static_cast<std::uint32_t>(i + 1), read_id_of(i + 1), &signal_of(i + 1, samples)});
    }
    // The server's threads run already; the context's start with its socket.
    const auto server_threads = bench_support::thread_ids();
    zmq::context_t context(2);
    zmq::socket_t socket = bench_support::connect_raw_client(context, server.endpoint());
    zmq::message_t reply;
    std::vector<bench_support::RawCalledRead> called;
    std::size_t malformed = 0;
    Stopwatch stopwatch(server_threads);
    for (std::size_t i = 0; i < count; i += per_batch) {
        const std::span<const bench_support::RawRead> batch(reads.data() + i, std::min(per_batch, count - i));
        zmq::message_t push = bench_support::build_read_batch(batch, client_id);
        socket.send(push, zmq::send_flags::none);
        (void)socket.recv(reply);
        malformed += bench_support::verify_reply(reply) ? 0 : 1;
        zmq::message_t pull = bench_support::build_pull_request(client_id);
        socket.send(pull, zmq::send_flags::none);
        (void)socket.recv(reply);
        malformed += bench_support::read_completed_batch(reply, called) ? 0 : 1;
        // An application takes its reads and lets them go.
        called.clear();
    }
    const Timing timing = stopwatch.read();
    if (malformed != 0) {
        std::cerr << "client_bench: " << malformed << " raw replies did not verify\n";
    }
    return timing;
}

// What the application has collected. Like an application that writes each
// finished read out, it counts the reads and lets them go at once, so that
// their memory serves the reads after them.
struct Collected {
    std::size_t groups = 0;
    std::vector<std::vector<apps::Read>> scratch;

    // True when something came.
    bool take(apps::Corvane& client) {
        client.get_completed_reads(scratch);
        const bool some = !scratch.empty();
        groups += scratch.size();
        scratch.clear();
        return some;
    }
};

// Collects finished reads until `wanted` groups came, the client is no
// longer connected, or `deadline` passes, as an application that waits for
// its reads does. For the first spin_window it polls, yielding its core
// between polls to any thread ready to run there; after that an empty poll
// is followed by a pause that doubles up to max_poll_pause, so that a
// longer wait takes no core from the worker and the server while they
// work. The window covers one read through an idle client: on a small
// loaded machine each short sleep puts the collecting thread back on a core
// in the middle of the worker's exchange, and a spin that does not yield
// starves the threads the read is waiting for.
constexpr std::chrono::microseconds spin_window(250);
constexpr std::chrono::microseconds first_poll_pause(2);
constexpr std::chrono::microseconds max_poll_pause(50);

// Linux stretches a thread's sleeps by its timer slack, 50 us by default,
// which would make every pause at least that long; the collecting thread
// asks for none while it collects. The client's threads keep their own.
class NoTimerSlack {
public:
    NoTimerSlack() : m_previous(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL)) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    ~NoTimerSlack() {
        if (m_previous > 0) {
            prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_previous), 0UL, 0UL, 0UL);
        }
    }
    NoTimerSlack(const NoTimerSlack&) = delete;
    NoTimerSlack& operator=(const NoTimerSlack&) = delete;

private:
    int m_previous;
};

bool collect_until(apps::Corvane& client, Collected& collected, std::size_t wanted, Clock::time_point deadline) {
    const NoTimerSlack precise_pauses;
    const auto spin_end = Clock::now() + spin_window;
    auto pause = first_poll_pause;
    for (;;) {
        const bool some = collected.take(client);
        if (collected.groups >= wanted) {
            return true;
        }
        const auto now = Clock::now();
        if (client.get_status() != apps::ConnectionStatus::connected || now >= deadline) {
            return false;
        }
        if (now < spin_end) {
            std::this_thread::yield();
            continue;
        }
        pause = some ? first_poll_pause : std::min(pause * 2, max_poll_pause);
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
    Timing timing;
    std::size_t reads_back = 0;
};

// Passes `count` reads of `samples` samples and collects them all.
ClientRun run_client(const std::string& endpoint, std::size_t samples, std::size_t count) {
    // The server's threads run already; the client's start with connect.
    const auto server_threads = bench_support::thread_ids();
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
    Collected collected;
    const std::size_t per_batch = samples < 256000 ? 256000 / samples : 1;
    const auto start = Clock::now();
    Stopwatch stopwatch(server_threads);
    static bool names_shown = false;
    if (!std::exchange(names_shown, true)) {
        std::cout << "client's threads:";
        for (const std::string& name : stopwatch.own_threads().names()) {
            std::cout << " " << name;
        }
        std::cout << "\n";
    }
    for (std::size_t i = 0; i < reads.size(); i += per_batch) {
        std::vector<apps::Read> batch;
        for (std::size_t j = i; j < std::min(reads.size(), i + per_batch); ++j) {
            batch.push_back(std::move(reads[j]));
        }
        while (client.pass_reads(batch, 100) == apps::PassReadResult::queue_full) {
            collected.take(client);
        }
        collected.take(client);
    }
    collect_until(client, collected, count, start + run_deadline);
    run.timing = stopwatch.read();
    run.reads_back = collected.groups;
    client.finish(10);
    return run;
}

// What the machine gives two busy threads, in cores: the work two threads
// of a fixed loop get done in a time, against one thread's in the same
// time, the median of several tries taken in turn (a core's speed drifts on
// a virtual machine). A virtual machine may give its second core only in
// part, and the client keeps more threads busy than the raw loop does.
double cores_for_two_threads() {
    constexpr auto span = std::chrono::milliseconds(100);
    const auto spin = [span] {
        std::uint64_t turns = 0;
        volatile std::uint64_t sink = 0;
        const auto end = Clock::now() + span;
        while (Clock::now() < end) {
            for (int i = 0; i < 1000; ++i) {
                sink = sink + static_cast<std::uint64_t>(i);
            }
            ++turns;
        }
        return static_cast<double>(turns);
    };
    std::vector<double> ratios;
    for (int attempt = 0; attempt < 7; ++attempt) {
        const double one = spin();
        double other = 0;
        std::thread second([&] { other = spin(); });
        const double mine = spin();
        second.join();
        ratios.push_back((mine + other) / one);
    }
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0.0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// The median time of one read through an idle client, pass_read to
// get_completed_reads, over `count` reads one after another.
double one_read_latency(const std::string& endpoint, std::size_t samples, std::size_t count) {
    apps::Corvane client(endpoint, "ref_dna_fast");
    if (client.connect() != apps::Result::success) {
        return 0;
    }
    std::vector<double> times;
    for (std::size_t i = 0; i < count; ++i) {
        apps::Read read = simulated_read(i + 1, samples);
        Collected collected;
        const auto start = Clock::now();
        client.pass_read(read, 1000);
        if (!collect_until(client, collected, 1, start + run_deadline)) {
            std::cerr << "client_bench: read " << i + 1 << " did not come back\n";
            break;
        }
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    client.finish(10);
    return median(times);
}

// The median time of one read's two raw exchanges, over `count` reads: the
// read built into a message and pushed, then a pull whose reply, the
// read's result, is verified and copied out.
double raw_round_trips(std::size_t samples, std::size_t count) {
    const std::string client_id = "client_bench_rtt";
    bench_support::RawEchoServer server(
        bench_support::ipc_endpoint("client_bench_rtt"),
        bench_support::RawEchoServer::Replies{1024, bench_support::batch_accepted_reply(),
                                              bench_support::completed_batch_reply(1, samples, 5)});
    zmq::context_t context(2);
    zmq::socket_t socket = bench_support::connect_raw_client(context, server.endpoint());
    const bench_support::RawRead read{1, read_id_of(1), &signal_of(1, samples)};
    zmq::message_t reply;
    std::vector<bench_support::RawCalledRead> called;
    std::vector<double> times;
    for (std::size_t i = 0; i < count; ++i) {
        const auto start = Clock::now();
        zmq::message_t push = bench_support::build_read_batch(std::span(&read, 1), client_id);
        socket.send(push, zmq::send_flags::none);
        (void)socket.recv(reply);
        zmq::message_t pull = bench_support::build_pull_request(client_id);
        socket.send(pull, zmq::send_flags::none);
        (void)socket.recv(reply);
        const bool ok = bench_support::read_completed_batch(reply, called);
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        called.clear();
        if (!ok) {
            std::cerr << "client_bench: a raw reply did not verify\n";
            break;
        }
    }
    return median(times);
}

// A result of the size the stand-in caller gives (a base per window), made
// without reading the signal.
std::vector<reference_server::CalledResult> instant_call(const reference_server::ReceivedRead& read,
                                                         const reference_server::CallerOptions& options) {
    reference_server::CalledResult result = reference_server::uncalled_result(read, options);
    const std::size_t bases = read.signal().size() / std::max<std::uint32_t>(options.stride, 1);
    result.sequence.assign(bases, 'A');
    result.qstring.assign(bases, '5');
    std::vector<reference_server::CalledResult> results;
    results.push_back(std::move(result));
    return results;
}

// The rounds of one figure: the client's and the raw loop's value in each,
// and the CPU time per read of each.
struct Rounds {
    std::vector<double> client;
    std::vector<double> raw;
    std::vector<double> client_cpu_us;
    std::vector<double> raw_cpu_us;
    std::vector<double> client_own_cpu_us;
    std::vector<double> raw_own_cpu_us;
    // The same figure against bare frames of the messages' sizes, where measured.
    std::vector<double> frames_own_cpu_us;
    // Per thread name: CPU time per read (us), and times scheduled per read.
    std::map<std::string, std::vector<std::pair<double, double>>> client_threads;
    std::map<std::string, std::vector<std::pair<double, double>>> raw_threads;
    std::vector<double> client_faults;
    std::vector<double> raw_faults;

    void print(const std::string& what) const {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < client.size(); ++i) {
            ratios.push_back(client[i] / raw[i]);
        }
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        std::cout << std::left << std::setw(30) << what << std::right << std::fixed << std::setprecision(1)
                  << std::setw(10) << median(client) << "   raw " << std::setw(10) << median(raw) << "   ratio "
                  << std::setprecision(3) << median(ratios) << " (" << *low << " .. " << *high << ", "
                  << ratios.size() << " rounds)\n";
        if (!client_cpu_us.empty()) {
            std::vector<double> own_ratios;
            for (std::size_t i = 0; i < client_own_cpu_us.size(); ++i) {
                own_ratios.push_back(client_own_cpu_us[i] / raw_own_cpu_us[i]);
            }
            const auto [own_low, own_high] = std::minmax_element(own_ratios.begin(), own_ratios.end());
            std::cout << std::setprecision(2) << "  client's CPU per read (us): client " << median(client_own_cpu_us)
                      << ", raw " << median(raw_own_cpu_us) << "   ratio " << std::setprecision(3)
                      << median(own_ratios) << " (" << *own_low << " .. " << *own_high << ")\n";
            if (!frames_own_cpu_us.empty()) {
                std::vector<double> frame_ratios;
                for (std::size_t i = 0; i < frames_own_cpu_us.size(); ++i) {
                    frame_ratios.push_back(client_own_cpu_us[i] / frames_own_cpu_us[i]);
                }
                std::cout << std::setprecision(2) << "  against bare frames of the same sizes (us): "
                          << median(frames_own_cpu_us) << "   ratio " << std::setprecision(3)
                          << median(frame_ratios) << "\n";
            }
            std::cout << std::setprecision(1) << "  process CPU per read (us, server included): client "
                      << median(client_cpu_us) << ", raw " << median(raw_cpu_us)
                      << "; page faults per read: client " << median(client_faults) << ", raw "
                      << median(raw_faults) << "\n";
            // The threads that did anything, with their CPU time per read
            // and how often per read they were put on a CPU.
            const auto by_thread = [](const char* side, const auto& threads) {
                std::cout << "    " << side << " by thread (us, times scheduled) per read:";
                for (const auto& [name, rounds] : threads) {
                    std::vector<double> cpu;
                    std::vector<double> scheduled;
                    for (const auto& [us, times] : rounds) {
                        cpu.push_back(us);
                        scheduled.push_back(times);
                    }
                    if (median(cpu) >= 0.05) {
                        std::cout << std::setprecision(1) << " " << name << " " << median(cpu) << " "
                                  << std::setprecision(2) << median(scheduled) << ";";
                    }
                }
                std::cout << "\n";
            };
            by_thread("client", client_threads);
            by_thread("raw", raw_threads);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Long enough runs that a run's end weighs little: once everything is
    // pushed, a pull that finds the last reads still being called leaves
    // the worker at its idle pace, up to 10 ms, as the protocol has it.
    const std::size_t reads = argc > 1 ? std::stoul(argv[1]) : 600;
    const std::size_t rounds = argc > 2 ? std::max<std::size_t>(std::stoul(argv[2]), 1) : 5;
    const std::string only = argc > 3 ? argv[3] : "all";
    const bool instant = argc > 4 && std::string(argv[4]) == "instant";
    const auto wanted = [&only](const std::string& figure) { return only == "all" || only == figure; };
    common::logging::initialise_logging();
    std::cout << "two busy threads get " << std::fixed << std::setprecision(2) << cores_for_two_threads()
              << " cores of work done\n";
    // The raw ceiling counts one pull per pushed batch, so the server may
    // return a whole batch of results in one completed batch.
    reference_server::ServerSettings settings = reference_server::default_settings();
    settings.data_plane.max_completed_batch = 256000 / 4000;
    reference_server::ReferenceServer server(settings, instant ? reference_server::CallRead(&instant_call)
                                                               : reference_server::CallRead(&reference_server::call_read));
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

    // Reads per second of one round of `count` reads of `samples` samples,
    // pushed `per_batch` at a time, for the client and for the raw loop.
    const auto throughput = [&](const std::string& what, std::size_t samples, std::size_t count) {
        const std::size_t per_batch = samples < 256000 ? 256000 / samples : 1;
        Rounds figure;
        for (std::size_t round = 0; round < rounds; ++round) {
            const ClientRun run = run_client(endpoint, samples, count);
            if (run.reads_back != count) {
                std::cout << "  only " << run.reads_back << " of " << count << " reads came back\n";
                return;
            }
            // The raw loop builds the messages from the reads and reads the
            // results out of the replies; long reads are also measured
            // against bare frames of the same sizes, the transport alone.
            const Timing raw = raw_read_exchanges(samples, per_batch, count);
            if (per_batch == 1) {
                const Timing frames = raw_two_exchanges(push_bytes(samples), pull_bytes(samples), count);
                figure.frames_own_cpu_us.push_back(frames.own_cpu_seconds / static_cast<double>(count) * 1e6);
            }
            const double total = static_cast<double>(count * samples);
            figure.client.push_back(total / run.timing.seconds / 1e6);
            figure.raw.push_back(total / raw.seconds / 1e6);
            figure.client_cpu_us.push_back(run.timing.cpu_seconds / static_cast<double>(count) * 1e6);
            figure.raw_cpu_us.push_back(raw.cpu_seconds / static_cast<double>(count) * 1e6);
            figure.client_own_cpu_us.push_back(run.timing.own_cpu_seconds / static_cast<double>(count) * 1e6);
            figure.raw_own_cpu_us.push_back(raw.own_cpu_seconds / static_cast<double>(count) * 1e6);
            const auto per_read = [count](const bench_support::ThreadGroup::Usage& usage) {
                const double n = static_cast<double>(count);
                return std::make_pair(usage.cpu_seconds / n * 1e6, usage.times_scheduled / n);
            };
            for (const auto& [name, usage] : run.timing.own_by_thread) {
                figure.client_threads[name].push_back(per_read(usage));
            }
            for (const auto& [name, usage] : raw.own_by_thread) {
                figure.raw_threads[name].push_back(per_read(usage));
            }
            figure.client_faults.push_back(run.timing.page_faults / static_cast<double>(count));
            figure.raw_faults.push_back(raw.page_faults / static_cast<double>(count));
        }
        figure.print(what);
        counts.print_and_reset();
    };
    if (wanted("long")) {
        throughput("long reads (Msamples/s)", 256000, std::max<std::size_t>(reads / 2, 10));
    }
    if (wanted("short")) {
        throughput("short reads (Msamples/s)", 4000, reads * 32);
    }
    if (wanted("latency")) {
        Rounds figure;
        for (std::size_t round = 0; round < rounds; ++round) {
            // A ratio above 1 here means slower than two raw round trips.
            figure.client.push_back(one_read_latency(endpoint, 4000, 50) * 1e6);
            figure.raw.push_back(raw_round_trips(4000, 200) * 1e6);
        }
        figure.print("one read, idle client (us)");
        counts.print_and_reset();
    }
    return 0;
}
