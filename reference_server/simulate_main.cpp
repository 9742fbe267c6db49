// corvane_simulate: simulated reads with their true sequences, as JSON lines
// (simulated_read_json.h), for testing applications against the reference
// server. The same arguments give the same reads.

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "apps/command_line/command_line.h"
#include "reference_server/model/read_simulator.h"
#include "reference_server/model/simulated_read_json.h"

namespace {

void print_usage(std::ostream& out) {
    out << "usage: corvane_simulate --reads N --length L [--seed S] [--reference FASTA]\n"
           "                        [--stride K] [--split-fraction F] [--duplex-fraction F]\n"
           "                        [--max-dwell D] [--noise B] [--rna] [--vary-length]\n"
           "                        [-o FILE]\n"
           "\n"
           "  --reads N            number of reads\n"
           "  --length L           bases per read (per strand of a duplex read)\n"
           "  --vary-length        each read L - L/2 .. L + L/2 bases (uniform, mean L)\n"
           "  --seed S             seed of the run (default 1)\n"
           "  --reference FASTA    draw reads from these sequences (random position and strand)\n"
           "  --stride K           samples per window (default 5)\n"
           "  --split-fraction F   share of reads with an open-pore gap inside (default 0)\n"
           "  --duplex-fraction F  share of reads that are a strand and its reverse complement\n"
           "  --max-dwell D        windows a base may last, 1..D (default 1)\n"
           "  --noise B            noise bound, 0..49 (default 30)\n"
           "  --rna                U instead of T\n"
           "  -o FILE              write to FILE instead of standard output\n";
}

[[noreturn]] void usage_error(const std::string& message) {
    std::cerr << "corvane_simulate: " << message << "\n";
    print_usage(std::cerr);
    std::exit(2);
}

template <typename Number>
Number number_of(const std::string& option, const std::string& text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw apps::UsageError(option + " takes a number, not \"" + text + "\"");
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    reference_server::SimulationOptions options;
    std::uint64_t reads = 0;
    bool have_reads = false;
    bool have_length = false;
    std::string reference_path;
    std::string output_path;
    bool help = false;
    apps::CommandLine line;
    const auto number = [&line]<typename Number>(const char* name, Number& out, bool* given = nullptr) {
        line.option(name, [name, &out, given](const std::string& value) {
            out = number_of<Number>(name, value);
            if (given != nullptr) {
                *given = true;
            }
        });
    };
    number("--reads", reads, &have_reads);
    number("--length", options.length, &have_length);
    number("--seed", options.seed);
    number("--stride", options.stride);
    number("--split-fraction", options.split_fraction);
    number("--duplex-fraction", options.duplex_fraction);
    number("--max-dwell", options.max_dwell);
    number("--noise", options.noise_bound);
    line.option("--reference", [&](const std::string& value) { reference_path = value; });
    line.option("-o", [&](const std::string& value) { output_path = value; });
    line.flag("--rna", [&] { options.rna = true; });
    line.flag("--vary-length", [&] { options.vary_length = true; });
    line.flag("--help", [&] { help = true; });
    line.flag("-h", [&] { help = true; });
    try {
        line.parse(argc, argv);
    } catch (const apps::UsageError& error) {
        usage_error(error.what());
    }
    if (help) {
        print_usage(std::cout);
        return 0;
    }
    if (!have_reads || !have_length) {
        usage_error("--reads and --length are required");
    }

    try {
        std::vector<reference_server::FastaRecord> reference;
        if (!reference_path.empty()) {
            reference = reference_server::load_fasta(reference_path);
        }
        reference_server::ReadSimulator simulator(options, std::move(reference));
        std::ofstream file;
        if (!output_path.empty()) {
            file.open(output_path, std::ios::binary | std::ios::trunc);
            if (!file) {
                std::cerr << "corvane_simulate: cannot write " << output_path << "\n";
                return 1;
            }
        }
        std::ostream& out = output_path.empty() ? std::cout : file;
        for (std::uint64_t i = 0; i < reads; ++i) {
            out << reference_server::to_json_line(simulator.next()) << '\n';
        }
        out.flush();
        if (!out) {
            std::cerr << "corvane_simulate: writing the reads failed\n";
            return 1;
        }
    } catch (const std::exception& error) {
        std::cerr << "corvane_simulate: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
