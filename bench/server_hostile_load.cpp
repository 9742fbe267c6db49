// What a hostile client on loopback can make a reference_server process
// hold: each load below runs against a fresh server process with the
// default settings, and the program prints what the kernel reports for it
// (/proc/PID/status: VmRSS, its peak VmHWM, VmSize and Threads; the line
// count of /proc/PID/maps) before and after, next to the server's answers.
//
//   server_hostile_load PATH_TO_reference_server [pieces|indices|failed|continuations|batch|clients|partial|all]
//
//   pieces         one PASS_FIRST_RAW_BLOCK each of 1.2, 3.6 and 12 MB whose
//                  signal has an open-pore sample every 6 samples, results pulled
//   indices        six LOAD_INDEX of one 50 Mb contig with option texts that
//                  build the same index ("", "-a", "-a -a", "-t 1", "-c", "-t 2 -a")
//   failed         22,000 LOAD_INDEX of an empty FASTA, then a valid one
//   continuations  reads of 600,000 samples whose results only the first
//                  blocks of are pulled, until the server says NOT_READY
//   batch          a first batch of 200,000 empty reads
//   clients        1,000 and 1,001 CONNECTs, each never heard of again; ping
//                  and QUERY before and after
//   partial        64 first blocks declaring 100,000,000 samples each
//
// Not a Google Benchmark program and not run by the suite: it prints the
// figures a change to the server's bounds is judged by.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zmq.hpp>

#include "common/read_model/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"
#include "reference_server/model/signal_model.h"

extern char** environ;

namespace {

namespace dw = vesk::data_wrappers::v2;
namespace wire = ipc_tools::wire;
using ipc_tools::Message;
using ipc_tools::MessageType;
using Clock = std::chrono::steady_clock;

// A reference_server process of its own, on an ipc:// endpoint in a
// folder of its own, stopped with SIGTERM.
class ServerProcess {
public:
    ServerProcess(const std::string& program, const std::filesystem::path& folder) {
        m_endpoint = "ipc://" + (folder / "server.sock").string();
        const std::string log = (folder / "server.log").string();
        std::vector<std::string> args = {program, "--listen", m_endpoint, "--verbosity", "0"};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot run " + program);
        }
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::exists(folder / "server.sock")) {
            if (Clock::now() > deadline) {
                throw std::runtime_error("the server did not start");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_socket_path = folder / "server.sock";
    }
    ~ServerProcess() {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }

    const std::string& endpoint() const { return m_endpoint; }
    pid_t pid() const { return m_pid; }
    bool alive() const { return ::kill(m_pid, 0) == 0; }

    // A value of /proc/PID/status in kB (or a plain count), 0 when absent.
    std::uint64_t status(const std::string& key) const {
        std::ifstream file("/proc/" + std::to_string(m_pid) + "/status");
        for (std::string line; std::getline(file, line);) {
            if (line.rfind(key + ":", 0) == 0) {
                return std::stoull(line.substr(key.size() + 1));
            }
        }
        return 0;
    }
    std::size_t mappings() const {
        std::ifstream file("/proc/" + std::to_string(m_pid) + "/maps");
        std::size_t lines = 0;
        for (std::string line; std::getline(file, line);) {
            ++lines;
        }
        return lines;
    }

    void report(const std::string& when) const {
        std::cout << "  " << std::left << std::setw(34) << when << std::right << " RSS " << std::setw(8)
                  << status("VmRSS") / 1024.0 << " MB  peak " << std::setw(8) << status("VmHWM") / 1024.0
                  << " MB  VmSize " << std::setw(9) << status("VmSize") / 1024.0 << " MB  threads " << std::setw(3)
                  << status("Threads") << "  maps " << mappings() << "\n";
    }

private:
    pid_t m_pid = 0;
    std::string m_endpoint;
    std::filesystem::path m_socket_path;
};

class Client {
public:
    explicit Client(const std::string& endpoint) : m_socket(m_context, zmq::socket_type::req) {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.set(zmq::sockopt::rcvtimeo, 120000);
        m_socket.connect(endpoint);
    }

    Message exchange(Message request) {
        zmq::message_t frame;
        request.release_into(frame);
        m_socket.send(frame, zmq::send_flags::none);
        zmq::message_t reply;
        if (!m_socket.recv(reply)) {
            throw std::runtime_error("no reply");
        }
        return Message(std::move(reply));
    }
    Message exchange(MessageType type, const std::string& id = {}, std::int32_t value = 0, const std::string& text = {}) {
        return exchange(Message(type, id, value, text));
    }

    std::string connect() {
        exchange(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast");
        const Message reply = exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>timeout_interval=600");
        const std::string text = text_of(reply);
        const auto start = text.find(">client_uid=") + 12;
        return text.substr(start, text.find('>', start) - start);
    }

    static std::string text_of(const Message& reply) {
        const auto* body = reply.get_message_data().data_as_Reply();
        return body && body->text() ? body->text()->str() : std::string();
    }

private:
    zmq::context_t m_context{1};
    zmq::socket_t m_socket;
};

Message first_block(const std::string& uid, std::uint32_t tag, const std::vector<std::int16_t>& samples,
                    std::uint32_t duration, std::uint32_t block_count = 1) {
    flatbuffers::FlatBufferBuilder builder;
    const auto block = wire::CreateReadBlockDirect(builder, wire::BlockKind::FIRST_RAW_BLOCK, tag, 0, block_count,
                                                   duration, 0.0f, 0.0f, "hostile", &samples);
    ipc_tools::finish_envelope(builder, uid, wire::MessageData::ReadBlock, block.Union());
    return Message(builder);
}

std::size_t results_in(const Message& reply) {
    if (reply.get_type() == MessageType::RETURN_FIRST_CALLED_BLOCK) {
        return 1;
    }
    if (reply.get_type() == MessageType::RETURN_COMPLETED_BATCH) {
        return reply.get_message_data().data_as_ReadBatch()->blocks()->size();
    }
    return 0;
}

void pieces(const std::string& program, const std::filesystem::path& folder) {
    for (const std::size_t megabytes10 : {12, 36, 120}) {
        ServerProcess server(program, folder);
        Client client(server.endpoint());
        const std::string uid = client.connect();
        std::vector<std::int16_t> signal;
        while (signal.size() * 2 < megabytes10 * 100'000) {
            signal.insert(signal.end(), {300, 300, 300, 300, 300, 1400});
        }
        server.report("before");
        const Message reply = client.exchange(first_block(uid, 1, signal, static_cast<std::uint32_t>(signal.size())));
        std::size_t results = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            const std::size_t got = results_in(client.exchange(MessageType::GET_FIRST_CALLED_BLOCK, uid, 0));
            results += got;
            if (got == 0 && results > 0) {
                break;
            }
        }
        std::cout << "  block of " << megabytes10 / 10.0 << " MB: " << ipc_tools::to_string(reply.get_type()) << ", "
                  << results << " results\n";
        server.report("after the block, results pulled");
    }
}

std::string load_until_done(Client& client, const std::string& text) {
    while (true) {
        const Message reply = client.exchange(MessageType::LOAD_INDEX, "", 0, text);
        if (reply.get_type() != MessageType::LOADING) {
            return std::string(ipc_tools::to_string(reply.get_type())) + " " + Client::text_of(reply);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

void indices(const std::string& program, const std::filesystem::path& folder) {
    const std::string fasta = (folder / "contig.fa").string();
    if (!std::filesystem::exists(fasta)) {
        reference_server::SeededStream stream(7);
        std::ofstream out(fasta);
        out << ">contig\n";
        for (int i = 0; i < 500'000; ++i) {
            out << reference_server::random_bases(stream, 100) << "\n";
        }
    }
    ServerProcess server(program, folder);
    Client client(server.endpoint());
    server.report("before");
    for (const char* options : {"", "-a", "-a -a", "-t 1", "-c", "-t 2 -a"}) {
        const std::string text = *options ? fasta + ":>minimap_opt_string=" + options : fasta;
        const std::string answer = load_until_done(client, text);
        server.report(std::string("after \"") + options + "\": " + answer.substr(0, 7));
    }
}

void failed(const std::string& program, const std::filesystem::path& folder) {
    const std::string empty = (folder / "empty.fa").string();
    std::ofstream(empty).close();
    ServerProcess server(program, folder);
    Client client(server.endpoint());
    server.report("before");
    std::map<std::string, std::size_t> answers;
    for (int i = 0; i < 22'000; ++i) {
        ++answers[ipc_tools::to_string(client.exchange(MessageType::LOAD_INDEX, "", 0, empty).get_type())];
    }
    for (const auto& [answer, count] : answers) {
        std::cout << "  " << answer << " x " << count << "\n";
    }
    server.report("after 22,000 loads of an empty FASTA");
    const std::string fasta = (folder / "small.fa").string();
    std::ofstream(fasta) << ">small\n" << std::string(2000, 'A') << "ACGT" << std::string(2000, 'C') << "\n";
    std::cout << "  a valid load then: " << load_until_done(client, fasta) << "\n";
}

void continuations(const std::string& program, const std::filesystem::path& folder) {
    ServerProcess server(program, folder);
    Client client(server.endpoint());
    const std::string uid = client.connect();
    const std::string sequence = reference_server::random_bases(3, 120'000);
    common::ReadHolder read;
    read.metadata->read_id = "long";
    std::vector<std::int16_t> samples = reference_server::simulate_signal(sequence, {}, 3);
    samples.resize(600'000, 300);
    read.metadata->duration = samples.size();
    read.metadata->sampling_rate = 4000.0f;
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::move(samples)));
    server.report("before");
    std::size_t accepted = 0;
    std::size_t refused_in_a_row = 0;
    for (std::uint32_t tag = 1; tag <= 3000 && refused_in_a_row < 20; ++tag) {
        read.read_tag = tag;
        auto blocks = ipc_tools::make_raw_block_messages(read, uid, 1'000'000);
        const MessageType reply = client.exchange(std::move(blocks.front())).get_type();
        if (reply == MessageType::RAW_BLOCK_ACCEPTED) {
            ++accepted;
            refused_in_a_row = 0;
        } else {
            ++refused_in_a_row;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        client.exchange(MessageType::GET_FIRST_CALLED_BLOCK, uid, 0);
    }
    std::cout << "  " << accepted << " reads accepted before NOT_READY held\n";
    server.report("after, first blocks only pulled");
}

void batch(const std::string& program, const std::filesystem::path& folder) {
    ServerProcess server(program, folder);
    Client client(server.endpoint());
    const std::string uid = client.connect();
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<wire::ReadBlock>> blocks;
    const std::vector<std::int16_t> none;
    for (std::uint32_t i = 0; i < 200'000; ++i) {
        blocks.push_back(wire::CreateReadBlockDirect(builder, wire::BlockKind::FIRST_RAW_BLOCK, i + 1, 0, 1, 0, 0.0f,
                                                     0.0f, "empty", &none));
    }
    const auto body = wire::CreateReadBatch(builder, wire::BatchKind::READ_BATCH, builder.CreateVector(blocks));
    ipc_tools::finish_envelope(builder, uid, wire::MessageData::ReadBatch, body.Union());
    server.report("before");
    const Message reply = client.exchange(Message(builder));
    std::cout << "  " << ipc_tools::to_string(reply.get_type()) << " " << Client::text_of(reply) << "\n";
    const std::string state = Client::text_of(client.exchange(Message(ipc_tools::QueryCode::internal_state)));
    const auto pending = state.find("\"reads_pending\":");
    std::cout << "  " << state.substr(pending, state.find(',', pending) - pending) << "\n";
    server.report("after the batch");
}

double ping_micros(Client& client, const std::string& uid) {
    constexpr int pings = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < pings; ++i) {
        client.exchange(MessageType::HEARTBEAT_PING, uid);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / pings;
}

void clients(const std::string& program, const std::filesystem::path& folder) {
    ServerProcess server(program, folder);
    Client client(server.endpoint());
    const std::string uid = client.connect();
    const auto query_bytes = [&] {
        return Client::text_of(client.exchange(Message(ipc_tools::QueryCode::internal_state))).size();
    };
    std::cout << "  1 client: ping " << ping_micros(client, uid) << " us, QUERY " << query_bytes() << " bytes\n";
    std::map<std::string, std::size_t> answers;
    for (int i = 0; i < 1000; ++i) {
        ++answers[ipc_tools::to_string(
            client.exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>timeout_interval=0").get_type())];
    }
    for (const auto& [answer, count] : answers) {
        std::cout << "  CONNECT -> " << answer << " x " << count << "\n";
    }
    std::cout << "  full: ping " << ping_micros(client, uid) << " us, QUERY " << query_bytes() << " bytes\n";
    server.report("after");
}

void partial(const std::string& program, const std::filesystem::path& folder) {
    ServerProcess server(program, folder);
    Client client(server.endpoint());
    const std::string uid = client.connect();
    server.report("before");
    std::map<std::string, std::size_t> answers;
    const std::vector<std::int16_t> start(1000, 300);
    for (std::uint32_t tag = 1; tag <= 64; ++tag) {
        ++answers[ipc_tools::to_string(client.exchange(first_block(uid, tag, start, 100'000'000, 400)).get_type())];
    }
    for (const auto& [answer, count] : answers) {
        std::cout << "  first block -> " << answer << " x " << count << "\n";
    }
    server.report("after 64 first blocks");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: server_hostile_load PATH_TO_reference_server [load|all]\n";
        return 2;
    }
    const std::string program = argv[1];
    const std::string which = argc > 2 ? argv[2] : "all";
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("hostile" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::pair<const char*, void (*)(const std::string&, const std::filesystem::path&)> loads[] = {
        {"pieces", pieces}, {"indices", indices}, {"failed", failed},   {"continuations", continuations},
        {"batch", batch},   {"clients", clients}, {"partial", partial},
    };
    std::cout << std::fixed << std::setprecision(1);
    int status = 0;
    for (const auto& [name, run] : loads) {
        if (which != "all" && which != name) {
            continue;
        }
        std::cout << name << ":\n";
        try {
            run(program, folder);
        } catch (const std::exception& error) {
            std::cout << "  failed: " << error.what() << "\n";
            status = 1;
        }
    }
    std::filesystem::remove_all(folder);
    return status;
}
