// The reference server's cost per data-plane request, in process (no
// socket), next to a memcpy of the same signal bytes: a batch of 64 reads of
// 4,000 samples and one raw block of 256,000 samples (512,000 bytes each).
// Each iteration hands the request frame to RequestHandler::handle, which
// reassembles and calls the reads (zero calling latency), then pulls every
// result with GET_FIRST_CALLED_BLOCK until NONE_PENDING. The frame copy that
// handing over a frame needs is part of the measured cost.
//
// Argument 1 runs the stand-in basecaller; argument 0 a caller that returns
// one short result per read at once, which leaves the server's own work:
// verification, reassembly, queueing and reply building.
//
// BM_BareReqRepRoundTrip is the yardstick: one cppzmq REQ/REP round trip
// over ipc:// of the same request frame (argument 0 the batch, 1 the raw
// block), answered by a frame of the size of the server's acceptance. The
// server's cost is worth quoting as a fraction of that round trip.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <zmq.hpp>

#include "common/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "reference_server/request_handler.h"
#include "reference_server/signal_model.h"
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
    reference_server::SeededStream stream(read_tag);
    std::string sequence(samples / stride, 'A');
    for (char& base : sequence) {
        base = "ACGT"[stream.below(4)];
    }
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

zmq::message_t frame_of(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return frame;
}

std::vector<reference_server::CalledResult> short_result(const reference_server::ReceivedRead& read,
                                                        const reference_server::CallerOptions&) {
    reference_server::CalledResult result;
    result.read_tag = read.read_tag;
    result.strand_id = read.read_id;
    result.duration = read.duration;
    result.sequence = "ACGTACGTAC";
    result.qstring = "++++++++++";
    return {result};
}

// A server with one connected client, "1".
struct Server {
    explicit Server(bool basecaller)
        : state(std::make_shared<reference_server::ServerState>(reference_server::default_settings())),
          handler(state, std::make_shared<reference_server::FaultPlan>(),
                  basecaller ? reference_server::CallRead(&reference_server::call_read)
                             : reference_server::CallRead(&short_result)) {
        handler.handle(frame_of(Message(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast")));
        handler.handle(frame_of(Message(MessageType::CONNECT, "", 1, "ref_dna_fast:>client_name=bench")));
    }

    void answer(const zmq::message_t& request) {
        auto accepted = handler.handle(zmq::message_t(request.data(), request.size()));
        benchmark::DoNotOptimize(accepted.reply.data());
        while (true) {
            auto pulled = handler.handle(frame_of(Message(MessageType::GET_FIRST_CALLED_BLOCK, "1", 1, "")));
            if (pulled.record.reply == MessageType::NONE_PENDING) {
                break;
            }
            benchmark::DoNotOptimize(pulled.reply.data());
        }
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

void BM_MemcpySignalBytes(benchmark::State& state) {
    const std::vector<std::int16_t> source(long_read_samples, 7);
    std::vector<std::int16_t> destination(long_read_samples);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), long_read_samples * sizeof(std::int16_t));
        benchmark::DoNotOptimize(destination.data());
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
    const zmq::message_t request = batch ? batch_request() : raw_block_request();
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
        // A copy per send, as a client builds a fresh frame for each request.
        socket.send(zmq::message_t(request.data(), request.size()), zmq::send_flags::none);
        benchmark::DoNotOptimize(socket.recv(reply));
    }
    socket.send(zmq::message_t(), zmq::send_flags::none);
    (void)socket.recv(reply);
    set_bytes(state, batch ? batch_reads * batch_read_samples : long_read_samples);
    state.SetLabel(batch ? "batch 64x4000" : "raw block 256000");
}
BENCHMARK(BM_BareReqRepRoundTrip)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
