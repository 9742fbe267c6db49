#pragma once

// One chaos run: a public client passes simulated reads through the
// reference server while a seeded driver makes the server misbehave
// (restarts that forget every client, NOT_READY answers to pushes, replies
// stalled past the query timeout but within the reconnect deadline, lost
// reads), and
// the figures of the invariant come back: every read passed in leaves the
// client exactly once, and every read with results carries the sequence
// its signal was simulated from.
//
// Shared by the chaos test (a fixed seed, a few seconds) and the
// corvane_chaos program behind scripts/chaos.sh (random seeds, longer).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "apps/client/corvane.h"
#include "data_wrappers/dataset.h"
#include "reference_server/protocol/reference_server.h"
#include "reference_server/model/signal_model.h"

namespace test_support {

struct ChaosFigures {
    std::uint64_t reads_in = 0;
    std::uint64_t with_results = 0;
    std::uint64_t without_results = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t lost = 0;            // passed in, never came back
    std::uint64_t wrong_sequences = 0;  // came back with a sequence other than its own
    std::uint64_t faults = 0;           // faults the driver injected
    std::string error;                  // why the run could not complete, if it could not
};

struct ChaosOptions {
    std::uint64_t seed = 1;
    std::uint64_t reads = 200;
    std::filesystem::path folder;  // for the server's ipc:// endpoint
};

namespace chaos_detail {

namespace dw = vesk::data_wrappers::v2;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;

// Applies one seeded fault each time the server has answered a seeded
// number of further requests.
inline void drive_faults(reference_server::ReferenceServer& server, std::uint64_t seed, std::atomic<bool>& done,
                         std::uint64_t& faults) {
    std::mt19937_64 random(seed ^ 0x9e3779b97f4a7c15ULL);
    std::uint64_t next = server.requests_answered() + 30;
    while (!done.load()) {
        if (server.requests_answered() < next) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ++faults;
        switch (random() % 5) {
        case 0:
            server.faults().restart_after(1 + random() % 5);
            break;
        case 1:
            server.faults().add({random() % 2 ? MessageType::PASS_READ_BATCH : MessageType::PASS_FIRST_RAW_BLOCK,
                                 FaultAction::reply, MessageType::NOT_READY, "", 0,
                                 static_cast<std::uint32_t>(1 + random() % 3)});
            break;
        case 2:
            // Longer than a reply wait (four polls of the 500 ms query
            // timeout), far shorter than the reconnect deadline.
            server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::delay, MessageType::UNSET, "",
                                 static_cast<std::uint32_t>(2100 + random() % 900), 1});
            break;
        case 3:
            // The server drops the client's reads and says so: they come back without results.
            server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::lose_reads, MessageType::UNSET, "", 0, 1});
            break;
        default:
            server.faults().add({MessageType::HEARTBEAT_PING, FaultAction::delay, MessageType::UNSET, "",
                                 static_cast<std::uint32_t>(100 + random() % 300), 1});
            break;
        }
        next = server.requests_answered() + 20 + random() % 60;
    }
}

inline std::string random_sequence(std::mt19937_64& random, std::size_t length) {
    static const char bases[] = "ACGT";
    std::string sequence(length, 'A');
    for (char& base : sequence) {
        base = bases[random() % 4];
    }
    return sequence;
}

}  // namespace chaos_detail

// A read handle for `sequence` under read_tag, its signal simulated by the
// reference server's model (seeded by the read id), with the metadata the
// read check asks for.
// A read of the given signal, with the metadata every read needs.
inline apps::Read read_of_signal(std::uint64_t read_tag, const std::string& read_id, std::vector<std::int16_t> signal) {
    namespace dw = vesk::data_wrappers::v2;
    apps::Read read;
    read.set_read_tag(read_tag);
    read.get_datasets().emplace(dw::raw_data, dw::DataSetData(std::move(signal)));
    auto metadata = read.get_metadata();
    metadata.set<std::string>("read_data::read_id", read_id);
    metadata.set<float>("read_data::daq_offset", 0.0f);
    metadata.set<float>("read_data::daq_scaling", 0.1f);
    metadata.set<float>("read_data::sampling_rate", 5000.0f);
    metadata.set<std::uint64_t>("read_data::start_time", 1000 + read_tag);
    return read;
}

inline apps::Read simulated_read(std::uint64_t read_tag, const std::string& read_id, const std::string& sequence) {
    return read_of_signal(read_tag, read_id,
                          reference_server::simulate_signal(sequence, {}, reference_server::seed_of(read_id)));
}

inline ChaosFigures run_chaos(const ChaosOptions& options) {
    using namespace chaos_detail;
    ChaosFigures figures;
    reference_server::ReferenceServer server;
    const std::string endpoint = server.start("ipc://" + (options.folder / "chaos.sock").string());

    apps::Corvane client(endpoint, "ref_dna_fast");
    vesk::data_wrappers::v3::Metadata params;
    params.set<std::uint32_t>("query_timeout", 500);
    params.set<std::uint32_t>("reconnect_timeout", 30);
    params.set<std::uint64_t>("max_message_size", 20000);  // longer reads go as raw blocks
    params.set<std::uint64_t>("max_reads_queued", 8);
    params.set<std::uint64_t>("max_server_read_failures", 1000);
    client.set_params(params);
    if (client.connect() != apps::Result::success) {
        figures.error = "connect: " + client.get_error_message();
        return figures;
    }

    std::atomic<bool> done{false};
    std::thread driver([&] { drive_faults(server, options.seed, done, figures.faults); });

    std::mt19937_64 random(options.seed);
    std::map<std::string, std::string> truth;  // read id -> simulated sequence
    std::map<std::string, int> seen;
    auto collect = [&] {
        std::vector<std::vector<apps::Read>> groups;
        client.get_completed_reads(groups);
        for (auto& group : groups) {
            for (auto& read : group) {
                if (read.get_sub_tag() != 0) {
                    continue;  // pieces of a split read; the parent carries the whole call
                }
                const std::string* id = read.get_metadata().get<std::string>("read_data::read_id");
                const std::string key = id ? *id : std::string();
                if (++seen[key] > 1) {
                    ++figures.duplicates;
                    continue;
                }
                const auto& datasets = read.get_datasets();
                const auto sequence = datasets.find(dw::sequence);
                if (sequence == datasets.end()) {
                    ++figures.without_results;
                    continue;
                }
                ++figures.with_results;
                if (truth[key] != sequence->second.string_value()) {
                    ++figures.wrong_sequences;
                }
            }
        }
    };

    for (std::uint64_t i = 0; i < options.reads; ++i) {
        const std::size_t length = (random() % 10 == 0) ? 5000 + random() % 3000 : 50 + random() % 800;
        const std::string read_id = "chaos_" + std::to_string(options.seed) + "_" + std::to_string(i);
        truth[read_id] = random_sequence(random, length);
        apps::Read read = simulated_read(i + 1, read_id, truth[read_id]);
        apps::PassReadResult result;
        while ((result = client.pass_read(read, 50)) == apps::PassReadResult::queue_full) {
            collect();
        }
        if (result != apps::PassReadResult::success) {
            truth.erase(read_id);
            figures.error = "pass_read: " + apps::to_string(result) + " " + client.get_error_message();
            break;
        }
        ++figures.reads_in;
        collect();
    }
    done = true;
    driver.join();
    server.faults().clear();
    const apps::Result finished = client.finish(120);
    collect();
    if (finished != apps::Result::success && figures.error.empty()) {
        figures.error = "finish: " + apps::to_string(finished) + " " + client.get_error_message();
    }
    for (const auto& [id, sequence] : truth) {
        if (seen.count(id) == 0) {
            ++figures.lost;
        }
    }
    return figures;
}

}  // namespace test_support
