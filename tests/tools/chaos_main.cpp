// corvane_chaos SECONDS SEED: chaos runs with seeds SEED, SEED+1, ... until
// SECONDS have passed; prints each run's figures and the totals, and exits
// non-zero when any read was lost, duplicated or came back wrong.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "common/runtime/logger.h"
#include "support/chaos_run.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: corvane_chaos SECONDS SEED\n";
        return 2;
    }
    const auto seconds = std::chrono::seconds(std::stoll(argv[1]));
    std::uint64_t seed = std::stoull(argv[2]);
    common::logging::initialise_logging();
    const auto folder = std::filesystem::temp_directory_path() / ("corvane_chaos_" + std::to_string(seed));
    std::filesystem::create_directories(folder);

    test_support::ChaosFigures total;
    std::uint64_t runs = 0;
    bool failed = false;
    const auto end = std::chrono::steady_clock::now() + seconds;
    do {
        const auto figures = test_support::run_chaos({seed, 300, folder});
        std::cout << "seed " << seed << ": reads in " << figures.reads_in << ", out with results "
                  << figures.with_results << ", out without " << figures.without_results << ", duplicates "
                  << figures.duplicates << ", lost " << figures.lost << ", wrong sequences "
                  << figures.wrong_sequences << ", faults " << figures.faults
                  << (figures.error.empty() ? "" : ", error: " + figures.error) << std::endl;
        failed = failed || !figures.error.empty() || figures.duplicates || figures.lost || figures.wrong_sequences ||
                 figures.with_results + figures.without_results != figures.reads_in;
        total.reads_in += figures.reads_in;
        total.with_results += figures.with_results;
        total.without_results += figures.without_results;
        total.duplicates += figures.duplicates;
        total.lost += figures.lost;
        total.wrong_sequences += figures.wrong_sequences;
        total.faults += figures.faults;
        ++runs;
        ++seed;
    } while (std::chrono::steady_clock::now() < end);
    std::filesystem::remove_all(folder);
    std::cout << "total over " << runs << " runs: reads in " << total.reads_in << ", out with results "
              << total.with_results << ", out without " << total.without_results << ", duplicates " << total.duplicates
              << ", lost " << total.lost << ", wrong sequences " << total.wrong_sequences << ", faults "
              << total.faults << std::endl;
    return failed ? 1 : 0;
}
