// Zero loss and zero duplicates through a misbehaving server: one fixed
// seed here; scripts/chaos.sh runs the same with random seeds for longer.

#include <gtest/gtest.h>

#include "common/runtime/logger.h"
#include "support/chaos_run.h"
#include "support/temp_dir.h"

TEST(CorvaneChaosTest, EveryReadLeavesOnceWithItsOwnSequenceThroughFaults) {
    common::logging::initialise_logging();
    test_support::TempDir folder;
    const auto figures = test_support::run_chaos({20261209, 400, folder.path()});
    EXPECT_EQ(figures.error, "");
    EXPECT_EQ(figures.reads_in, 400u);
    EXPECT_EQ(figures.with_results + figures.without_results, figures.reads_in);
    EXPECT_EQ(figures.duplicates, 0u);
    EXPECT_EQ(figures.lost, 0u);
    EXPECT_EQ(figures.wrong_sequences, 0u);
    // Without faults the run would prove nothing.
    EXPECT_GE(figures.faults, 5u);
    // Reads come back without results only when the server lost them.
    EXPECT_GT(figures.with_results, figures.without_results);
}
