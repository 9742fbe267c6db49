// corvane_simulate: simulated reads with their true sequences, as JSON lines
// (simulated_read_json.h), for testing applications against the reference
// server. The same arguments give the same reads.

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

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
        usage_error(option + " takes a number, not \"" + text + "\"");
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
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage_error(argument + " needs a value");
            }
            return argv[++i];
        };
        if (argument == "--reads") {
            reads = number_of<std::uint64_t>(argument, value());
            have_reads = true;
        } else if (argument == "--length") {
            options.length = number_of<std::uint32_t>(argument, value());
            have_length = true;
        } else if (argument == "--seed") {
            options.seed = number_of<std::uint64_t>(argument, value());
        } else if (argument == "--reference") {
            reference_path = value();
        } else if (argument == "--stride") {
            options.stride = number_of<std::uint32_t>(argument, value());
        } else if (argument == "--split-fraction") {
            options.split_fraction = number_of<double>(argument, value());
        } else if (argument == "--duplex-fraction") {
            options.duplex_fraction = number_of<double>(argument, value());
        } else if (argument == "--max-dwell") {
            options.max_dwell = number_of<std::uint32_t>(argument, value());
        } else if (argument == "--noise") {
            options.noise_bound = number_of<std::int16_t>(argument, value());
        } else if (argument == "--rna") {
            options.rna = true;
        } else if (argument == "--vary-length") {
            options.vary_length = true;
        } else if (argument == "-o") {
            output_path = value();
        } else if (argument == "--help" || argument == "-h") {
            print_usage(std::cout);
            return 0;
        } else {
            usage_error("unknown argument " + argument);
        }
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
