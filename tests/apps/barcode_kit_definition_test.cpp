#include <apps/client/server_query.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/expect_error.h"

using apps::server_query::BarcodeKitDefinition;

namespace {

BarcodeKitDefinition kit_with_pattern(const std::string& pattern, bool has_12a = false) {
    return BarcodeKitDefinition("KIT", 1, 12, false, has_12a, pattern);
}

}  // namespace

TEST(BarcodeKitDefinitionTest, FormatsIndicesWithinTheRange) {
    const struct {
        std::string pattern;
        bool has_12a;
        int index;
        std::string expected;
    } rows[] = {
        {"barcode%02i", true, 7, "barcode07"},
        {"barcode%02i", true, 12, "barcode12a"},
        {"barcode%02i", false, 12, "barcode12"},
        {"barcode%02i", true, 1, "barcode01"},
        {"bc%i_x", false, 3, "bc3_x"},
        {"bc%3i", false, 3, "bc  3"},
        {"%i", false, 11, "11"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pattern + " " + std::to_string(row.index));
        EXPECT_EQ(kit_with_pattern(row.pattern, row.has_12a).generate_barcode_name(row.index, 99), row.expected);
    }
}

TEST(BarcodeKitDefinitionTest, IndexOutsideTheRangeThrowsOutOfRange) {
    const auto kit = kit_with_pattern("barcode%02i", true);
    for (const int index : {0, 13, -1}) {
        SCOPED_TRACE(index);
        test_support::expect_error<std::out_of_range>(
            [&] { kit.generate_barcode_name(index, 0); },
            "get_outer_barcode index " + std::to_string(index) + " out of range [1 .. 12]");
    }
}

TEST(BarcodeKitDefinitionTest, KitWithoutRangeReturnsThePatternUnchanged) {
    const BarcodeKitDefinition negative_first("KIT", -1, 12, false, false, "unclassified%02i");
    const BarcodeKitDefinition last_below_first("KIT", 5, 4, false, false, "bc");
    for (const int index : {-5, 0, 7, 1000}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(negative_first.generate_barcode_name(index, 0), "unclassified%02i");
        EXPECT_EQ(last_below_first.generate_barcode_name(index, 0), "bc");
    }
}

TEST(BarcodeKitDefinitionTest, MalformedPatternsAreRejected) {
    for (const std::string pattern : {"bc%d", "bc%02i%i", "bc", "bc%", "bc%-2i", "bc%%i", ""}) {
        SCOPED_TRACE(pattern);
        test_support::expect_error<std::runtime_error>([&] { kit_with_pattern(pattern).generate_barcode_name(3, 0); },
                                                       "Invalid normalised pattern: " + pattern);
    }
}

TEST(BarcodeKitDefinitionTest, AbsurdFieldWidthFailsInsteadOfAllocating) {
    test_support::expect_error<std::runtime_error>(
        [] { kit_with_pattern("bc%99999999999999999999i").generate_barcode_name(3, 0); }, "Error during formatting.");
}

TEST(BarcodeKitDefinitionTest, CopiesShareAndOutliveTheOriginal) {
    std::vector<BarcodeKitDefinition> copies;
    {
        BarcodeKitDefinition original("KIT-X", 1, 24, true, false, "barcode%02i");
        copies.push_back(original);
        BarcodeKitDefinition assigned("other", 0, 0, false, false, "x%i");
        assigned = original;
        copies.push_back(std::move(assigned));
    }
    std::vector<std::thread> threads;
    std::vector<std::string> names(copies.size());
    for (std::size_t i = 0; i < copies.size(); ++i) {
        threads.emplace_back([&, i] { names[i] = copies[i].kit_name() + copies[i].generate_barcode_name(24, 0); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (std::size_t i = 0; i < copies.size(); ++i) {
        EXPECT_EQ(names[i], "KIT-Xbarcode24");
        EXPECT_TRUE(copies[i].is_both_ends());
        EXPECT_EQ(copies[i].first_index(), 1);
        EXPECT_EQ(copies[i].last_index(), 24);
    }
}
