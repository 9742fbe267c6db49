// The public client's own per-read cost for 4,000-sample reads against an
// in-process reference server over ipc:// (zero calling latency): the
// baseline the Python module's per-read figures are set against.
//
//   facade_read_cost [reads_per_batch] [repeats]
//
// Prints four lines, each the median over the repeats, in microseconds:
//   pass     pass_reads of a whole batch, per read
//   collect  get_completed_reads once every read of the batch has come back
//            from the server, and freeing what it returned, per read
// and the same two as CPU time of the calling thread (pass_cpu,
// collect_cpu), which a loaded machine disturbs far less than wall time.
// bench/python/conversion_bench.py runs it and measures the same two calls
// through the Python module on the same kind of reads.
//
// Under valgrind --tool=callgrind --collect-atstart=no the calling thread's
// instructions in each call are counted and dumped once per repeat, labelled
// "pass", "collect" and "free" (freeing what was collected), a whole batch
// each (see support/callgrind_marks.h).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <time.h>
#include <unistd.h>

#include "apps/client/corvane.h"
#include "common/runtime/logger.h"
#include "data_wrappers/dataset.h"
#include "reference_server/protocol/reference_server.h"
#include "support/callgrind_marks.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using Clock = std::chrono::steady_clock;

constexpr std::size_t samples_per_read = 4000;

// Samples below the open-pore level, so that no read is split into pieces:
// one read out per read in, as in the Python benchmark.
apps::Read make_read(std::uint64_t tag, std::mt19937& random) {
    std::uniform_int_distribution<int> sample(-1000, 999);
    std::vector<std::int16_t> signal(samples_per_read);
    for (auto& value : signal) {
        value = static_cast<std::int16_t>(sample(random));
    }
    apps::Read read;
    read.set_read_tag(tag);
    read.get_datasets().emplace(dw::raw_data, dw::DataSetData(std::move(signal)));
    auto metadata = read.get_metadata();
    metadata.set<std::string>("read_data::read_id", "r" + std::to_string(tag));
    metadata.set<float>("read_data::daq_offset", 0.0f);
    metadata.set<float>("read_data::daq_scaling", 1.0f);
    metadata.set<float>("read_data::sampling_rate", 4000.0f);
    metadata.set<std::uint64_t>("read_data::start_time", 0);
    return read;
}

// Reads waiting in the client's output queue, from its state report.
std::size_t reads_out(apps::Corvane& client) {
    const std::string state = client.get_internal_state();
    const std::string label = "\"m_reads_out (output queue of reads from server)\":";
    const auto at = state.find(label);
    return at == std::string::npos ? 0 : std::stoul(state.substr(at + label.size()));
}

double thread_cpu_us() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t batch = argc > 1 ? std::stoul(argv[1]) : 200;
    const std::size_t repeats = argc > 2 ? std::stoul(argv[2]) : 7;
    common::logging::initialise_logging();
    reference_server::ReferenceServer server;
    const std::string endpoint = server.start(
        "ipc://" + (std::filesystem::temp_directory_path() /
                    ("facade_read_cost_" + std::to_string(::getpid()) + ".sock")).string());

    apps::Corvane client(endpoint, "ref_dna_fast");
    vesk::data_wrappers::v3::Metadata params;
    params.set<std::uint64_t>("max_reads_queued", batch);
    client.set_params(params);
    if (client.connect() != apps::Result::success) {
        std::cerr << "facade_read_cost: connect failed: " << client.get_error_message() << "\n";
        return 1;
    }
    std::mt19937 random(1);
    std::vector<double> pass_us;
    std::vector<double> collect_us;
    std::vector<double> pass_cpu_us;
    std::vector<double> collect_cpu_us;
    std::uint64_t next_tag = 0;
    for (std::size_t r = 0; r < repeats; ++r) {
        std::vector<apps::Read> reads;
        for (std::size_t i = 0; i < batch; ++i) {
            reads.push_back(make_read(next_tag++, random));
        }
        auto start = Clock::now();
        double cpu_start = thread_cpu_us();
        bench_support::callgrind::count_on();
        const apps::PassReadResult passed = client.pass_reads(reads, 10000);
        bench_support::callgrind::count_off();
        bench_support::callgrind::dump("pass");
        if (passed != apps::PassReadResult::success) {
            std::cerr << "facade_read_cost: pass_reads refused the batch\n";
            return 1;
        }
        pass_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                          static_cast<double>(batch));
        pass_cpu_us.push_back((thread_cpu_us() - cpu_start) / static_cast<double>(batch));
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (reads_out(client) < batch && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // polling interval
        }
        std::vector<std::vector<apps::Read>> done;
        start = Clock::now();
        cpu_start = thread_cpu_us();
        bench_support::callgrind::count_on();
        client.get_completed_reads(done);
        bench_support::callgrind::count_off();
        bench_support::callgrind::dump("collect");
        const std::size_t returned = done.size();
        bench_support::callgrind::count_on();
        done.clear();  // the Python module frees the reads inside its call too
        bench_support::callgrind::count_off();
        bench_support::callgrind::dump("free");
        collect_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                             static_cast<double>(batch));
        collect_cpu_us.push_back((thread_cpu_us() - cpu_start) / static_cast<double>(batch));
        if (returned != batch) {
            std::cerr << "facade_read_cost: " << returned << " of " << batch << " reads came back\n";
            return 1;
        }
    }
    client.finish(10);
    std::cout << "pass " << median(pass_us) << "\ncollect " << median(collect_us) << "\npass_cpu "
              << median(pass_cpu_us) << "\ncollect_cpu " << median(collect_cpu_us) << "\n";
    return 0;
}
