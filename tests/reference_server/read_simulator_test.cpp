#include "reference_server/model/read_simulator.h"

#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference_server/model/basecaller.h"
#include "reference_server/model/fasta_reader.h"
#include "reference_server/model/simulated_read_json.h"

namespace {

using reference_server::CalledResult;
using reference_server::CallerOptions;
using reference_server::ReadSimulator;
using reference_server::SimulatedRead;
using reference_server::SimulationOptions;

// The read as a client would send it.
reference_server::ReceivedRead as_received(const SimulatedRead& read) {
    reference_server::ReceivedRead received;
    received.read_tag = 5;
    received.read_id = read.read_id;
    received.strand_id = read.read_id;
    received.duration = static_cast<std::uint32_t>(read.samples.size());
    received.daq_offset = read.daq_offset;
    received.daq_scaling = read.daq_scaling;
    received.sampling_rate = read.sampling_rate;
    received.start_time = read.start_time;
    received.split_point = -1;
    received.pairing = reference_server::ReceivedRead::Pairing{read.channel, read.mux, read.run_id};
    received.samples = read.samples;
    return received;
}

TEST(ReadSimulatorTest, EveryReadIsCalledBackAsItsTrueSequence) {
    struct Case {
        const char* what;
        SimulationOptions options;
    };
    const std::vector<Case> cases = {
        {"plain", {.seed = 3, .length = 300}},
        {"odd stride and dwelling", {.seed = 4, .length = 120, .stride = 9, .max_dwell = 3}},
        {"split reads", {.seed = 5, .length = 200, .split_fraction = 1.0}},
        {"duplex reads", {.seed = 6, .length = 150, .duplex_fraction = 1.0}},
        {"a mixture", {.seed = 7, .length = 90, .split_fraction = 0.3, .duplex_fraction = 0.3}},
        {"rna", {.seed = 8, .length = 100, .rna = true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReadSimulator simulator(c.options);
        CallerOptions options;
        options.stride = c.options.stride;
        options.duplex = true;
        options.rna = c.options.rna;
        for (int i = 0; i < 40; ++i) {
            const SimulatedRead read = simulator.next();
            const std::vector<CalledResult> results = reference_server::call_read(as_received(read), options);
            ASSERT_EQ(results.back().sequence, read.sequence) << read.read_id;
            if (read.pieces.size() == 1) {
                ASSERT_EQ(results.size(), 1u);
                continue;
            }
            ASSERT_EQ(results.size(), read.duplex ? 4u : 3u) << read.read_id;
            EXPECT_EQ(results[0].sequence, read.pieces[0]);
            EXPECT_EQ(results[1].sequence, read.pieces[1]);
            if (read.duplex) {
                EXPECT_EQ(results[2].sequence, read.pieces[0]);
                EXPECT_TRUE(results[2].duplex_strands.has_value());
            }
        }
    }
}

TEST(ReadSimulatorTest, ReadsAreReproducibleAndIndependentOfOrder) {
    const SimulationOptions options{.seed = 11, .length = 50, .split_fraction = 0.5};
    ReadSimulator a(options);
    ReadSimulator b(options);
    const SimulatedRead third = b.read(2);
    a.next();
    a.next();
    const SimulatedRead also_third = a.next();
    EXPECT_EQ(also_third.read_id, third.read_id);
    EXPECT_EQ(also_third.sequence, third.sequence);
    EXPECT_EQ(also_third.samples, third.samples);
    EXPECT_NE(a.next().read_id, third.read_id);
    ReadSimulator other_seed({.seed = 12, .length = 50});
    EXPECT_NE(other_seed.read(2).sequence, third.sequence);
}

TEST(ReadSimulatorTest, VariedLengthsStayAroundTheMeanAndFixedOnesDoNotMove) {
    ReadSimulator fixed({.seed = 13, .length = 101});
    ReadSimulator varied({.seed = 13, .length = 101, .vary_length = true});
    std::set<std::size_t> lengths;
    std::size_t total = 0;
    constexpr int count = 200;
    for (int i = 0; i < count; ++i) {
        const std::size_t length = varied.next().sequence.size();
        ASSERT_GE(length, 51u);
        ASSERT_LE(length, 151u);
        lengths.insert(length);
        total += length;
        ASSERT_EQ(fixed.next().sequence.size(), 101u);
    }
    EXPECT_GT(lengths.size(), 20u);
    EXPECT_NEAR(static_cast<double>(total) / count, 101.0, 10.0);
    ReadSimulator one_base({.seed = 13, .length = 1, .vary_length = true});
    EXPECT_EQ(one_base.next().sequence.size(), 1u);
}

TEST(ReadSimulatorTest, DrawsReadsFromTheReferenceOnBothStrands) {
    std::istringstream fasta(">chr_a first record\nACGTACGGTTCAGATTACAGGCATTA\nCCGATNNACGT\n>chr_b\nggccttaaggcc\n");
    const std::vector<reference_server::FastaRecord> reference = reference_server::read_fasta(fasta);
    ASSERT_EQ(reference.size(), 2u);
    ReadSimulator simulator({.seed = 21, .length = 10}, reference);
    bool forward = false;
    bool reverse = false;
    for (int i = 0; i < 60; ++i) {
        const SimulatedRead read = simulator.next();
        ASSERT_EQ(read.sequence.size(), 10u);
        // "chr_a:3-13:+": the stretch, or its reverse complement on "-".
        const std::size_t colon = read.source.find(':');
        const std::size_t dash = read.source.find('-', colon);
        const std::size_t last = read.source.rfind(':');
        const std::string name = read.source.substr(0, colon);
        const std::size_t start = std::stoul(read.source.substr(colon + 1, dash - colon - 1));
        const std::size_t end = std::stoul(read.source.substr(dash + 1, last - dash - 1));
        const bool minus = read.source.substr(last + 1) == "-";
        const auto& record = name == "chr_a" ? reference[0] : reference[1];
        ASSERT_TRUE(name == "chr_a" || name == "chr_b") << read.source;
        ASSERT_EQ(end - start, 10u);
        const std::string stretch = record.sequence.substr(start, 10);
        const std::string expected = minus ? reference_server::reverse_complement(read.sequence) : read.sequence;
        for (std::size_t k = 0; k < 10; ++k) {
            if (stretch[k] != 'N') {
                ASSERT_EQ(expected[k], stretch[k]) << read.source;
            }
        }
        (minus ? reverse : forward) = true;
    }
    EXPECT_TRUE(forward);
    EXPECT_TRUE(reverse);
}

TEST(ReadSimulatorTest, RefusesImpossibleOptions) {
    const std::vector<SimulationOptions> cases = {
        {.stride = 0},
        {.noise_bound = 50},
        {.max_dwell = 0},
        {.split_fraction = -0.1},
        {.duplex_fraction = 1.5},
        {.split_fraction = 0.6, .duplex_fraction = 0.6},
        {.channels = 0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_THROW(ReadSimulator{cases[i]}, std::invalid_argument);
    }
    EXPECT_THROW((ReadSimulator{{}, {{"empty", ""}}}), std::invalid_argument);
}

TEST(ReadSimulatorTest, JsonLinesRoundTrip) {
    ReadSimulator simulator({.seed = 31, .length = 40, .split_fraction = 1.0});
    const SimulatedRead read = simulator.next();
    const std::string line = reference_server::to_json_line(read);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("\"daq_scaling\":0.1,"), std::string::npos) << line.substr(0, 300);
    const SimulatedRead back = reference_server::parse_json_line(line);
    EXPECT_EQ(back.read_id, read.read_id);
    EXPECT_EQ(back.sequence, read.sequence);
    EXPECT_EQ(back.pieces, read.pieces);
    EXPECT_EQ(back.samples, read.samples);
    EXPECT_EQ(back.signal.lead_in, read.signal.lead_in);
    EXPECT_EQ(back.signal.stride, read.signal.stride);
    EXPECT_EQ(back.start_time, read.start_time);
    EXPECT_EQ(back.channel, read.channel);
    EXPECT_FLOAT_EQ(back.daq_scaling, read.daq_scaling);
}

TEST(ReadSimulatorTest, JsonLinesWithFaultsAreRefusedByName) {
    const std::string good = reference_server::to_json_line(ReadSimulator({.length = 3}).read(0));
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string line = good;
        const std::size_t at = line.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return line.replace(at, from.size(), to);
    };
    struct Case {
        std::string line;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"[1,2]", "one JSON object"},
        {"{\"read_id\": ", "one JSON object"},
        {replaced("\"read_id\"", "\"id\""), "without \"read_id\""},
        {replaced("\"duplex\":false", "\"duplex\":0"), "\"duplex\" must be true or false"},
        {replaced("\"samples\":[", "\"samples\":[40000,"), "\"samples\" must be a list of int16"},
        {replaced("\"stride\":5", "\"stride\":-5"), "\"stride\" must be an integer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        try {
            reference_server::parse_json_line(c.line);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

TEST(FastaReaderTest, ReadsRecordsAndRefusesTextBeforeAHeader) {
    std::istringstream text(">one  words after\r\nac gt\r\nNN\n>two\n>three\nT\n");
    const auto records = reference_server::read_fasta(text);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].name, "one");
    EXPECT_EQ(records[0].sequence, "ACGTNN");
    EXPECT_EQ(records[1].sequence, "");
    EXPECT_EQ(records[2].sequence, "T");
    std::istringstream headless("ACGT\n>late\nA\n");
    EXPECT_THROW(reference_server::read_fasta(headless), std::runtime_error);
    EXPECT_THROW(reference_server::load_fasta("/nonexistent/reads.fa"), std::runtime_error);
}

}  // namespace
