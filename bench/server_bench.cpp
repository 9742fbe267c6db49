// The reference server's cost per data-plane request, in process (no
// socket), next to a memcpy of the same signal bytes: a batch of 64 reads of
// 4,000 samples and one raw block of 256,000 samples (512,000 bytes each).
//
// BM_ServerBatch64x4000 / BM_ServerRawBlock256000 hand the request frame to
// RequestHandler::handle with reads called on the server thread
// (caller_threads 0, zero calling latency), then pull every result with
// GET_FIRST_CALLED_BLOCK until NONE_PENDING. The frame copy that handing
// over a frame needs is part of the measured cost. Argument 1 runs the
// stand-in basecaller; argument 0 a caller that returns one short result
// per read at once, which leaves the server's own work: verification,
// reassembly, queueing and reply building.
//
// BM_ServerPush* answer the push alone with a caller thread (the server's
// default): the answering cost a client waits for, the calling being done
// beside it. BM_Call* are that caller thread's work per request: the
// stand-in basecaller on the received reads. BM_PullReply64Results builds
// the RETURN_COMPLETED_BATCH of 64 called results (server thread).
//
// BM_ServerPing and BM_ServerOneReadRoundTrip answer one client's ping,
// and push its one read of 4,000 samples and pull the result, with 1 and
// with 10,000 clients registered; the program prints the ratio of the two.
//
// BM_BareReqRepRoundTrip is the yardstick: one cppzmq REQ/REP round trip
// over ipc:// of the same request frame (argument 0 the batch, 1 the raw
// block), answered by a frame of the size of the server's acceptance. The
// memcpy copies random bytes between warmed, aligned buffers. After the runs the
// program prints each request's cost as ratios to both, from the same run.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <zmq.hpp>

#include "common/read_model/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "reference_server/model/basecaller.h"
#include "reference_server/data_plane/called_result.h"
#include "reference_server/data_plane/read_assembler.h"
#include "reference_server/data_plane/received_request.h"
#include "reference_server/protocol/request_handler.h"
#include "reference_server/model/signal_model.h"
#include "support/temp_dir.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using ipc_tools::Message;
using ipc_tools::MessageType;

constexpr std::size_t batch_reads = 64;
constexpr std::size_t batch_read_samples = 4000;
constexpr std::size_t long_read_samples = 256000;
constexpr std::size_t stride = 5;

common::ReadHolder make_read(std::uint64_t read_tag, std::size_t samples) {
    const std::string sequence = reference_server::random_bases(read_tag, samples / stride);
    common::ReadHolder read;
    read.read_tag = read_tag;
    std::vector<std::int16_t> signal = reference_server::simulate_signal(sequence, {}, read_tag);
    read.metadata->read_id = "0c7e5a9e-6b2a-4a4f-9d1c-" + std::to_string(100000000000 + read_tag);
    read.metadata->duration = signal.size();
    read.metadata->sampling_rate = 4000.0f;
    read.metadata->start_time = 1000 * read_tag;
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::move(signal)));
    return read;
}

std::vector<reference_server::CalledResult> short_result(const reference_server::ReceivedRead& read,
                                                        const reference_server::CallerOptions&) {
    reference_server::CalledResult result;
    result.read_tag = read.read_tag;
    result.strand_id = read.read_id;
    result.duration = read.duration;
    result.sequence = "ACGTACGTAC";
    result.qstring = "++++++++++";
    std::vector<reference_server::CalledResult> results;
    results.push_back(std::move(result));
    return results;
}

reference_server::ServerSettings settings_with_callers(std::uint32_t caller_threads) {
    auto settings = reference_server::default_settings();
    settings.data_plane.caller_threads = caller_threads;
    return settings;
}

// A server with one connected client, "1"; reads called on the server
// thread unless caller threads are asked for.
struct Server {
    explicit Server(bool basecaller, std::uint32_t caller_threads = 0)
        : state(std::make_shared<reference_server::ServerState>(settings_with_callers(caller_threads))),
          handler(state, std::make_shared<reference_server::FaultPlan>(),
                  basecaller ? reference_server::CallRead(&reference_server::call_read)
                             : reference_server::CallRead(&short_result)) {
        handler.start_calling();
        handler.handle(frame_of(Message(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast")));
        handler.handle(frame_of(Message(MessageType::CONNECT, "", 1, "ref_dna_fast:>client_name=bench")));
    }

    reference_server::RequestHandler::Outcome push(const zmq::message_t& request) {
        return handler.handle(zmq::message_t(request.data(), request.size()));
    }

    // Pulls until NONE_PENDING; returns the results pulled (batches count
    // as their size in reads_out of the state).
    std::size_t pull_all() {
        std::size_t replies = 0;
        while (true) {
            auto pulled = handler.handle(frame_of(Message(MessageType::GET_FIRST_CALLED_BLOCK, "1", 1, "")));
            if (pulled.record.reply == MessageType::NONE_PENDING) {
                return replies;
            }
            benchmark::DoNotOptimize(pulled.reply.data());
            ++replies;
        }
    }

    void answer(const zmq::message_t& request) {
        auto accepted = push(request);
        benchmark::DoNotOptimize(accepted.reply.data());
        pull_all();
    }

    // Pulls until the client has no read pending, however long the caller
    // threads take.
    void drain() {
        do {
            pull_all();
        } while (state->clients().front().reads_pending > 0);
    }

    std::shared_ptr<reference_server::ServerState> state;
    reference_server::RequestHandler handler;
};

void set_bytes(benchmark::State& state, std::size_t samples) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples * sizeof(std::int16_t)));
}

zmq::message_t batch_request() {
    std::vector<common::ReadHolder> reads;
    for (std::size_t i = 0; i < batch_reads; ++i) {
        reads.push_back(make_read(i + 1, batch_read_samples));
    }
    return frame_of(ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), "1"));
}

zmq::message_t raw_block_request() {
    const common::ReadHolder read = make_read(1, long_read_samples);
    std::vector<Message> blocks = ipc_tools::make_raw_block_messages(read, "1", long_read_samples);
    return frame_of(std::move(blocks.front()));
}

void BM_ServerBatch64x4000(benchmark::State& state) {
    const zmq::message_t request = batch_request();
    Server server(state.range(0) != 0);
    for (auto _ : state) {
        server.answer(request);
    }
    set_bytes(state, batch_reads * batch_read_samples);
}
BENCHMARK(BM_ServerBatch64x4000)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_ServerRawBlock256000(benchmark::State& state) {
    const zmq::message_t request = raw_block_request();
    Server server(state.range(0) != 0);
    for (auto _ : state) {
        server.answer(request);
    }
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_ServerRawBlock256000)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The push alone, its frame made and the previous calls drained untimed.
void push_alone(benchmark::State& state, const zmq::message_t& request) {
    Server server(true, 1);
    for (auto _ : state) {
        state.PauseTiming();
        server.drain();
        zmq::message_t frame(request.data(), request.size());
        state.ResumeTiming();
        auto accepted = server.handler.handle(std::move(frame));
        benchmark::DoNotOptimize(accepted.reply.data());
    }
    server.drain();
}

void BM_ServerPushBatch64x4000(benchmark::State& state) {
    push_alone(state, batch_request());
    set_bytes(state, batch_reads * batch_read_samples);
}
BENCHMARK(BM_ServerPushBatch64x4000)->Unit(benchmark::kMicrosecond);

void BM_ServerPushRawBlock256000(benchmark::State& state) {
    push_alone(state, raw_block_request());
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_ServerPushRawBlock256000)->Unit(benchmark::kMicrosecond);

// The reads of a request as the server receives them.
struct Received {
    explicit Received(const zmq::message_t& frame) : request(zmq::message_t(frame.data(), frame.size())) {
        reference_server::ReadAssembler assembler;
        reads = assembler.add(request.type(), *request.envelope()).completed;
    }
    reference_server::ReceivedRequest request;
    std::vector<reference_server::ReceivedRead> reads;
};

reference_server::CallerOptions bench_caller_options() {
    reference_server::CallerOptions options;
    options.moves = true;
    options.model_version_id = "ref_dna_fast";
    return options;
}

void call_all(benchmark::State& state, const zmq::message_t& frame, std::size_t samples) {
    const Received received(frame);
    const reference_server::CallerOptions options = bench_caller_options();
    for (auto _ : state) {
        for (const reference_server::ReceivedRead& read : received.reads) {
            auto results = reference_server::call_read(read, options);
            benchmark::DoNotOptimize(results.data());
        }
    }
    set_bytes(state, samples);
}

void BM_CallBatch64x4000(benchmark::State& state) {
    call_all(state, batch_request(), batch_reads * batch_read_samples);
}
BENCHMARK(BM_CallBatch64x4000)->Unit(benchmark::kMicrosecond);

void BM_CallLongRead256000(benchmark::State& state) { call_all(state, raw_block_request(), long_read_samples); }
BENCHMARK(BM_CallLongRead256000)->Unit(benchmark::kMicrosecond);

void BM_PullReply64Results(benchmark::State& state) {
    const Received received(batch_request());
    const reference_server::CallerOptions options = bench_caller_options();
    std::vector<reference_server::CalledResult> results;
    for (const reference_server::ReceivedRead& read : received.reads) {
        for (auto& result : reference_server::call_read(read, options)) {
            results.push_back(std::move(result));
        }
    }
    const std::uint32_t bases = reference_server::default_settings().data_plane.called_block_bases;
    for (auto _ : state) {
        auto reply = reference_server::make_completed_batch_reply(results, "1", bases);
        benchmark::DoNotOptimize(reply.batch.get_message_data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * results.size()));
}
BENCHMARK(BM_PullReply64Results)->Unit(benchmark::kMicrosecond);

// A server with `clients` registered clients, as many hostile or idle
// ones would leave it; the measured client is the last to connect.
struct CrowdedServer {
    explicit CrowdedServer(std::size_t clients)
        : state(std::make_shared<reference_server::ServerState>(crowd_settings(clients))),
          handler(state, std::make_shared<reference_server::FaultPlan>()) {
        handler.handle(frame_of(Message(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast")));
        for (std::size_t i = 0; i < clients; ++i) {
            handler.handle(frame_of(Message(MessageType::CONNECT, "", 1, "ref_dna_fast:>client_name=crowd")));
        }
        uid = state->clients().back().client_uid;
    }

    static reference_server::ServerSettings crowd_settings(std::size_t clients) {
        auto settings = settings_with_callers(0);
        settings.max_clients = static_cast<std::uint32_t>(clients);
        return settings;
    }

    std::shared_ptr<reference_server::ServerState> state;
    reference_server::RequestHandler handler;
    std::string uid;
};

// One HEARTBEAT_PING of a registered client, answered.
void BM_ServerPing(benchmark::State& state) {
    CrowdedServer server(static_cast<std::size_t>(state.range(0)));
    const zmq::message_t ping = frame_of(Message(MessageType::HEARTBEAT_PING, server.uid, 0, ""));
    for (auto _ : state) {
        auto echo = server.handler.handle(zmq::message_t(ping.data(), ping.size()));
        benchmark::DoNotOptimize(echo.reply.data());
    }
    state.SetLabel(std::to_string(state.range(0)) + " clients");
}
BENCHMARK(BM_ServerPing)->Arg(1)->Arg(10000)->Unit(benchmark::kMicrosecond);

// One read of 4,000 samples pushed as a batch and its result pulled, with
// the stand-in basecaller on the server thread.
void BM_ServerOneReadRoundTrip(benchmark::State& state) {
    CrowdedServer server(static_cast<std::size_t>(state.range(0)));
    const common::ReadHolder read = make_read(1, batch_read_samples);
    const zmq::message_t push =
        frame_of(ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(&read, 1), server.uid));
    const zmq::message_t pull = frame_of(Message(MessageType::GET_FIRST_CALLED_BLOCK, server.uid, 1, ""));
    for (auto _ : state) {
        auto accepted = server.handler.handle(zmq::message_t(push.data(), push.size()));
        auto result = server.handler.handle(zmq::message_t(pull.data(), pull.size()));
        if (result.record.reply != MessageType::RETURN_FIRST_CALLED_BLOCK) {
            state.SkipWithError("the read did not come back at once");
            break;
        }
        benchmark::DoNotOptimize(accepted.reply.data());
        benchmark::DoNotOptimize(result.reply.data());
    }
    state.SetLabel(std::to_string(state.range(0)) + " clients");
}
BENCHMARK(BM_ServerOneReadRoundTrip)->Arg(1)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Random bytes, so no page of either buffer is shared with another, both
// written once before timing, and both 64-byte aligned: on some processors
// a string copy between buffers whose addresses differ by 16 mod 64 runs
// at a twentieth of its speed, which would make a poor yardstick.
void BM_MemcpySignalBytes(benchmark::State& state) {
    constexpr std::size_t line = 64;
    constexpr std::size_t bytes = long_read_samples * sizeof(std::int16_t);
    static_assert(bytes % line == 0);
    const auto free_buffer = [](std::uint8_t* buffer) { std::free(buffer); };
    const std::unique_ptr<std::uint8_t, decltype(free_buffer)> source(
        static_cast<std::uint8_t*>(std::aligned_alloc(line, bytes)), free_buffer);
    const std::unique_ptr<std::uint8_t, decltype(free_buffer)> destination(
        static_cast<std::uint8_t*>(std::aligned_alloc(line, bytes)), free_buffer);
    std::mt19937 random(7);
    for (std::size_t i = 0; i < bytes; ++i) {
        source.get()[i] = static_cast<std::uint8_t>(random());
        destination.get()[i] = static_cast<std::uint8_t>(random());
    }
    for (auto _ : state) {
        std::memcpy(destination.get(), source.get(), bytes);
        benchmark::DoNotOptimize(destination.get());
        benchmark::ClobberMemory();
    }
    set_bytes(state, long_read_samples);
}
BENCHMARK(BM_MemcpySignalBytes)->Unit(benchmark::kMicrosecond);

// A REP socket on its own thread that answers every frame with `reply`
// until it receives an empty frame.
class ReplyingPeer {
public:
    ReplyingPeer(const std::string& address, std::size_t reply_size)
        : m_socket(m_context, zmq::socket_type::rep), m_reply(reply_size, 'r') {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.bind(address);
        m_thread = std::thread([this] {
            zmq::message_t request;
            do {
                if (!m_socket.recv(request)) {
                    break;
                }
                m_socket.send(zmq::buffer(m_reply), zmq::send_flags::none);
            } while (request.size() != 0);
        });
    }
    ~ReplyingPeer() { m_thread.join(); }

private:
    zmq::context_t m_context{1};
    zmq::socket_t m_socket;
    std::string m_reply;
    std::thread m_thread;
};

void BM_BareReqRepRoundTrip(benchmark::State& state) {
    const bool batch = state.range(0) == 0;
    zmq::message_t request = batch ? batch_request() : raw_block_request();
    const std::size_t reply_size =
        frame_of(Message(batch ? MessageType::BATCH_ACCEPTED : MessageType::RAW_BLOCK_ACCEPTED, "", 0, "")).size();
    const test_support::TempDir folder;
    const std::string address = folder.ipc_endpoint();
    ReplyingPeer peer(address, reply_size);
    zmq::context_t context(1);
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(address);
    zmq::message_t reply;
    for (auto _ : state) {
        // A share of the frame built up front, as the client sends the
        // messages it has built: no copy of our own, which on this kind of
        // machine can land on memcpy's slow placement and swamp the figure.
        zmq::message_t share;
        share.copy(request);
        socket.send(share, zmq::send_flags::none);
        benchmark::DoNotOptimize(socket.recv(reply));
    }
    socket.send(zmq::message_t(), zmq::send_flags::none);
    (void)socket.recv(reply);
    set_bytes(state, batch ? batch_reads * batch_read_samples : long_read_samples);
    state.SetLabel(batch ? "batch 64x4000" : "raw block 256000");
}
BENCHMARK(BM_BareReqRepRoundTrip)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps each run's time per iteration (µs) while printing as usual.
class KeepingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                const double to_micros = benchmark::GetTimeUnitMultiplier(benchmark::kMicrosecond) /
                                         benchmark::GetTimeUnitMultiplier(run.time_unit);
                m_micros[run.benchmark_name()] = {run.GetAdjustedRealTime() * to_micros,
                                                  run.GetAdjustedCPUTime() * to_micros};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The request's own thread time, as ratios to the memcpy's and to the
    // wall time of a bare round trip: on a loaded machine a thread's wall
    // time also holds the time it waited for a core.
    void print_ratios() const {
        const double memcpy = find("BM_MemcpySignalBytes").cpu;
        const struct {
            const char* name;
            const char* round_trip;
        } rows[] = {
            {"BM_ServerBatch64x4000/0", "BM_BareReqRepRoundTrip/0/real_time"},
            {"BM_ServerRawBlock256000/0", "BM_BareReqRepRoundTrip/1/real_time"},
            {"BM_ServerBatch64x4000/1", "BM_BareReqRepRoundTrip/0/real_time"},
            {"BM_ServerRawBlock256000/1", "BM_BareReqRepRoundTrip/1/real_time"},
            {"BM_ServerPushBatch64x4000", "BM_BareReqRepRoundTrip/0/real_time"},
            {"BM_ServerPushRawBlock256000", "BM_BareReqRepRoundTrip/1/real_time"},
            {"BM_CallBatch64x4000", "BM_BareReqRepRoundTrip/0/real_time"},
            {"BM_CallLongRead256000", "BM_BareReqRepRoundTrip/1/real_time"},
            {"BM_PullReply64Results", "BM_BareReqRepRoundTrip/0/real_time"},
        };
        std::cout << "\nthread time per request (us), and as ratios to the memcpy of 512,000 bytes ("
                  << std::fixed << std::setprecision(1) << memcpy << " us) and to the bare round trip\n";
        for (const auto& row : rows) {
            const Times times = find(row.name);
            const double round_trip = find(row.round_trip).real;
            if (times.cpu <= 0) {
                continue;
            }
            std::cout << std::left << std::setw(30) << row.name << std::right << std::setprecision(1) << std::setw(9)
                      << times.cpu << "   x memcpy " << std::setprecision(2) << std::setw(7)
                      << (memcpy > 0 ? times.cpu / memcpy : 0.0) << "   x round trip (" << std::setprecision(0)
                      << round_trip << " us) " << std::setprecision(2) << std::setw(6)
                      << (round_trip > 0 ? times.cpu / round_trip : 0.0) << "\n";
        }
    }

private:
    struct Times {
        double real = 0;
        double cpu = 0;
    };

    Times find(const std::string& name) const {
        const auto found = m_micros.find(name);
        return found == m_micros.end() ? Times{} : found->second;
    }

    std::map<std::string, Times> m_micros;

public:
    // The requests of one client among 10,000 against the same with the
    // client alone: a lookup by client must not grow with the clients.
    void print_crowd_ratios() const {
        std::cout << "\nthread time per request (us) with 1 and with 10,000 registered clients\n";
        for (const char* name : {"BM_ServerPing", "BM_ServerOneReadRoundTrip"}) {
            const Times alone = find(std::string(name) + "/1");
            const Times crowded = find(std::string(name) + "/10000");
            if (alone.cpu <= 0 || crowded.cpu <= 0) {
                continue;
            }
            std::cout << std::left << std::setw(30) << name << std::right << std::fixed << std::setprecision(2)
                      << std::setw(9) << alone.cpu << std::setw(9) << crowded.cpu << "   x " << std::setprecision(2)
                      << crowded.cpu / alone.cpu << "\n";
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    reporter.print_crowd_ratios();
    benchmark::Shutdown();
    return 0;
}
