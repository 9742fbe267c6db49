#include "reference_server/basecaller.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference_server/signal_model.h"

namespace {

using reference_server::CalledResult;
using reference_server::CallerOptions;
using reference_server::ReceivedRead;
using reference_server::SeededStream;
using reference_server::SignalOptions;

std::string random_sequence(std::uint64_t seed, std::size_t length) {
    SeededStream stream(seed);
    std::string sequence(length, 'A');
    for (char& base : sequence) {
        base = "ACGT"[stream.below(4)];
    }
    return sequence;
}

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
        std::size_t ones = 0;
        for (const std::uint8_t move : *result.moves) {
            ones += move;
        }
        EXPECT_EQ(ones, c.sequence.size());
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
    for (const char q : noisy.qstring) {
        EXPECT_GE(q, 33 + 1);
        EXPECT_LT(q, 33 + 50);
    }
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

}  // namespace
