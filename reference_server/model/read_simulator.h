#pragma once

// Simulated reads: a true sequence, its signal under the signal model and
// the acquisition metadata a client sends with it. Read i of a simulator is
// a function of the seed and i alone, so runs are reproducible and a read
// can be made again without the reads before it.
//
// A read's sequence is random, or drawn from reference sequences (a random
// stretch of a record chosen in proportion to its length, on a random
// strand; letters other than A, C, G, T become seeded random bases). A split
// read has two pieces separated by an open-pore gap; a duplex read is a
// template, a gap and the template's reverse complement.
//
// Not synchronised: one thread per simulator.

#include <cstdint>
#include <string>
#include <vector>

#include "reference_server/model/fasta_reader.h"
#include "reference_server/model/signal_model.h"

namespace reference_server {

struct SimulatedRead {
    std::string read_id;
    std::string sequence;             // the true sequence: the pieces joined
    std::vector<std::string> pieces;  // one, or two for a split or duplex read
    bool duplex = false;              // pieces are a template and its reverse complement
    std::string source;               // "name:start-end:strand" when drawn from a reference
    SignalOptions signal;             // how the samples were made (lead_in, gap, stride)
    std::vector<std::int16_t> samples;

    float sampling_rate = 5000.0f;
    float daq_offset = 0.0f;
    float daq_scaling = 0.1f;  // raw units to pA
    std::uint64_t start_time = 0;
    std::int32_t channel = 1;
    std::int32_t mux = 1;
    std::string run_id;
};

struct SimulationOptions {
    std::uint64_t seed = 1;
    std::uint32_t length = 1000;  // bases per read (per piece of a duplex read)
    std::uint32_t stride = 5;
    std::uint32_t max_lead_in = 200;  // each read's lead-in: 0 .. max_lead_in samples, seeded
    std::uint32_t gap = 50;
    std::int16_t noise_bound = 30;
    std::uint32_t max_dwell = 1;
    double split_fraction = 0.0;   // share of reads split in two pieces
    double duplex_fraction = 0.0;  // share of reads that are duplex pairs
    bool rna = false;              // U instead of T
    std::string run_id = "simulated_run";
    std::int32_t channels = 512;
    // Each read's length drawn uniformly from length - length/2 ..
    // length + length/2, so that lengths vary around a mean of `length`.
    bool vary_length = false;
};

class ReadSimulator {
public:
    // Throws std::invalid_argument for options the signal model refuses, a
    // fraction outside 0..1 or fractions adding up to more than 1.
    explicit ReadSimulator(SimulationOptions options, std::vector<FastaRecord> reference = {});

    // Read `index` of this simulator.
    SimulatedRead read(std::uint64_t index) const;

    // The next read: read(0), read(1), ...
    SimulatedRead next() { return read(m_next++); }

private:
    std::string draw_sequence(SeededStream& stream, std::uint32_t length, std::string& source) const;

    SimulationOptions m_options;
    std::vector<FastaRecord> m_reference;
    std::vector<std::uint64_t> m_reference_ends;  // running base counts, to choose a record by length
    std::uint64_t m_next = 0;
};

}  // namespace reference_server
