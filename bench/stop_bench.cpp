// How long disconnect() takes in each state a server can leave a client
// waiting in, next to an idle connected client's disconnect() in the same
// run. The reply wait is the default 2,000 ms query timeout (up to four such
// polls), so a stop that waited for the server would take seconds; a prompt
// one takes a few slices of the broker's wait.
//
//   stop_bench [rounds]
//
// Each state is reached afresh per round, against its own reference server
// over ipc://; the median and the largest of the rounds are printed, in
// milliseconds, with the median's ratio to the idle client's. The last row
// is finish(1) while the server holds its reply: one second of waiting for
// the reads, then the stop.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "apps/client/corvane.h"
#include "common/runtime/logger.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/dataset.h"
#include "reference_server/protocol/reference_server.h"
#include "support/raw_reads.h"
#include "support/temp_dir.h"

namespace {

using apps::ConnectionStatus;
using apps::Corvane;
using Clock = std::chrono::steady_clock;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;
using Metadata = vesk::data_wrappers::v3::Metadata;

constexpr std::uint32_t held_reply_ms = 60000;

apps::Read a_read(std::uint64_t tag) {
    apps::Read read;
    read.get_readholder() = test_support::raw_read(tag, 2000);
    return read;
}

FaultRule hold(MessageType request) { return {request, FaultAction::stall, MessageType::UNSET, "", held_reply_ms, 1}; }

// Polls until the state is reached, within 30 s.
void wait_for(const std::function<bool()>& condition, const std::string& what) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            throw std::runtime_error("stop_bench: never reached " + what);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

struct State {
    const char* name;
    // Brings a client into the state; the client is connected unless the
    // state is its connecting.
    std::function<void(reference_server::ReferenceServer&, Corvane&)> reach;
    bool connect_in_background = false;  // connect() runs on its own thread and is stopped there
    bool slow_config = false;
    bool no_server = false;
    bool by_finish = false;
};

double measure(const State& state) {
    test_support::TempDir folder;
    auto settings = reference_server::default_settings();
    if (state.slow_config) {
        settings.configurations[0].load_delay_ms = 600000;
    }
    reference_server::ReferenceServer server(settings);
    std::string endpoint = server.start(folder.ipc_endpoint());
    if (state.no_server) {
        server.stop();
        endpoint = folder.ipc_endpoint("nobody");
    }
    auto client = std::make_unique<Corvane>(endpoint, "ref_dna_fast");
    Metadata params;
    params.set<std::uint32_t>("reconnect_timeout", 300);
    client->set_params(params);
    std::thread connecting;
    if (state.connect_in_background) {
        connecting = std::thread([&] { client->connect(); });
        wait_for([&] { return client->get_status() != ConnectionStatus::disconnected; }, "the connecting");
    } else if (client->connect() != apps::Result::success) {
        throw std::runtime_error("stop_bench: could not connect");
    }
    state.reach(server, *client);

    const auto start = Clock::now();
    if (state.by_finish) {
        client->finish(1);
    } else {
        client->disconnect();
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (connecting.joinable()) {
        connecting.join();
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(std::stoi(argv[1]), 1) : 5;
    common::logging::initialise_logging();
    const auto pass_one = [](Corvane& client) {
        std::vector<apps::Read> reads;
        reads.push_back(a_read(1));
        if (client.pass_reads(reads, 1000) != apps::PassReadResult::success) {
            throw std::runtime_error("stop_bench: the read was refused");
        }
    };
    const auto until_held = [](reference_server::ReferenceServer& server) {
        wait_for([&] { return server.faults().rule_count() == 0; }, "the held reply");
    };
    const std::vector<State> states = {
        {"idle, connected", [](reference_server::ReferenceServer&, Corvane&) {}},
        {"heartbeat held",
         [&](reference_server::ReferenceServer& server, Corvane&) {
             server.faults().add(hold(MessageType::HEARTBEAT_PING));
             until_held(server);
         }},
        {"push held",
         [&](reference_server::ReferenceServer& server, Corvane& client) {
             server.faults().add(hold(MessageType::PASS_READ_BATCH));
             pass_one(client);
             until_held(server);
         }},
        {"pull held",
         [&](reference_server::ReferenceServer& server, Corvane& client) {
             server.faults().add(hold(MessageType::GET_FIRST_CALLED_BLOCK));
             pass_one(client);
             until_held(server);
         }},
        {"connect, no server", [](reference_server::ReferenceServer&, Corvane&) {}, true, false, true},
        {"connect, server loading",
         [](reference_server::ReferenceServer&, Corvane& client) {
             wait_for([&] { return client.get_status() == ConnectionStatus::loading_config; }, "the loading");
         },
         true, true},
        {"finish(1), pull held",
         [&](reference_server::ReferenceServer& server, Corvane& client) {
             server.faults().add(hold(MessageType::GET_FIRST_CALLED_BLOCK));
             pass_one(client);
             until_held(server);
         },
         false, false, false, true},
    };

    std::cout << "disconnect() latency, query timeout 2000 ms, " << rounds << " rounds\n";
    std::cout << std::left << std::setw(26) << "state" << std::right << std::setw(12) << "median ms" << std::setw(12)
              << "max ms" << std::setw(14) << "x idle" << "\n";
    double idle = 0.0;
    for (const State& state : states) {
        std::vector<double> times;
        for (int round = 0; round < rounds; ++round) {
            times.push_back(measure(state));
        }
        std::sort(times.begin(), times.end());
        const double median = times[times.size() / 2];
        if (idle == 0.0) {
            idle = median;
        }
        std::cout << std::left << std::setw(26) << state.name << std::right << std::fixed << std::setprecision(1)
                  << std::setw(12) << median << std::setw(12) << times.back() << std::setw(14) << median / idle
                  << std::endl;
    }
    return 0;
}
