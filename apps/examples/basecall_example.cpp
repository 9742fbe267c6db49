// A complete application on the corvane client library, written to be
// copied: it simulates reads, has a basecall server call them, and writes
// the called reads as FASTQ or SAM.
//
//   corvane_basecall_example [--server ADDRESS] [--reads N] [--length BASES]
//                            [--config NAME] [--format fastq|sam] [--seed N]
//                            [--output FILE]
//
// Without --server it starts the reference server (the `reference_server`
// program installed beside this one) on a private ipc:// endpoint and stops
// it at the end.
//
// The reads follow the reference server's signal model: each base is one
// window of 5 samples at its level (A 300, C 500, G 700, T 900) plus a
// little noise, so the reference server's caller gives back exactly the
// sequence each signal was made from, and the summary can say how many
// sequences came back identical.
//
// Only <apps/client/corvane.h> is used: build it against the installed
// package with find_package(corvane) or pkg-config corvane.

#include <apps/client/corvane.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace dw = vesk::data_wrappers::v2;

struct Options {
    std::string server;  // empty: start a reference server
    std::string config = "ref_dna_fast";
    std::string format = "fastq";
    std::string output;  // empty: standard output
    std::uint64_t reads = 200;
    std::uint32_t length = 400;
    std::uint64_t seed = 1;
};

[[noreturn]] void usage(const char* problem) {
    std::cerr << "corvane_basecall_example: " << problem << "\n"
              << "usage: corvane_basecall_example [--server ADDRESS] [--reads N] [--length BASES]\n"
              << "         [--config NAME] [--format fastq|sam] [--seed N] [--output FILE]\n";
    std::exit(2);
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (i + 1 >= argc) {
            usage(("missing value for " + argument).c_str());
        }
        const std::string value = argv[++i];
        try {
            if (argument == "--server") {
                options.server = value;
            } else if (argument == "--config") {
                options.config = value;
            } else if (argument == "--format" && (value == "fastq" || value == "sam")) {
                options.format = value;
            } else if (argument == "--output") {
                options.output = value;
            } else if (argument == "--reads") {
                options.reads = std::stoull(value);
            } else if (argument == "--length") {
                options.length = static_cast<std::uint32_t>(std::stoul(value));
            } else if (argument == "--seed") {
                options.seed = std::stoull(value);
            } else {
                usage(("unknown option or value: " + argument + " " + value).c_str());
            }
        } catch (const std::logic_error&) {
            usage(("not a number: " + value).c_str());
        }
    }
    if (options.length == 0) {
        usage("--length must be at least 1");
    }
    return options;
}

// --- Simulated reads -------------------------------------------------------

constexpr std::uint32_t samples_per_base = 5;
// Reads are passed in batches of about this many samples: the client's
// default block size, the most one batch message carries.
constexpr std::uint64_t samples_per_batch = 256000;

std::int16_t base_level(char base) {
    switch (base) {
    case 'A': return 300;
    case 'C': return 500;
    case 'G': return 700;
    default: return 900;  // T
    }
}

struct Simulated {
    std::string read_id;
    std::string sequence;
    std::vector<std::int16_t> samples;
};

// Making the signal is this program's stand-in for reading it from a file,
// so it should cost little next to the client's own work: a small, fast
// generator (xorshift64*) whose every 64-bit draw gives four 16-bit values,
// each the choice of a base or the noise of a sample.
class FastRandom {
public:
    explicit FastRandom(std::uint64_t seed) : m_state((seed ^ 0x9e3779b97f4a7c15ULL) | 1) {}
    std::uint64_t operator()() {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545f4914f6cdd1dULL;
    }

private:
    std::uint64_t m_state;  // never 0
};

Simulated simulate(FastRandom& random, std::uint64_t index, std::uint32_t length) {
    static const char bases[] = "ACGT";
    Simulated read;
    read.read_id = "sim_read_" + std::to_string(index);
    read.sequence.resize(length);
    read.samples.resize(std::size_t{length} * samples_per_base);
    std::uint64_t bits = 0;
    int bits_left = 0;
    const auto draw16 = [&] {
        if (bits_left == 0) {
            bits = random();
            bits_left = 4;
        }
        const auto value = static_cast<std::uint32_t>(bits & 0xffff);
        bits >>= 16;
        --bits_left;
        return value;
    };
    std::int16_t* sample = read.samples.data();
    for (std::uint32_t i = 0; i < length; ++i) {
        const char next = bases[draw16() % 4];
        read.sequence[i] = next;
        for (std::uint32_t s = 0; s < samples_per_base; ++s) {
            // draw16() scaled into 0..60, so the noise is -30..30.
            const int noise = static_cast<int>((draw16() * 61) >> 16) - 30;
            *sample++ = static_cast<std::int16_t>(base_level(next) + noise);
        }
    }
    return read;
}

// A read handle with what every server needs: the raw signal and the
// acquisition metadata (offset and scaling to picoamperes, sampling rate,
// start time). The signal is moved into the read, not copied.
apps::Read to_read(Simulated& simulated, std::uint64_t tag) {
    apps::Read read;
    read.set_read_tag(tag);
    read.get_datasets().emplace(dw::raw_data, dw::DataSetData(std::move(simulated.samples)));
    auto metadata = read.get_metadata();
    metadata.set<std::string>("read_data::read_id", simulated.read_id);
    metadata.set<float>("read_data::daq_offset", 0.0f);
    metadata.set<float>("read_data::daq_scaling", 0.1f);
    metadata.set<float>("read_data::sampling_rate", 5000.0f);
    metadata.set<std::uint64_t>("read_data::start_time", 1000 * tag);
    metadata.set<std::int32_t>("read_data::channel", static_cast<std::int32_t>(1 + tag % 512));
    metadata.set<std::int32_t>("read_data::mux", 1);
    metadata.set<std::string>("read_data::run_id", "example_run");
    return read;
}

// --- A private reference server --------------------------------------------

class PrivateServer {
public:
    explicit PrivateServer(const std::filesystem::path& program) {
        m_folder = std::filesystem::temp_directory_path() / ("corvane_example_" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_folder);
        m_address = "ipc://" + (m_folder / "server.sock").string();
        m_pid = ::fork();
        if (m_pid == 0) {
            // Keep the server's own messages out of this program's output.
            const int null_output = ::open("/dev/null", O_WRONLY);
            if (null_output >= 0) {
                ::dup2(null_output, STDOUT_FILENO);
            }
            const std::string path = program.string();
            ::execl(path.c_str(), path.c_str(), "--listen", m_address.c_str(), "--verbosity", "0",
                    static_cast<char*>(nullptr));
            std::cerr << "corvane_basecall_example: cannot start " << path << "\n";
            std::_Exit(127);
        }
    }
    ~PrivateServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    const std::string& address() const { return m_address; }
    bool started() const { return m_pid > 0; }

private:
    std::filesystem::path m_folder;
    std::string m_address;
    pid_t m_pid = -1;
};

std::filesystem::path reference_server_program(const char* argv0) {
    const auto folder = std::filesystem::absolute(argv0).parent_path();
    const auto beside = folder / "reference_server";
    if (std::filesystem::is_regular_file(beside)) {
        return beside;
    }
    // The build tree keeps the server in a folder of its own.
    const auto in_build = folder / "reference_server" / "reference_server";
    return std::filesystem::is_regular_file(in_build) ? in_build : beside;
}

// --- Output ----------------------------------------------------------------

struct Summary {
    std::uint64_t reads_in = 0;
    std::uint64_t with_results = 0;
    std::uint64_t without_results = 0;
    std::uint64_t identical = 0;
};

void write_read(std::ostream& out, const apps::Read& read, const std::string& format) {
    if (format == "sam") {
        for (const auto& line : read.extract_sam_and_bed_lines(100.0f)) {
            out << line.sam_line << "\n";
        }
        return;
    }
    const auto& datasets = read.get_datasets();
    out << read.extract_fastq_header_line(false) << "\n"
        << datasets.at(dw::sequence).string_value() << "\n+\n"
        << datasets.at(dw::qstring).string_value() << "\n";
}

// Writes each finished read and checks it against the sequence its signal
// was made from.
void collect(apps::Corvane& client, std::ostream& out, const Options& options,
             std::unordered_map<std::string, std::string>& truth, Summary& summary) {
    std::vector<std::vector<apps::Read>> groups;
    client.get_completed_reads(groups);
    for (const auto& group : groups) {
        for (const apps::Read& read : group) {
            const std::string* id = read.get_metadata().get<std::string>("read_data::read_id");
            const auto& datasets = read.get_datasets();
            const auto sequence = datasets.find(dw::sequence);
            if (sequence == datasets.end()) {
                // The server gave up on this read (for example after repeated restarts).
                ++summary.without_results;
                continue;
            }
            ++summary.with_results;
            if (const auto known = id ? truth.find(*id) : truth.end();
                known != truth.end() && known->second == sequence->second.string_value()) {
                ++summary.identical;
                truth.erase(known);
            }
            write_read(out, read, options.format);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);

    // 1. The server: the one named, or a private reference server.
    std::unique_ptr<PrivateServer> server;
    std::string address = options.server;
    if (address.empty()) {
        server = std::make_unique<PrivateServer>(reference_server_program(argv[0]));
        if (!server->started()) {
            std::cerr << "corvane_basecall_example: could not start the reference server\n";
            return 1;
        }
        address = server->address();
    }

    // 2. A client for that server and configuration. Parameters are set
    //    while disconnected; unknown keys are simply forwarded.
    apps::Corvane client(address, options.config);
    vesk::data_wrappers::v3::Metadata params;
    params.set<std::string>("client_name", "basecall_example");
    params.set<std::uint32_t>("reconnect_timeout", 30);  // seconds to keep retrying a lost server
    params.set<std::uint64_t>("max_reads_queued", 50);
    if (client.set_params(params) != apps::Result::success) {
        std::cerr << "corvane_basecall_example: parameters refused\n";
        return 1;
    }

    // 3. Connect: blocks until registered, or the server was given up on.
    const apps::Result connected = client.connect();
    if (connected != apps::Result::success) {
        std::cerr << "corvane_basecall_example: connect failed: " << connected << " " << client.get_error_message()
                  << "\n";
        return 1;
    }
    apps::ConnectedServerInfo info;
    client.get_connected_server_info(info);
    std::cerr << "connected to " << address << " (server " << info.server_version << ", id " << info.connection_id
              << ")\n";

    std::ofstream file;
    if (!options.output.empty()) {
        file.open(options.output);
        if (!file) {
            std::cerr << "corvane_basecall_example: cannot write " << options.output << "\n";
            return 1;
        }
    }
    std::ostream& out = options.output.empty() ? std::cout : file;
    if (options.format == "sam") {
        std::string header;
        client.get_alignment_sam_header(header);
        out << "@HD\tVN:1.6\tSO:unknown\n" << header;
    }

    // 4. Pass reads in batches, with back-pressure. A batch travels to the
    //    server in as few messages as its size allows and comes back
    //    together, so the client and the server exchange far fewer messages
    //    than with one read at a time. queue_full means the input queue
    //    stayed full for the timeout: collect what is done and try again.
    FastRandom random(options.seed);
    std::unordered_map<std::string, std::string> truth;
    Summary summary;
    const auto start = std::chrono::steady_clock::now();
    auto last_progress = start;
    std::uint64_t samples_in = 0;
    std::vector<apps::Read> batch;
    std::uint64_t batch_samples = 0;
    for (std::uint64_t i = 0; i < options.reads; ++i) {
        Simulated simulated = simulate(random, i, options.length);
        batch_samples += simulated.samples.size();
        truth[simulated.read_id] = std::move(simulated.sequence);
        batch.push_back(to_read(simulated, i + 1));
        if (batch_samples < samples_per_batch && i + 1 < options.reads) {
            continue;
        }
        const std::size_t passed = batch.size();
        apps::PassReadResult result;
        while ((result = client.pass_reads(batch, 100)) == apps::PassReadResult::queue_full) {
            collect(client, out, options, truth, summary);
        }
        if (result != apps::PassReadResult::success) {
            std::cerr << "corvane_basecall_example: a batch of " << passed << " reads was refused: " << result << "\n";
            break;
        }
        summary.reads_in += passed;
        samples_in += batch_samples;
        batch.clear();
        batch_samples = 0;
        collect(client, out, options, truth, summary);

        const auto now = std::chrono::steady_clock::now();
        if (now - last_progress >= std::chrono::seconds(1)) {
            const double seconds = std::chrono::duration<double>(now - start).count();
            std::cerr << "passed " << summary.reads_in << " reads, " << summary.with_results << " called, "
                      << static_cast<std::uint64_t>(summary.reads_in / seconds) << " reads/s, "
                      << static_cast<std::uint64_t>(samples_in / seconds) << " samples/s\n";
            last_progress = now;
        }
    }

    // 5. Finish: no more reads; wait (here up to 60 s) until all are back.
    const apps::Result finished = client.finish(60);
    collect(client, out, options, truth, summary);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << "finish: " << finished << "\n"
              << "summary: reads in " << summary.reads_in << ", out with results " << summary.with_results
              << ", out without results " << summary.without_results << ", identical sequences " << summary.identical
              << " (" << seconds << " s)\n";
    const bool all_identical = summary.identical == summary.reads_in;
    return finished == apps::Result::success && all_identical ? 0 : 1;
}
