#include "reference_server/model/signal_model.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using reference_server::SignalOptions;

TEST(SignalModelTest, KeepsEverySampleWithinTheNoiseBoundOfItsLevel) {
    const std::vector<std::string> pieces = {"ACGTTGCAAC", "GGTACCA"};
    for (const std::int16_t bound : {std::int16_t{0}, std::int16_t{1}, std::int16_t{25}, reference_server::max_noise_bound}) {
        SCOPED_TRACE(bound);
        const SignalOptions noisy{.stride = 3, .lead_in = 11, .gap = 9, .noise_bound = bound, .max_dwell = 3};
        SignalOptions clean = noisy;
        clean.noise_bound = 0;
        const auto samples = reference_server::simulate_signal(pieces, noisy, 42);
        const auto levels = reference_server::simulate_signal(pieces, clean, 42);
        ASSERT_EQ(samples.size(), levels.size());
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const int distance = std::abs(samples[i] - levels[i]);
            ASSERT_LE(distance, bound) << "sample " << i;
            // The nearest level of a noisy sample is its own.
            if (levels[i] < reference_server::open_pore_threshold) {
                ASSERT_LT(samples[i], reference_server::open_pore_threshold);
                EXPECT_EQ(reference_server::nearest_level_index(samples[i]),
                          reference_server::nearest_level_index(levels[i]));
            } else {
                ASSERT_EQ(levels[i], reference_server::open_pore_level);
                ASSERT_GE(samples[i], reference_server::open_pore_threshold);
            }
        }
        EXPECT_EQ(samples == levels, bound == 0);
        // Lead-in and gap are open pore, then each base's windows follow.
        for (std::size_t i = 0; i < 11; ++i) {
            EXPECT_EQ(levels[i], reference_server::open_pore_level);
        }
        EXPECT_EQ(levels[11], reference_server::base_level('A'));
        EXPECT_EQ(levels[12], reference_server::base_level('A'));
    }
}

TEST(SignalModelTest, AReadIdAndASequenceNameOneSignal) {
    const SignalOptions options{.lead_in = 20, .max_dwell = 2};
    const auto seed = reference_server::seed_of("read-a");
    const auto first = reference_server::simulate_signal("ACGTACGTAC", options, seed);
    EXPECT_EQ(reference_server::simulate_signal("ACGTACGTAC", options, seed), first);
    EXPECT_NE(reference_server::simulate_signal("ACGTACGTAC", options, reference_server::seed_of("read-b")), first);
    EXPECT_NE(reference_server::seed_of("read-a"), reference_server::seed_of("read-b"));
}

TEST(SignalModelTest, RefusesWhatItCannotModel) {
    struct Case {
        const char* what;
        std::string sequence;
        SignalOptions options;
    };
    const std::vector<Case> cases = {
        {"stride 0", "ACGT", {.stride = 0}},
        {"noise crossing levels", "ACGT", {.noise_bound = reference_server::max_noise_bound + 1}},
        {"negative noise bound", "ACGT", {.noise_bound = -1}},
        {"no dwell", "ACGT", {.max_dwell = 0}},
        {"unknown letter", "ACNT", {}},
        {"lower case", "acgt", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(reference_server::simulate_signal(c.sequence, c.options, 1), std::invalid_argument);
    }
}

}  // namespace
