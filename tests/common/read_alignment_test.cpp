#include "common/read_alignment.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/modbase_tags.h"

namespace {

using common::ByteView;
using common::generate_modbase_string;
using test_support::decode_modbase_tags;
using test_support::ModCall;

ByteView view_of(const std::vector<std::uint8_t>& bytes) {
    return ByteView{bytes.data(), bytes.size(), 1};
}

// Splits "MM:Z:...\tML:B:C...\tMN:i:n" and decodes it against the sequence.
std::vector<ModCall> decode(const std::string& tags, const std::string& sequence) {
    std::vector<std::string> parts = test_support::split_text(tags, '\t');
    EXPECT_EQ(parts.size(), 3u) << tags;
    EXPECT_EQ(parts.at(2), "MN:i:" + std::to_string(sequence.size()));
    return decode_modbase_tags(parts.at(0), parts.at(1), sequence);
}

TEST(ModbaseTagTest, CallsBasesWithoutMotifByThreshold) {
    // Columns A, a, C, m: the A passes through a, the first C through m.
    const std::vector<std::uint8_t> probs = {0, 0, 0, 200, 0, 130, 0, 0, 0, 0, 0, 10};
    auto result = generate_modbase_string("CAC", "A a C m", "", nullptr, view_of(probs), 128);
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.text, "MM:Z:A+a.,0;C+m.,0;\tML:B:C,130,200\tMN:i:3");
}

TEST(ModbaseTagTest, SkipCountsLandOnTheCalledBases) {
    const std::string sequence = "CCACGTCCGCAC";
    // Columns C, m; m probability by position.
    const std::vector<std::uint8_t> m = {10, 250, 0, 140, 0, 0, 5, 200, 0, 60, 0, 255};
    std::vector<std::uint8_t> probs;
    for (std::uint8_t p : m) {
        probs.push_back(0);
        probs.push_back(p);
    }
    auto result = generate_modbase_string(sequence, "C m", "", nullptr, view_of(probs), 128);
    ASSERT_TRUE(result.success) << result.error;
    const std::vector<ModCall> expected = {
        {'C', "m", '.', 1, 250}, {'C', "m", '.', 3, 140}, {'C', "m", '.', 7, 200}, {'C', "m", '.', 11, 255}};
    EXPECT_EQ(decode(result.text, sequence), expected);
}

TEST(ModbaseTagTest, ThresholdFromPercentCoversTheWholeRange) {
    struct Row {
        float percent;
        unsigned threshold;
    };
    const Row rows[] = {{5.0f, 12}, {0.0f, 0}, {-3.0f, 0}, {50.0f, 128}, {99.9f, 255}, {100.0f, 256}, {250.0f, 256}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.percent);
        EXPECT_EQ(common::modbase_threshold_from_percent(row.percent), row.threshold);
    }
    EXPECT_THROW(common::modbase_threshold_from_percent(std::numeric_limits<float>::quiet_NaN()),
                 std::runtime_error);
}

TEST(ModbaseTagTest, ThresholdAboveEveryByteCallsNothingAndZeroCallsEverything) {
    const std::vector<std::uint8_t> probs = {0, 255, 0, 0, 0, 3};
    auto none = generate_modbase_string("CAC", "C m", "", nullptr, view_of(probs), 256);
    ASSERT_TRUE(none.success) << none.error;
    EXPECT_EQ(none.text, "MM:Z:C+m.;\tML:B:C\tMN:i:3");
    auto all = generate_modbase_string("CAC", "C m", "", nullptr, view_of(probs), 0);
    ASSERT_TRUE(all.success) << all.error;
    EXPECT_EQ(all.text, "MM:Z:C+m.,0,0;\tML:B:C,255,3\tMN:i:3");
}

TEST(ModbaseTagTest, MotifSelectsCandidatesWhateverTheProbability) {
    // C followed by G: only position 0 (position 2 is followed by A).
    const std::string sequence = "CGCA";
    const std::vector<std::uint8_t> probs = {0, 7, 0, 0, 0, 250, 0, 0};
    auto result = generate_modbase_string(sequence, "C m", "_:XG:_:_", nullptr, view_of(probs), 128);
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.text, "MM:Z:C+m?,0;\tML:B:C,7\tMN:i:4");
    EXPECT_EQ(decode(result.text, sequence), (std::vector<ModCall>{{'C', "m", '?', 0, 7}}));
}

TEST(ModbaseTagTest, MotifMatchesOverlapAndUseIupacCodes) {
    struct Row {
        std::string context;
        std::string sequence;
        std::vector<std::size_t> positions;
    };
    const std::vector<Row> rows = {
        {"_:XC:_:_", "CCCAC", {0, 1}},   // overlapping occurrences
        {"_:XR:_:_", "CACGCT", {0, 2}},  // R = A or G
        {"_:XN:_:_", "CACGC", {0, 2}},   // the last C has nothing after it
        {"_:XW:_:_", "CUCTCA", {0, 2, 4}},  // W accepts U where T stands
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.context + " " + row.sequence);
        std::vector<std::uint8_t> probs(row.sequence.size() * 2, 9);
        auto result = generate_modbase_string(row.sequence, "C m", row.context, nullptr, view_of(probs), 128);
        ASSERT_TRUE(result.success) << result.error;
        std::vector<std::size_t> positions;
        for (const ModCall& call : decode(result.text, row.sequence)) {
            positions.push_back(call.position);
        }
        EXPECT_EQ(positions, row.positions);
    }
}

TEST(ModbaseTagTest, SuppliedBaseFlagsReplaceTheMotifSearch) {
    const std::string sequence = "CGCGA";
    const std::vector<bool> flags = {false, false, true, false, false};
    const std::vector<std::uint8_t> probs = {0, 1, 0, 2, 0, 3, 0, 4, 0, 5};
    auto result = generate_modbase_string(sequence, "C m", "_:XG:_:_", &flags, view_of(probs), 0);
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.text, "MM:Z:C+m?,1;\tML:B:C,3\tMN:i:5");

    const std::vector<bool> short_flags = {true, false};
    auto mismatch = generate_modbase_string(sequence, "C m", "_:XG:_:_", &short_flags, view_of(probs), 0);
    EXPECT_FALSE(mismatch.success);
    EXPECT_NE(mismatch.error, "");
}

TEST(ModbaseTagTest, ReadsProbabilitiesThroughTheViewStride) {
    // Every other byte belongs to another table column.
    const std::vector<std::uint8_t> interleaved = {0, 99, 200, 99, 0, 99, 10, 99};
    auto result = generate_modbase_string("CA", "C m", "", nullptr, ByteView{interleaved.data(), 4, 2}, 128);
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.text, "MM:Z:C+m.,0;\tML:B:C,200\tMN:i:2");
}

TEST(ModbaseTagTest, NumericCodesAndSeveralChannelsPerBase) {
    const std::string sequence = "ACCA";
    // Columns A, a, C, m, 76792 (ChEBI code).
    const std::vector<std::uint8_t> probs = {0, 200, 0, 0,   0,  //
                                             0, 0,   0, 190, 10,  //
                                             0, 0,   0, 5,   220,  //
                                             0, 20,  0, 0,   0};
    auto result = generate_modbase_string(sequence, "A a C m 76792", "", nullptr, view_of(probs), 128);
    ASSERT_TRUE(result.success) << result.error;
    // A base passing through any channel of its group is reported in each.
    const std::vector<ModCall> expected = {
        {'A', "a", '.', 0, 200},   {'C', "m", '.', 1, 190},     {'C', "m", '.', 2, 5},
        {'C', "76792", '.', 1, 10}, {'C', "76792", '.', 2, 220}};
    EXPECT_EQ(decode(result.text, sequence), expected);
}

TEST(ModbaseTagTest, ReportsMalformedInput) {
    const std::vector<std::uint8_t> four(4, 0);
    auto mismatch = generate_modbase_string("CAC", "C m", "", nullptr, view_of(four), 12);
    EXPECT_FALSE(mismatch.success);
    EXPECT_EQ(mismatch.error,
              "Mismatch between modbase_probs size and sequence length * num channels in modbase_alphabet!");

    auto bad_code = generate_modbase_string("CA", "C mm", "", nullptr, view_of(four), 12);
    EXPECT_FALSE(bad_code.success);
    EXPECT_EQ(bad_code.error, "Invalid modified base code: mm");
    EXPECT_EQ(bad_code.text, "");

    try {
        generate_modbase_string("CA", "m C", "", nullptr, view_of(four), 12);
        ADD_FAILURE() << "a modification before its base was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid base: m");
    }
}

TEST(ModbaseTagTest, RejectsMalformedContexts) {
    const std::vector<std::uint8_t> probs(4, 0);
    for (const char* context : {"_:XG:_", "_:CG:_:_", "_::_:_", "_:XG:_:_:_"}) {
        SCOPED_TRACE(context);
        try {
            generate_modbase_string("CA", "C m", context, nullptr, view_of(probs), 12);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Invalid base modification context string.");
        }
    }
    EXPECT_THROW(generate_modbase_string("CA", "C m", "_:XZ:_:_", nullptr, view_of(probs), 12), std::out_of_range);
}

TEST(MoveTableTagTest, SplitsLargeMovesIntoRunsOf127) {
    struct Row {
        std::vector<std::uint8_t> moves;
        std::int8_t stride;
        std::string text;
    };
    const std::vector<Row> rows = {
        {{1, 0, 130}, 5, "mv:B:c,5,1,0,127,3"},
        {{127}, 6, "mv:B:c,6,127,0"},
        {{255, 3}, 10, "mv:B:c,10,127,127,1,3"},
        {{1}, -2, "mv:B:c,-2,1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto result = common::generate_move_table_string(view_of(row.moves), row.stride);
        ASSERT_TRUE(result.success) << result.error;
        EXPECT_EQ(result.text, row.text);
    }
    auto empty = common::generate_move_table_string(ByteView{}, 5);
    EXPECT_FALSE(empty.success);
    EXPECT_EQ(empty.error, "Zero length move table provided to generate_move_table_string");
}

TEST(UnmappedSamLineTest, WritesElevenColumnsOrExplainsTheFailure) {
    struct Row {
        std::string name, sequence, qstring;
        bool success;
        std::string text;
    };
    const std::vector<Row> rows = {
        {"r1", "ACGT", "$$$$", true, "r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t$$$$"},
        {"a;b", "", "", true, "a;b\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*"},
        {"r1", "ACGT", "$$$", false, "sequence and qscore do not match size!"},
        {"", "ACGT", "$$$$", false, "Empty read_name string provided!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto result = common::make_unmapped_sam_line(row.name, row.sequence, row.qstring);
        EXPECT_EQ(result.success, row.success);
        EXPECT_EQ(row.success ? result.text : result.error, row.text);
    }
}

TEST(FloatTagTextTest, WritesTheShortestTextThatReadsBack) {
    EXPECT_EQ(common::float_tag_text(12.5f), "12.5");
    EXPECT_EQ(common::float_tag_text(0.1f), "0.1");
    EXPECT_EQ(common::float_tag_text(-3.0f), "-3");
    for (float value : {9.87654321f, 1.0e-7f, 3.4e38f, 123456.7f, 0.000123f}) {
        SCOPED_TRACE(value);
        const std::string text = common::float_tag_text(value);
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), value);
        EXPECT_LE(text.size(), 13u);
    }
}

}  // namespace
