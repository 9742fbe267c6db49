#include "reference_server/model/basecaller.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference_server/model/signal_model.h"

namespace {

using reference_server::CalledResult;
using reference_server::CallerOptions;
using reference_server::ReceivedRead;
using reference_server::SeededStream;
using reference_server::SignalOptions;

std::string random_sequence(std::uint64_t seed, std::size_t length) { return reference_server::random_bases(seed, length); }

ReceivedRead received(const std::string& read_id, std::vector<std::int16_t> samples) {
    ReceivedRead read;
    read.read_tag = 17;
    read.read_id = read_id;
    read.strand_id = read_id;
    read.duration = static_cast<std::uint32_t>(samples.size());
    read.start_time = 1000;
    read.num_keldrow_events = 3;
    read.split_point = -1;
    read.daq_offset = 0.0f;
    read.daq_scaling = 0.1f;
    read.samples = std::move(samples);
    return read;
}

ReceivedRead simulated(const std::string& read_id, const std::string& sequence, const SignalOptions& signal) {
    return received(read_id, reference_server::simulate_signal(sequence, signal, reference_server::seed_of(read_id)));
}

ReceivedRead simulated_pieces(const std::string& read_id,
                              const std::vector<std::string>& pieces,
                              const SignalOptions& signal) {
    return received(read_id, reference_server::simulate_signal(pieces, signal, reference_server::seed_of(read_id)));
}

std::size_t ones_in(const std::vector<std::uint8_t>& moves) {
    std::size_t ones = 0;
    for (const std::uint8_t move : moves) {
        ones += move;
    }
    return ones;
}

TEST(BasecallerTest, CallsBackTheSequenceEverySignalWasMadeFrom) {
    struct Case {
        const char* what;
        std::string sequence;
        SignalOptions signal;
    };
    const std::vector<Case> cases = {
        {"empty", "", {}},
        {"one base", "G", {}},
        {"every base", "ACGT", {}},
        {"homopolymers", "AAAACCCCGGGGTTTT", {}},
        {"stride 1", "ACGTTGCA", {.stride = 1}},
        {"odd stride", random_sequence(1, 101), {.stride = 7}},
        {"stride 13, dwelling", random_sequence(2, 77), {.stride = 13, .max_dwell = 4}},
        {"lead-in not a whole window", random_sequence(3, 50), {.stride = 6, .lead_in = 17}},
        {"no noise", random_sequence(4, 40), {.noise_bound = 0}},
        {"widest noise", random_sequence(5, 400), {.lead_in = 120, .noise_bound = reference_server::max_noise_bound}},
        {"long read", random_sequence(6, 60000), {.lead_in = 400, .max_dwell = 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CallerOptions options;
        options.stride = c.signal.stride;
        options.moves = true;
        const ReceivedRead read = simulated("read-1", c.sequence, c.signal);
        const std::vector<CalledResult> results = reference_server::call_read(read, options);
        ASSERT_EQ(results.size(), 1u);
        const CalledResult& result = results[0];
        EXPECT_EQ(result.sequence, c.sequence);
        EXPECT_EQ(result.qstring.size(), c.sequence.size());
        EXPECT_EQ(result.trimmed_samples, c.sequence.empty() ? read.samples.size() : c.signal.lead_in);
        EXPECT_EQ(result.model_stride, c.signal.stride);
        ASSERT_TRUE(result.moves.has_value());
        EXPECT_EQ(ones_in(*result.moves), c.sequence.size());
        EXPECT_EQ(result.moves->size() * c.signal.stride, read.samples.size() - c.signal.lead_in);
        if (!c.sequence.empty()) {
            EXPECT_EQ(result.moves->front(), 1);
        }
    }
}

TEST(BasecallerTest, InvertsTheModelForManySeeds) {
    for (std::uint64_t seed = 0; seed < 300; ++seed) {
        SeededStream stream(seed);
        SignalOptions signal;
        signal.stride = static_cast<std::uint32_t>(stream.between(1, 12));
        signal.lead_in = static_cast<std::uint32_t>(stream.between(0, 60));
        signal.noise_bound = static_cast<std::int16_t>(stream.between(0, reference_server::max_noise_bound));
        signal.max_dwell = static_cast<std::uint32_t>(stream.between(1, 3));
        const std::string sequence = random_sequence(seed + 1000, static_cast<std::size_t>(stream.between(0, 500)));
        CallerOptions options;
        options.stride = signal.stride;
        const std::vector<CalledResult> results =
            reference_server::call_read(simulated("seeded-" + std::to_string(seed), sequence, signal), options);
        ASSERT_EQ(results.size(), 1u) << "seed " << seed;
        ASSERT_EQ(results[0].sequence, sequence) << "seed " << seed;
    }
}

TEST(BasecallerTest, EchoesTheReadAndScoresIt) {
    const ReceivedRead read = simulated("echo", random_sequence(9, 200), {.lead_in = 30});
    CallerOptions options;
    options.model_version_id = "model@v1";
    const CalledResult result = reference_server::call_read(read, options).at(0);
    EXPECT_EQ(result.read_tag, 17u);
    EXPECT_EQ(result.sub_tag, 0u);
    EXPECT_EQ(result.strand_id, "echo");
    EXPECT_EQ(result.duration, read.samples.size());
    EXPECT_EQ(result.start_time, 1000u);
    EXPECT_EQ(result.num_keldrow_events, 3u);
    EXPECT_EQ(result.split_point, -1);
    EXPECT_EQ(result.model_version_id, "model@v1");
    EXPECT_FALSE(result.moves.has_value());
    ASSERT_TRUE(result.scaling.has_value());
    // Levels 300..1000 scaled by 0.1: the median lies among them, in pA.
    EXPECT_GE(result.median, 30.0f);
    EXPECT_LE(result.median, 100.0f);
    EXPECT_EQ(result.scaling->median, result.median);
    EXPECT_GT(result.med_abs_dev, 0.0f);
    EXPECT_GT(result.mean_qscore, 1.0f);
    EXPECT_LE(result.mean_qscore, 50.0f);
}

TEST(BasecallerTest, QualityFallsWithDistanceToTheLevel) {
    const std::string sequence = random_sequence(11, 300);
    CallerOptions options;
    const CalledResult clean = reference_server::call_read(simulated("q", sequence, {.noise_bound = 0}), options).at(0);
    const CalledResult noisy = reference_server::call_read(simulated("q", sequence, {.noise_bound = 40}), options).at(0);
    EXPECT_EQ(clean.qstring, std::string(sequence.size(), static_cast<char>(33 + 50)));
    EXPECT_FLOAT_EQ(clean.mean_qscore, 50.0f);
    EXPECT_LT(noisy.mean_qscore, clean.mean_qscore);
    // q = 50 - round(0.9 d): a distance of 40 gives 14, the lowest this noise allows.
    for (const char q : noisy.qstring) {
        EXPECT_GE(q, 33 + 14);
        EXPECT_LE(q, 33 + 50);
    }
    EXPECT_NE(noisy.qstring.find_first_not_of(static_cast<char>(33 + 50)), std::string::npos);
}

TEST(BasecallerTest, MedianAndSpreadAreThoseOfTheTrimmedSamples) {
    // Samples 300, 500, 700, 900 (no noise, stride 1, an open-pore lead-in):
    // median 600, deviations 300, 100, 100, 300 give 200.
    ReceivedRead read = received("m", {1400, 1400, 300, 500, 700, 900});
    read.daq_offset = 10.0f;
    read.daq_scaling = 0.5f;
    CallerOptions options;
    options.stride = 1;
    const CalledResult result = reference_server::call_read(read, options).at(0);
    EXPECT_EQ(result.sequence, "ACGT");
    EXPECT_EQ(result.trimmed_samples, 2u);
    EXPECT_FLOAT_EQ(result.median, (600.0f + 10.0f) * 0.5f);
    EXPECT_FLOAT_EQ(result.med_abs_dev, 100.0f);
}

TEST(BasecallerTest, ShortReadsComeBackWithoutBasesWhenAMinimumIsSet) {
    CallerOptions options;
    options.min_samples = 100;
    const CalledResult shorter = reference_server::call_read(simulated("s", "ACGTACGTACGTACGTACG", {}), options).at(0);
    EXPECT_EQ(shorter.sequence, "");
    const CalledResult longer = reference_server::call_read(simulated("s", "ACGTACGTACGTACGTACGT", {}), options).at(0);
    EXPECT_EQ(longer.sequence, "ACGTACGTACGTACGTACGT");
}

TEST(BasecallerTest, ForeignSignalsAreCalledWithoutFault) {
    const std::vector<std::vector<std::int16_t>> signals = {
        {},
        {-32768, 32767, 0, 0, 0},
        {1200, 1199, 1300, 5, 5, 5, 5, 5, 5, 1500, 2000},
        {700, 700, 700, 1500},
    };
    for (const auto& samples : signals) {
        CallerOptions options;
        options.moves = true;
        const std::vector<CalledResult> results = reference_server::call_read(received("f", samples), options);
        ASSERT_FALSE(results.empty());
        for (const CalledResult& result : results) {
            EXPECT_EQ(result.sequence.size(), result.qstring.size());
            EXPECT_LE(result.trimmed_samples, result.duration);
        }
    }
}

TEST(BasecallerTest, SplitsAtAnOpenPoreGapIntoPiecesBeforeTheParent) {
    struct Case {
        const char* what;
        std::string first;
        std::string second;
        SignalOptions signal;
    };
    const std::vector<Case> cases = {
        {"gap of whole windows", random_sequence(20, 30), random_sequence(21, 40), {.lead_in = 12, .gap = 50}},
        {"gap cutting a window", random_sequence(22, 9), random_sequence(23, 11), {.stride = 4, .lead_in = 3, .gap = 7}},
        {"one-sample gap, one-base pieces", "A", "T", {.stride = 3, .gap = 1}},
        {"dwelling bases", random_sequence(24, 60), random_sequence(25, 60), {.stride = 6, .gap = 30, .max_dwell = 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ReceivedRead read = simulated_pieces("split-read", {c.first, c.second}, c.signal);
        CallerOptions options;
        options.stride = c.signal.stride;
        options.moves = true;
        const std::vector<CalledResult> results = reference_server::call_read(read, options);
        ASSERT_EQ(results.size(), 3u);
        const CalledResult& first = results[0];
        const CalledResult& second = results[1];
        const CalledResult& parent = results[2];
        EXPECT_EQ(first.sub_tag, 1u);
        EXPECT_EQ(second.sub_tag, 2u);
        EXPECT_EQ(parent.sub_tag, 0u);
        EXPECT_EQ(first.sequence, c.first);
        EXPECT_EQ(second.sequence, c.second);
        EXPECT_EQ(parent.sequence, c.first + c.second);
        EXPECT_EQ(parent.qstring, first.qstring + second.qstring);
        EXPECT_EQ(parent.strand_id, "split-read");
        EXPECT_NE(first.strand_id, second.strand_id);
        EXPECT_EQ(first.strand_id, reference_server::piece_strand_id("split-read", 1));
        EXPECT_EQ(first.strand_id.size(), 36u);

        // The pieces share out the read's samples: the second starts where
        // the gap does, and the gap is its lead-in.
        const std::size_t gap_start = read.samples.size() - c.signal.gap - (second.moves->size() * c.signal.stride);
        EXPECT_EQ(first.split_point, 0);
        EXPECT_EQ(second.split_point, static_cast<std::int32_t>(gap_start));
        EXPECT_EQ(first.duration + second.duration, read.samples.size());
        EXPECT_EQ(first.trimmed_samples, c.signal.lead_in);
        EXPECT_EQ(second.trimmed_samples, c.signal.gap);
        EXPECT_EQ(second.start_time, read.start_time + gap_start);
        EXPECT_EQ(parent.split_point, -1);
        EXPECT_EQ(parent.duration, read.samples.size());

        ASSERT_TRUE(parent.moves.has_value());
        EXPECT_EQ(ones_in(*first.moves), c.first.size());
        EXPECT_EQ(ones_in(*second.moves), c.second.size());
        EXPECT_EQ(parent.moves->size(), first.moves->size() + c.signal.gap / c.signal.stride + second.moves->size());
        EXPECT_EQ(ones_in(*parent.moves), parent.sequence.size());
    }
}

TEST(BasecallerTest, KeepsAGappedReadWholeWhenSplittingIsOff) {
    CallerOptions options;
    options.split_reads = false;
    const std::vector<CalledResult> results =
        reference_server::call_read(simulated_pieces("whole", {"ACGTA", "CCGT"}, {.lead_in = 5}), options);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].sequence, "ACGTACCGT");
    EXPECT_EQ(results[0].sub_tag, 0u);
}

TEST(BasecallerTest, OpenPoreAtTheEndDoesNotSplit) {
    ReceivedRead read = simulated("tail", "ACGTTGCA", {});
    read.samples.insert(read.samples.end(), 40, reference_server::open_pore_level);
    read.duration = static_cast<std::uint32_t>(read.samples.size());
    const std::vector<CalledResult> results = reference_server::call_read(read, CallerOptions{});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].sequence, "ACGTTGCA");
}

TEST(BasecallerTest, PairsATemplateWithItsComplementInADuplexConfiguration) {
    const std::string strand = random_sequence(30, 80);
    struct Case {
        const char* what;
        bool duplex_config;
        bool pairing;
        std::string second;
        bool paired;
    };
    const std::vector<Case> cases = {
        {"template and complement", true, true, reference_server::reverse_complement(strand), true},
        {"no pairing information", true, false, reference_server::reverse_complement(strand), false},
        {"not the complement", true, true, random_sequence(31, 80), false},
        {"simplex configuration", false, true, reference_server::reverse_complement(strand), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReceivedRead read = simulated_pieces("duplex-read", {strand, c.second}, {.noise_bound = 40});
        if (c.pairing) {
            read.pairing = ReceivedRead::Pairing{12, 3, "run"};
        }
        CallerOptions options;
        options.duplex = c.duplex_config;
        options.moves = true;
        const std::vector<CalledResult> results = reference_server::call_read(read, options);
        ASSERT_EQ(results.size(), c.paired ? 4u : 3u);
        EXPECT_EQ(results[0].is_duplex_parent, c.paired);
        EXPECT_EQ(results[1].is_duplex_parent, c.paired);
        EXPECT_EQ(results.back().sub_tag, 0u);
        EXPECT_FALSE(results.back().duplex_strands.has_value());
        if (!c.paired) {
            continue;
        }
        const CalledResult& duplex = results[2];
        EXPECT_EQ(duplex.sub_tag, reference_server::duplex_sub_tag);
        ASSERT_TRUE(duplex.duplex_strands.has_value());
        EXPECT_EQ(duplex.duplex_strands->first, results[0].strand_id);
        EXPECT_EQ(duplex.duplex_strands->second, results[1].strand_id);
        EXPECT_EQ(duplex.sequence, strand);
        EXPECT_FALSE(duplex.moves.has_value());
        ASSERT_EQ(duplex.qstring.size(), strand.size());
        const std::string& complement_q = results[1].qstring;
        for (std::size_t i = 0; i < strand.size(); ++i) {
            EXPECT_EQ(duplex.qstring[i], std::max(results[0].qstring[i], complement_q[strand.size() - 1 - i]));
        }
        EXPECT_GE(duplex.mean_qscore, results[0].mean_qscore);
    }
}

TEST(BasecallerTest, GivesModificationProbabilitiesForCInCG) {
    const std::string sequence = "ACGCCGTTCGAC";
    CallerOptions options;
    options.modified_bases = true;
    options.modbase_model_version_id = "mods@v1";
    const ReceivedRead read = simulated("mods", sequence, {});
    const CalledResult result = reference_server::call_read(read, options).at(0);
    ASSERT_TRUE(result.base_mod.has_value());
    EXPECT_EQ(result.base_mod->alphabet, "C m");
    EXPECT_EQ(result.base_mod->context, "_:XG:_:_");
    EXPECT_EQ(result.modbase_model_version_id, "mods@v1");
    ASSERT_TRUE(result.base_mod_context_mask.has_value());
    const std::vector<bool> expected_mask = {false, true, false, false, true, false, false, false, true, false, false, false};
    EXPECT_EQ(*result.base_mod_context_mask, expected_mask);
    ASSERT_EQ(result.base_mod_probs.size(), 2 * sequence.size());
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        const unsigned both = result.base_mod_probs[2 * i] + result.base_mod_probs[2 * i + 1];
        EXPECT_EQ(both, expected_mask[i] ? 255u : 0u) << "base " << i;
    }
    EXPECT_EQ(reference_server::call_read(read, options).at(0).base_mod_probs, result.base_mod_probs);
    EXPECT_FALSE(reference_server::call_read(read, CallerOptions{}).at(0).base_mod.has_value());
}

TEST(BasecallerTest, ClassifiesTheBarcodeAtTheStartOfTheSequence) {
    const std::string body = random_sequence(40, 100);
    const std::string barcode_5 = reference_server::barcode_sequence(5);
    const std::string barcode_20 = reference_server::barcode_sequence(20);
    std::string two_mismatches = barcode_5;
    two_mismatches[3] = two_mismatches[3] == 'A' ? 'C' : 'A';
    two_mismatches[17] = two_mismatches[17] == 'G' ? 'T' : 'G';
    struct Case {
        const char* what;
        std::vector<std::string> kits;
        std::string sequence;
        std::string arrangement;
        float score;
        bool rear;
    };
    const std::vector<Case> cases = {
        {"exact", {"KIT-12"}, barcode_5 + body, "barcode05", 100.0f, false},
        {"two mismatches", {"KIT-12"}, two_mismatches + body, "barcode05", 100.0f * 22 / 24, false},
        {"index outside the kit", {"KIT-12"}, barcode_20 + body, "unclassified", 0.0f, false},
        {"second kit named", {"KIT-12", "KIT-24"}, barcode_20 + body, "barcode20", 100.0f, false},
        {"both ends", {"KIT-24-BOTH-ENDS"}, barcode_5 + body + reference_server::reverse_complement(barcode_5), "barcode05", 100.0f, true},
        {"unknown kit", {"NO-SUCH-KIT"}, barcode_5 + body, "unclassified", 0.0f, false},
        {"too short", {"KIT-12"}, barcode_5.substr(0, 20), "unclassified", 0.0f, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CallerOptions options;
        options.barcode_kits = c.kits;
        const CalledResult result = reference_server::call_read(simulated("bc", c.sequence, {}), options).at(0);
        EXPECT_EQ(result.sequence, c.sequence);  // barcodes are reported, not trimmed
        ASSERT_TRUE(result.barcode.has_value());
        ASSERT_TRUE(result.barcode_trim.has_value());
        EXPECT_EQ(result.barcode->arrangement, c.arrangement);
        EXPECT_FLOAT_EQ(result.barcode->score, c.score);
        const bool classified = c.arrangement != "unclassified";
        EXPECT_EQ(result.barcode->front.has_value(), classified);
        EXPECT_EQ(result.barcode->rear.has_value(), c.rear);
        EXPECT_EQ(result.barcode_trim->trim_front, classified ? 24 : 0);
        EXPECT_EQ(result.barcode_trim->trim_rear, c.rear ? 24 : 0);
        if (classified) {
            EXPECT_NE(result.barcode->kit, "unclassified");
        }
    }
}

TEST(BasecallerTest, NamesArrangementsFromTheKitsPatternWithoutFormattingIt) {
    struct Case {
        const char* pattern;
        const char* arrangement;
    };
    const std::vector<Case> cases = {
        {"bc%03d", "bc007"},
        {"barcode%i", "barcode7"},
        {"%s%n%x", "%s%n%x"},
        {"100% %02i", "100% 07"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        CallerOptions options;
        options.barcode_kits = {"OWN"};
        options.kit_definitions = {{"OWN", 7, 7, false, false, c.pattern}};
        const CalledResult result = reference_server::call_read(
            simulated("own", reference_server::barcode_sequence(7) + "ACGT", {}), options).at(0);
        ASSERT_TRUE(result.barcode.has_value());
        EXPECT_EQ(result.barcode->arrangement, c.arrangement);
        EXPECT_EQ(result.barcode->kit, "OWN");
    }
}

TEST(BasecallerTest, EstimatesThePolyTailInSamples) {
    struct Case {
        const char* what;
        std::string sequence;
        std::int32_t length;
        std::int32_t orientation;
        std::size_t first_base;  // first base of the tail
    };
    const std::string body = "CGTCGTCGTC";
    const std::vector<Case> cases = {
        {"poly-A at the end", body + std::string(12, 'A'), 12, 1, body.size()},
        {"poly-T at the start", std::string(15, 'T') + body, 15, -1, 0},
        {"too short a tail", body + std::string(9, 'A'), 0, 0, 0},
        {"no bases", "", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SignalOptions signal{.stride = 4, .lead_in = 10, .max_dwell = 2};
        CallerOptions options;
        options.stride = signal.stride;
        options.estimate_poly_a = true;
        options.moves = true;
        const CalledResult result = reference_server::call_read(simulated("tail", c.sequence, signal), options).at(0);
        ASSERT_TRUE(result.poly_tail.has_value());
        EXPECT_EQ(result.poly_tail->length, c.length);
        EXPECT_EQ(result.strand_orientation_code, c.orientation);
        if (c.length == 0) {
            EXPECT_EQ(result.poly_tail->start_1, -1);
            continue;
        }
        // Sample positions from the move table: base k starts at its k-th 1.
        std::vector<std::int64_t> starts;
        for (std::size_t w = 0; w < result.moves->size(); ++w) {
            if ((*result.moves)[w] != 0) {
                starts.push_back(static_cast<std::int64_t>(10 + 4 * w));
            }
        }
        starts.push_back(static_cast<std::int64_t>(10 + 4 * result.moves->size()));
        EXPECT_EQ(result.poly_tail->start_1, starts[c.first_base]);
        EXPECT_EQ(result.poly_tail->end_1, starts[c.first_base + static_cast<std::size_t>(c.length)]);
        EXPECT_EQ(result.poly_tail->anchor, c.orientation > 0 ? result.poly_tail->start_1 : result.poly_tail->end_1);
        EXPECT_EQ(result.poly_tail->start_2, -1);
    }
}

}  // namespace

namespace {

// -10 log10 of the mean error probability of the qualities.
float mean_qscore(const std::vector<int>& qualities) {
    double sum = 0.0;
    for (const int q : qualities) {
        sum += std::pow(10.0, -q / 10.0);
    }
    return static_cast<float>(-10.0 * std::log10(sum / static_cast<double>(qualities.size())));
}

}  // namespace

TEST(BasecallerTest, GivesEachBaseTheQualityOfItsDistanceToTheLevel) {
    // Stride 1: each sample is a window. q = 50 - round(0.9 * mean distance), at least 1.
    const struct {
        const char* what;
        std::vector<std::int16_t> samples;
        std::string sequence;
        std::vector<int> qualities;
    } rows[] = {
        {"distances within the grid", {300, 501, 710, 949, 349}, "ACGTA", {50, 49, 41, 6, 6}},
        {"far from every level", {0, -32768, 1150}, "AAT", {1, 1, 1}},
        {"a base held for two windows", {310, 430}, "A", {32}},
        {"a base held for three windows, then another", {300, 400, 445, 500}, "AC", {36, 50}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        CallerOptions options;
        options.stride = 1;
        const CalledResult result = reference_server::call_read(received("q", row.samples), options).at(0);
        EXPECT_EQ(result.sequence, row.sequence);
        std::string qstring;
        for (const int q : row.qualities) {
            qstring.push_back(static_cast<char>(33 + q));
        }
        EXPECT_EQ(result.qstring, qstring);
        EXPECT_FLOAT_EQ(result.mean_qscore, mean_qscore(row.qualities));
    }
}

TEST(BasecallerTest, MedianAndSpreadAreThoseOfASortedCopy) {
    // Longer reads are scaled on at most max_scaling_samples evenly spaced samples.
    for (const std::size_t bases : {std::size_t{3}, std::size_t{801}, std::size_t{5003}}) {
        SCOPED_TRACE(bases);
        const ReceivedRead read = simulated("s", random_sequence(bases, bases), {.lead_in = 40, .noise_bound = 45});
        const CalledResult result = reference_server::call_read(read, CallerOptions{}).at(0);
        ASSERT_EQ(result.trimmed_samples, 40u);
        const std::size_t count = read.samples.size() - 40;
        const std::size_t most = reference_server::max_scaling_samples;
        const std::size_t step = (count + most - 1) / most;
        std::vector<std::int64_t> values;
        for (std::size_t i = 40; i < read.samples.size(); i += step) {
            values.push_back(read.samples[i]);
        }
        const auto doubled_median = [](std::vector<std::int64_t> v) {
            std::sort(v.begin(), v.end());
            return v[(v.size() - 1) / 2] + v[v.size() / 2];
        };
        const std::int64_t median2 = doubled_median(values);
        std::vector<std::int64_t> deviations;
        for (const std::int64_t v : values) {
            deviations.push_back(std::llabs(2 * v - median2));
        }
        const std::int64_t mad4 = doubled_median(deviations);
        EXPECT_FLOAT_EQ(result.median, static_cast<float>(static_cast<double>(median2) / 2.0 * static_cast<double>(0.1f)));
        EXPECT_FLOAT_EQ(result.med_abs_dev, static_cast<float>(static_cast<double>(mad4) / 4.0 * static_cast<double>(0.1f)));
    }
}

TEST(BasecallerTest, CallsASignalReadInPlaceAsOneItOwns) {
    const ReceivedRead owned =
        simulated_pieces("p", {random_sequence(21, 120), random_sequence(22, 90)}, {.lead_in = 25, .max_dwell = 3});
    ReceivedRead in_place = owned;
    in_place.samples.clear();
    in_place.frame_samples = owned.samples;
    CallerOptions options;
    options.moves = true;
    const std::vector<CalledResult> expected = reference_server::call_read(owned, options);
    const std::vector<CalledResult> results = reference_server::call_read(in_place, options);
    ASSERT_EQ(expected.size(), 3u);
    ASSERT_EQ(results.size(), expected.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].sequence, expected[i].sequence);
        EXPECT_EQ(results[i].qstring, expected[i].qstring);
        EXPECT_EQ(results[i].moves, expected[i].moves);
        EXPECT_EQ(results[i].trimmed_samples, expected[i].trimmed_samples);
        EXPECT_EQ(results[i].median, expected[i].median);
        EXPECT_EQ(results[i].med_abs_dev, expected[i].med_abs_dev);
    }
}
