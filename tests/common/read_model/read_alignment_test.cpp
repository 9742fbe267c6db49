#include "common/read_model/read_alignment.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <memory>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/read_model/alignment_config.h"
#include "common/read_model/read_holder.h"
#include "common/read_model/target_configurations.h"
#include "support/expect_error.h"
#include "support/modbase_tags.h"
#include "support/read_builders.h"

namespace {

using common::ByteView;
using common::generate_modbase_string;
using test_support::decode_modbase_tags;
using test_support::ModCall;

namespace dw = vesk::data_wrappers::v2;
using test_support::called_read;
using test_support::split_text;

ByteView view_of(const std::vector<std::uint8_t>& bytes) {
    return ByteView{bytes.data(), bytes.size(), 1};
}

// Expects `call` to throw std::runtime_error with exactly `message`.
template <class Call>
void expect_runtime_error(Call&& call, const std::string& message) {
    test_support::expect_error<std::runtime_error>(std::forward<Call>(call), message);
}

std::vector<std::string> only_sam_line_columns(const common::ReadHolder& read, float threshold = 5.0f) {
    auto lines = common::sam_and_bed_lines(read, threshold);
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines.at(0).bed_lines.empty());
    return split_text(lines.at(0).sam_line, '\t');
}

using Columns = std::vector<std::string>;

// Splits "MM:Z:...\tML:B:C...\tMN:i:n" and decodes it against the sequence.
std::vector<ModCall> decode(const std::string& tags, const std::string& sequence) {
    std::vector<std::string> parts = test_support::split_text(tags, '\t');
    EXPECT_EQ(parts.size(), 3u) << tags;
    EXPECT_EQ(parts.at(2), "MN:i:" + std::to_string(sequence.size()));
    return decode_modbase_tags(parts.at(0), parts.at(1), sequence);
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

TEST(ModbaseTagTest, ZeroThresholdCallsEveryBase) {
    const std::vector<std::uint8_t> probs = {0, 255, 0, 0, 0, 3};
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
        {std::string(254, 'r'), "A", "$", true, std::string(254, 'r') + "\t4\t*\t0\t0\t*\t*\t0\t0\tA\t$"},
        {std::string(255, 'r'), "A", "$", false,
         "Read name has 255 characters, more than the 254 a read name holds."},
        {"r 1", "A", "$", false,
         "Read name holds byte 0x20 at position 1; a read name takes printable ASCII without spaces."},
        {"a\tb;c", "A", "$", false,
         "Read name holds byte 0x09 at position 1; a read name takes printable ASCII without spaces."},
        {"@r1", "A", "$", false, "Read name starts with '@'."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto result = common::make_unmapped_sam_line(row.name, row.sequence, row.qstring);
        EXPECT_EQ(result.success, row.success);
        EXPECT_EQ(row.success ? result.text : result.error, row.text);
    }
}

TEST(FloatTagTextTest, WritesTheShortestTextThatReadsBack) {
    EXPECT_EQ(common::float_tag_text(0.1f), "0.1");
    for (float value : {9.87654321f, -3.0f, 1.0e-7f, 3.4e38f, 123456.7f}) {
        SCOPED_TRACE(value);
        const std::string text = common::float_tag_text(value);
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), value);
        EXPECT_LE(text.size(), 13u);
    }
}

TEST(SamLinesTest, UnalignedReadGetsOneUnmappedRecord) {
    struct Row {
        std::string name;
        std::function<void(common::ReadHolder&)> change;
        Columns columns;
    };
    const std::vector<Row> rows = {
        {"default metadata", [](common::ReadHolder&) {},
         {"r1", "4", "*", "0", "0", "*", "*", "0", "0", "ACGT", "$$$$", "rn:i:0", "ns:i:0", "ts:i:0", "dx:i:0"}},
        {"empty read id names no parent",
         [](common::ReadHolder& read) { read.metadata->read_id.clear(); },
         {"r1", "4", "*", "0", "0", "*", "*", "0", "0", "ACGT", "$$$$", "rn:i:0", "ns:i:0", "ts:i:0", "pi:Z:",
          "dx:i:0"}},
        {"empty sequence",
         [](common::ReadHolder& read) {
             read.datasets[dw::sequence] = dw::DataSetData(std::string());
             read.datasets[dw::qstring] = dw::DataSetData(std::string());
         },
         {"r1", "4", "*", "0", "0", "*", "*", "0", "0", "*", "*", "rn:i:0", "ns:i:0", "ts:i:0", "dx:i:0"}},
        {"duplex pair names the record and hides the split point",
         [](common::ReadHolder& read) {
             read.metadata->duplex_strands.emplace();
             read.metadata->duplex_strands->duplex_strand_1 = "a";
             read.metadata->duplex_strands->duplex_strand_2 = "b";
             read.metadata->read_id = "parent";
             read.metadata->split_point = 7;
         },
         {"a;b", "4", "*", "0", "0", "*", "*", "0", "0", "ACGT", "$$$$", "rn:i:0", "ns:i:0", "ts:i:0",
          "pi:Z:parent", "dx:i:1"}},
        {"split piece names parent and split point",
         [](common::ReadHolder& read) {
             read.metadata->read_id = "parent";
             read.metadata->split_point = 7;
         },
         {"r1", "4", "*", "0", "0", "*", "*", "0", "0", "ACGT", "$$$$", "rn:i:0", "ns:i:0", "ts:i:0",
          "pi:Z:parent", "sp:i:7", "dx:i:0"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
        row.change(read);
        EXPECT_EQ(only_sam_line_columns(read), row.columns);
    }
}

common::ReadHolder read_with_every_tag() {
    common::ReadHolder read = called_read("r1_child", "ACGT", "$$$$");
    interfaces::ReadMetadata& m = *read.metadata;
    m.basecall_data.emplace();
    m.basecall_data->mean_qscore = 12.5f;
    m.basecall_data->scaling_median = 1.5f;
    m.basecall_data->scaling_med_abs_dev = 0.25f;
    m.basecall_data->scaling_version = "v1";
    m.mux = 2;
    m.channel = 101;
    m.read_number = 17;
    m.time_stamp = "2024-01-01T00:00:00Z";
    m.filename = "/data/run\\batch_0.sig";
    m.duration = 8000;
    m.trimmed_samples = 100;
    m.sampling_rate = 4000.0f;
    m.poly_tail_data.emplace();
    m.poly_tail_data->poly_tail_length = 40;
    m.poly_tail_data->poly_tail_anchor = 10;
    m.poly_tail_data->poly_tail_start_1 = 11;
    m.poly_tail_data->poly_tail_end_1 = 12;
    m.poly_tail_data->poly_tail_start_2 = 13;
    m.poly_tail_data->poly_tail_end_2 = 14;
    m.read_id = "r1";
    m.split_point = 300;
    m.strand_orientation = "+";
    m.umi_tag_sequence = "TTAGC";
    m.is_duplex_parent = true;
    return read;
}

const Columns every_read_tag = {"qs:f:12.5", "mx:i:2", "ch:i:101", "rn:i:17", "st:Z:2024-01-01T00:00:00Z",
                                "f5:Z:batch_0.sig", "ns:i:8000", "ts:i:100", "sm:f:1.5", "sd:f:0.25", "sv:Z:v1",
                                "du:f:2", "pt:i:40", "pa:B:i,10,11,12,13,14", "pi:Z:r1", "sp:i:300", "TS:A:+",
                                "RX:Z:TTAGC", "dx:i:-1"};

TEST(SamLinesTest, PerReadTagsFollowTheRecordInTheirOrder) {
    const common::ReadHolder read = read_with_every_tag();
    Columns columns = only_sam_line_columns(read);
    ASSERT_GE(columns.size(), 11u);
    EXPECT_EQ(columns[0], "r1_child");
    EXPECT_EQ(Columns(columns.begin() + 11, columns.end()), every_read_tag);
}

TEST(SamLinesTest, BedHitsTagOnlyWithABedFileInTheAlignmentConfiguration) {
    struct Row {
        std::string name;
        std::string bed_file;
        bool with_alignment_group;
        std::string expected;  // empty: no tag
    };
    const std::vector<Row> rows = {
        {"bed file, no alignment group", "/ref/genes.bed", false, "bh:i:0"},
        {"bed file and alignment group", "/ref/genes.bed", true, "bh:i:3"},
        {"alignment config without bed file", "", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
        auto targets = std::make_shared<common::TargetConfigurations>();
        targets->set(std::make_shared<const common::AlignmentConfig>(common::AlignmentConfig{"/ref/index", row.bed_file}));
        read.target_configurations = targets;
        if (row.with_alignment_group) {
            read.metadata->alignment_data.emplace();
            read.metadata->alignment_data->bed_hits = 3;
        }
        Columns columns = only_sam_line_columns(read);
        Columns expected = {"rn:i:0", "ns:i:0", "ts:i:0"};
        if (!row.expected.empty()) {
            expected.push_back(row.expected);
        }
        expected.push_back("dx:i:0");
        EXPECT_EQ(Columns(columns.begin() + 11, columns.end()), expected);
        EXPECT_EQ(common::fastq_header_line(read, false).find("bh:i:"), std::string::npos);
    }
}

TEST(SamLinesTest, StrandOrientationTagHoldsOneCharacter) {
    const std::vector<std::pair<std::string, bool>> rows = {{"+", true}, {"-", true}, {"?", false}, {"", false},
                                                            {"+-", false}};
    for (const auto& [orientation, written] : rows) {
        SCOPED_TRACE(orientation);
        common::ReadHolder read = called_read("r1", "A", "$");
        read.metadata->strand_orientation = orientation;
        const std::string line = common::sam_and_bed_lines(read, 5).at(0).sam_line;
        EXPECT_EQ(line.find("\tTS:A:" + orientation + "\t") != std::string::npos, written) << line;
        if (!written) {
            EXPECT_EQ(line.find("TS:A:"), std::string::npos) << line;
        }
    }
}

TEST(FastqHeaderTest, ReadGroupTagsFallBackToUnknown) {
    common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
    read.metadata->run_id = "run";
    EXPECT_EQ(common::fastq_header_line(read, true),
              "@r1\trn:i:0\tns:i:0\tts:i:0\tdx:i:0\tRG:Z:run_unknown\tDT:Z:unknown\tPU:Z:unknown\tLB:Z:unknown");
}

void set_read_group_details(interfaces::ReadMetadata& m, const std::string& arrangement, const std::string& alias) {
    m.run_id = "run";
    m.model_version_id = "m1";
    m.exp_start_time = "2024";
    m.flow_cell_id = "FC1";
    m.sample_id = "S1";
    m.gpu_name = "gpu0";
    m.barcode_data.emplace();
    m.barcode_data->arrangement = arrangement;
    m.barcode_data->alias = alias;
}

TEST(FastqHeaderTest, BarcodeAndRunDetailsNameTheReadGroup) {
    struct Row {
        std::string arrangement, alias, tail;
    };
    const std::vector<Row> rows = {
        {"barcode01", "sample_a", "\tRG:Z:run_m1_barcode01\tDT:Z:2024\tPU:Z:FC1\tLB:Z:S1\tDS:Z:gpu0\tSM:Z:barcode01\tal:Z:sample_a"},
        {"unclassified", "unclassified", "\tRG:Z:run_m1_unclassified\tDT:Z:2024\tPU:Z:FC1\tLB:Z:S1\tDS:Z:gpu0"},
        {"", "", "\tRG:Z:run_m1\tDT:Z:2024\tPU:Z:FC1\tLB:Z:S1\tDS:Z:gpu0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arrangement);
        common::ReadHolder read = read_with_every_tag();
        set_read_group_details(*read.metadata, row.arrangement, row.alias);
        std::string expected = "@r1_child";
        for (const std::string& tag : every_read_tag) {
            expected += "\t" + tag;
        }
        EXPECT_EQ(common::fastq_header_line(read, false), expected + row.tail);
    }
}

TEST(FastqHeaderTest, MoveTableTagNeedsMovesAndTheModelStride) {
    common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
    read.datasets.emplace(dw::movement, dw::DataSetData(std::vector<std::uint8_t>{1, 0, 130}));
    // Without a basecall group there is no stride to write: no tag, no crash.
    EXPECT_EQ(common::fastq_header_line(read, true).find("mv:"), std::string::npos);
    EXPECT_EQ(common::sam_and_bed_lines(read, 5).at(0).sam_line.find("mv:"), std::string::npos);

    read.metadata->basecall_data.emplace();
    read.metadata->basecall_data->model_stride = 5;
    const std::string header = common::fastq_header_line(read, true);
    EXPECT_TRUE(header.ends_with("\tLB:Z:unknown\tmv:B:c,5,1,0,127,3")) << header;
    EXPECT_EQ(common::fastq_header_line(read, false).find("mv:"), std::string::npos);
    const Columns columns = only_sam_line_columns(read);
    EXPECT_EQ(columns.at(11), "mv:B:c,5,1,0,127,3");
    EXPECT_EQ(columns.at(12), "qs:f:0");

    read.datasets[dw::movement] = dw::DataSetData(std::string("not bytes"));
    expect_runtime_error([&] { common::fastq_header_line(read, true); }, "Invalid array type requested.");
}

TEST(SamLinesTest, ModifiedBaseTagsComeFirstOnTheRecord) {
    common::ReadHolder read = called_read("r1", "CAC", "$$$");
    test_support::add_modbase_probs(read, "A a C m", {0, 0, 0, 200, 0, 130, 0, 0, 0, 0, 0, 10}, 3, 4);
    read.metadata->basecall_data->model_stride = 6;
    read.datasets.emplace(dw::movement, dw::DataSetData(std::vector<std::uint8_t>{1, 1, 0}));
    const Columns columns = only_sam_line_columns(read, 50.0f);
    const Columns expected = {"r1",         "4",          "*",          "0",          "0",
                              "*",          "*",          "0",          "0",          "CAC",
                              "$$$",        "MM:Z:A+a.,0;C+m.,0;",      "ML:B:C,130,200",
                              "MN:i:3",     "mv:B:c,6,1,1,0",           "qs:f:0",     "rn:i:0",
                              "ns:i:0",     "ts:i:0",     "sm:f:0",     "sd:f:0",     "sv:Z:",
                              "dx:i:0"};
    EXPECT_EQ(columns, expected);

    EXPECT_EQ(only_sam_line_columns(read, 100.0f).at(11), "MM:Z:A+a.;C+m.;");
    EXPECT_THROW(common::sam_and_bed_lines(read, std::numeric_limits<float>::quiet_NaN()), std::runtime_error);
}

TEST(SamLinesTest, SuppliedBaseFlagsChooseTheMotifPositions) {
    common::ReadHolder read = called_read("r1", "CGCG", "$$$$");
    test_support::add_modbase_probs(read, "C m", {0, 5, 0, 6, 0, 7, 0, 8}, 4, 2, "_:XG:_:_");
    EXPECT_EQ(only_sam_line_columns(read).at(11), "MM:Z:C+m?,0,0;");
    read.metadata->basecall_data->base_flags = {false, false, true, false};
    EXPECT_EQ(only_sam_line_columns(read).at(11), "MM:Z:C+m?,1;");
}

TEST(SamLinesTest, ReportsUnusableReadData) {
    struct Row {
        std::string name;
        std::function<void(common::ReadHolder&)> change;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"no qstring", [](common::ReadHolder& read) { read.datasets.erase(dw::qstring); },
         "Read r1 does not contain a qstring! Cannot generate SAM line."},
        {"no qstring and no sequence",
         [](common::ReadHolder& read) {
             read.datasets.erase(dw::qstring);
             read.datasets.erase(dw::sequence);
         },
         "Read r1 does not contain a qstring! Cannot generate SAM line."},
        {"no sequence", [](common::ReadHolder& read) { read.datasets.erase(dw::sequence); },
         "Read r1 does not contain a sequence! Cannot generate SAM line."},
        {"sequence not text",
         [](common::ReadHolder& read) {
             read.datasets[dw::sequence] = dw::DataSetData(std::vector<std::uint8_t>{1, 2});
         },
         "Data does not view string data."},
        {"qstring of another length",
         [](common::ReadHolder& read) { read.datasets[dw::qstring] = dw::DataSetData(std::string("$$")); },
         "make_unmapped_sam_line failed: sequence and qscore do not match size!"},
        {"no name", [](common::ReadHolder& read) { read.metadata->strand_id.clear(); },
         "make_unmapped_sam_line failed: Empty read_name string provided!"},
        {"probabilities not covering the sequence",
         [](common::ReadHolder& read) { test_support::add_modbase_probs(read, "C m", {0, 1, 2}, 3, 1); },
         "generate_modbase_string failed: Mismatch between modbase_probs size and sequence length * num channels "
         "in modbase_alphabet!"},
        {"bad modification code",
         [](common::ReadHolder& read) { test_support::add_modbase_probs(read, "C mm", std::vector<std::uint8_t>(8), 4, 2); },
         "generate_modbase_string failed: Invalid modified base code: mm"},
        {"probabilities not bytes",
         [](common::ReadHolder& read) { read.datasets[dw::base_mod_probs] = dw::DataSetData(std::string("xx")); },
         "Invalid array type requested."},
        {"first server record too short",
         [](common::ReadHolder& read) {
             test_support::add_alignments(read, {{"chr1", '+', 1, 5, 0}}, "r1\t0\tchr1\t1", "");
         },
         "Malformed alignment SAM line: \nr1\t0\tchr1\t1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
        row.change(read);
        expect_runtime_error([&] { common::sam_and_bed_lines(read, 5); }, row.message);
    }
}

const std::string first_record = "r1\t0\tchr1\t100\t60\t4M\t*\t0\t0\tACGT\t$$$$";
const std::string second_record = "r1\t256\tchr2\t200\t0\t4M\t*\t0\t0\t*\t*";
const std::string gene_a = "chr1\t90\t110\tgeneA\t0\t+";
const std::string gene_b = "chr2\t190\t210\tgeneB\t0\t+";
const std::string gene_c = "chr2\t195\t205\tgeneC\t0\t-";

TEST(SamLinesTest, AlignedRecordsCarryTheirOwnBedLines) {
    common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
    test_support::add_alignments(read, {{"chr1", '+', 100, 104, 1}, {"chr2", '+', 200, 204, 2, 1}},
                                 first_record + "\n" + second_record, gene_a + "\n" + gene_b + "\n" + gene_c);
    auto lines = common::sam_and_bed_lines(read, 5);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].sam_line, first_record + "\trn:i:0\tns:i:0\tts:i:0\tdx:i:0");
    EXPECT_EQ(lines[0].bed_lines, (Columns{gene_a}));
    EXPECT_EQ(lines[1].sam_line, second_record);
    EXPECT_EQ(lines[1].bed_lines, (Columns{gene_b, gene_c}));
}

TEST(SamLinesTest, ServerTextShortOfItsAlignmentTableIsRefused) {
    common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
    test_support::add_alignments(read, {{"chr1", '+', 100, 104, 0}, {"chr2", '+', 200, 204, 0}}, first_record, "");
    EXPECT_THROW(common::sam_and_bed_lines(read, 5), std::runtime_error);

    test_support::add_alignments(read, {{"chr1", '+', 100, 104, 2}}, first_record, gene_a);
    EXPECT_THROW(common::sam_and_bed_lines(read, 5), std::runtime_error);
}

TEST(SamLinesTest, ServerRecordWithoutReferenceMeansUnaligned) {
    common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
    test_support::add_alignments(read, {{"", '*', 0, 0, 1}}, "r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t$$$$\tXX:i:1", gene_a);
    EXPECT_EQ(only_sam_line_columns(read), (Columns{"r1", "4", "*", "0", "0", "*", "*", "0", "0", "ACGT", "$$$$",
                                                    "rn:i:0", "ns:i:0", "ts:i:0", "dx:i:0"}));
}

TEST(AlignmentSummaryTest, FirstRowAndCountsOverAllRows) {
    common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
    const std::string longest_name(common::align_results_max_genome_length, 'g');
    test_support::add_alignments(read,
                                 {{longest_name, '-', 100, 200, 1, 0, 0, 0.875f, 60},
                                  {"chr2", '+', 0, 0, 0, 1, 0},
                                  {"chr3", '+', 500, 600, 0, 0, 1}},
                                 "", "");
    common::update_alignment_metadata(read);
    ASSERT_TRUE(read.metadata->alignment_data);
    const auto& summary = *read.metadata->alignment_data;
    EXPECT_EQ(summary.genome, longest_name);
    EXPECT_EQ(summary.direction, "-");
    EXPECT_EQ(summary.genome_start, 100);
    EXPECT_EQ(summary.genome_end, 200);
    EXPECT_EQ(summary.bed_hits, 1);
    EXPECT_EQ(summary.identity, 0.875f);
    EXPECT_EQ(summary.mapping_quality, 60);
    EXPECT_EQ(summary.num_alignments, 2);
    EXPECT_EQ(summary.num_secondary_alignments, 1);
    EXPECT_EQ(summary.num_supplementary_alignments, 1);
}

TEST(AlignmentSummaryTest, EmptyTableLeavesADefaultGroup) {
    common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
    read.metadata->alignment_data.emplace();
    read.metadata->alignment_data->genome = "stale";
    read.metadata->alignment_data->num_alignments = 4;
    test_support::add_alignments(read, {}, "", "");
    common::update_alignment_metadata(read);
    ASSERT_TRUE(read.metadata->alignment_data);
    EXPECT_EQ(read.metadata->alignment_data->genome, "");
    EXPECT_EQ(read.metadata->alignment_data->num_alignments, 0);

    read.datasets.erase(dw::align_results);
    expect_runtime_error([&] { common::update_alignment_metadata(read); }, "Could not find align results in read holder");
}

TEST(ModbaseTagTest, UracilCountsAsThymine) {
    // Columns T, 17802 (a uridine modification); rows U, U, A, U.
    const std::vector<std::uint8_t> probs = {0, 200, 0, 10, 0, 0, 0, 250};
    struct Row {
        const char* context;
        std::string text;
    };
    const Row rows[] = {
        {"", "MM:Z:T+17802.,0,1;\tML:B:C,200,250\tMN:i:4"},
        // The motif UA (T then A) is matched once, at position 1.
        {"_:_:_:XA", "MM:Z:T+17802?,1;\tML:B:C,10\tMN:i:4"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.context);
        auto result = generate_modbase_string("UUAU", "T 17802", row.context, nullptr, view_of(probs), 128);
        ASSERT_TRUE(result.success) << result.error;
        EXPECT_EQ(result.text, row.text);
    }
}

// Every tab-separated item after the read name is a well-formed tag: a
// two-character name, a type and a value of printable ASCII.
void expect_well_formed_tags(const std::string& line, std::size_t first_tag) {
    const Columns columns = split_text(line, '\t');
    for (std::size_t i = first_tag; i < columns.size(); ++i) {
        const std::string& tag = columns[i];
        SCOPED_TRACE(tag);
        ASSERT_GE(tag.size(), 5u);
        EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(tag[0])) &&
                    std::isalnum(static_cast<unsigned char>(tag[1])) && tag[2] == ':' && tag[4] == ':');
        EXPECT_NE(std::string("AifZHB").find(tag[3]), std::string::npos);
        for (char c : tag) {
            EXPECT_TRUE(c >= ' ' && c <= '~') << "byte " << static_cast<int>(static_cast<unsigned char>(c));
        }
        if (tag[3] == 'f') {
            const std::string value = tag.substr(5);
            EXPECT_EQ(value.find_first_not_of("0123456789.-+e"), std::string::npos) << value;
        }
    }
}

bool has_tag(const Columns& columns, const std::string& prefix) {
    return std::any_of(columns.begin(), columns.end(), [&](const std::string& c) { return c.starts_with(prefix); });
}

TEST(SamLinesTest, LeavesOutTagsSamCannotHold) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    struct Row {
        std::string name;
        std::function<void(interfaces::ReadMetadata&)> change;
        std::vector<std::string> absent;   // tag prefixes
        std::vector<std::string> present;  // whole tags
    };
    const std::vector<Row> rows = {
        {"sample count above 2^32-1", [](auto& m) { m.duration = std::uint64_t{1} << 32; }, {"ns:i:"},
         {"ts:i:100"}},
        {"sample count of 2^32-1", [](auto& m) { m.duration = 4294967295u; }, {}, {"ns:i:4294967295"}},
        {"trimmed samples above 2^32-1", [](auto& m) { m.trimmed_samples = std::uint64_t{1} << 40; }, {"ts:i:"},
         {"ns:i:8000"}},
        {"poly-tail position above int32", [](auto& m) { m.poly_tail_data->poly_tail_anchor = std::int64_t{1} << 31; },
         {"pa:B:i"}, {"pt:i:40"}},
        {"poly-tail position below int32",
         [](auto& m) { m.poly_tail_data->poly_tail_end_2 = -(std::int64_t{1} << 31) - 1; }, {"pa:B:i"}, {"pt:i:40"}},
        {"poly-tail position of int32 min",
         [](auto& m) { m.poly_tail_data->poly_tail_start_2 = -(std::int64_t{1} << 31); }, {},
         {"pa:B:i,10,11,12,-2147483648,14"}},
        {"NaN mean qscore", [](auto& m) { m.basecall_data->mean_qscore = nan; }, {"qs:f:"}, {"sm:f:1.5"}},
        {"infinite scaling median", [](auto& m) { m.basecall_data->scaling_median = -inf; }, {"sm:f:"},
         {"sd:f:0.25"}},
        {"NaN scaling spread", [](auto& m) { m.basecall_data->scaling_med_abs_dev = nan; }, {"sd:f:"}, {"sm:f:1.5"}},
        {"duration in seconds overflows", [](auto& m) { m.sampling_rate = 1e-38f; }, {"du:f:"}, {"ns:i:8000"}},
        {"tab in scaling version", [](auto& m) { m.basecall_data->scaling_version = "v\t1"; }, {"sv:Z:"},
         {"sd:f:0.25"}},
        {"newline in time stamp", [](auto& m) { m.time_stamp = "2024\n"; }, {"st:Z:"}, {"rn:i:17"}},
        {"non-ASCII file name", [](auto& m) { m.filename = "/data/b\xc3\xa4tch.sig"; }, {"f5:Z:"}, {"ns:i:8000"}},
        {"non-ASCII folder of the file", [](auto& m) { m.filename = "/d\xc3\xa4ta/batch.sig"; }, {},
         {"f5:Z:batch.sig"}},
        {"tab in the parent read id", [](auto& m) { m.read_id = "r\t1"; }, {"pi:Z:", "sp:i:"}, {"TS:A:+"}},
        {"newline in UMI", [](auto& m) { m.umi_tag_sequence = "AC\nGT"; }, {"RX:Z:"}, {"TS:A:+"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder read = read_with_every_tag();
        row.change(*read.metadata);
        const std::string sam_line = common::sam_and_bed_lines(read, 5).at(0).sam_line;
        const std::string header = common::fastq_header_line(read, false);
        for (const std::string& line : {sam_line, header}) {
            const Columns columns = split_text(line, '\t');
            for (const std::string& tag : row.absent) {
                EXPECT_FALSE(has_tag(columns, tag)) << tag << " in " << line;
            }
            for (const std::string& tag : row.present) {
                EXPECT_NE(std::find(columns.begin(), columns.end(), tag), columns.end()) << tag << " not in " << line;
            }
        }
        expect_well_formed_tags(sam_line, 11);
        expect_well_formed_tags(header, 1);
    }
}

TEST(FastqHeaderTest, LeavesOutReadGroupTagsSamCannotHold) {
    struct Row {
        std::string name;
        std::function<void(interfaces::ReadMetadata&)> change;
        std::vector<std::string> absent;
    };
    const std::vector<Row> rows = {
        {"tab in run id", [](auto& m) { m.run_id = "run\t7"; }, {"RG:Z:"}},
        {"newline in model id", [](auto& m) { m.model_version_id = "m\n1"; }, {"RG:Z:"}},
        {"tab in arrangement", [](auto& m) { m.barcode_data->arrangement = "bc\t1"; }, {"RG:Z:", "SM:Z:"}},
        {"control byte in experiment start", [](auto& m) { m.exp_start_time = "\x01"; }, {"DT:Z:"}},
        {"newline in flow cell", [](auto& m) { m.flow_cell_id = "FC\n"; }, {"PU:Z:"}},
        {"non-ASCII sample id", [](auto& m) { m.sample_id = "s\xc3\xa9"; }, {"LB:Z:"}},
        {"tab in GPU name", [](auto& m) { m.gpu_name = "g\t"; }, {"DS:Z:"}},
        {"tab in alias", [](auto& m) { m.barcode_data->alias = "a\tb"; }, {"al:Z:"}},
    };
    const std::vector<std::string> read_group = {"RG:Z:run_m1_bc01", "DT:Z:2024", "PU:Z:FC1", "LB:Z:S1",
                                                 "DS:Z:gpu0", "SM:Z:bc01", "al:Z:alias1"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
        set_read_group_details(*read.metadata, "bc01", "alias1");
        row.change(*read.metadata);
        const std::string header = common::fastq_header_line(read, false);
        const Columns columns = split_text(header, '\t');
        for (const std::string& tag : read_group) {
            const bool left_out = std::any_of(row.absent.begin(), row.absent.end(),
                                              [&](const std::string& prefix) { return tag.starts_with(prefix); });
            EXPECT_EQ(has_tag(columns, tag.substr(0, 5)), !left_out) << tag << " in " << header;
            if (!left_out) {
                EXPECT_NE(std::find(columns.begin(), columns.end(), tag), columns.end()) << tag;
            }
        }
        expect_well_formed_tags(header, 1);
    }
}

TEST(SamLinesTest, RefusesReadNamesThatBreakTheRecord) {
    const std::string name_rule = "; a read name takes printable ASCII without spaces.";
    struct Row {
        std::string name;
        std::function<void(interfaces::ReadMetadata&)> change;
        std::string sam_error;    // empty: the SAM record is written
        std::string fastq_error;  // empty: the FASTQ header is written
    };
    const auto duplex = [](interfaces::ReadMetadata& m, std::string a, std::string b) {
        m.duplex_strands = interfaces::DuplexStrands{std::move(a), std::move(b)};
    };
    const std::vector<Row> rows = {
        {"space", [](auto& m) { m.strand_id = "r 1"; },
         "make_unmapped_sam_line failed: Read name holds byte 0x20 at position 1" + name_rule,
         "Cannot write a FASTQ header: read name holds byte 0x20 at position 1" + name_rule},
        {"tab", [](auto& m) { m.strand_id = "r\t1"; },
         "make_unmapped_sam_line failed: Read name holds byte 0x09 at position 1" + name_rule,
         "Cannot write a FASTQ header: read name holds byte 0x09 at position 1" + name_rule},
        {"newline", [](auto& m) { m.strand_id = "r1\n"; },
         "make_unmapped_sam_line failed: Read name holds byte 0x0A at position 2" + name_rule,
         "Cannot write a FASTQ header: read name holds byte 0x0A at position 2" + name_rule},
        {"leading @", [](auto& m) { m.strand_id = "@r1"; }, "make_unmapped_sam_line failed: Read name starts with '@'.",
         "Cannot write a FASTQ header: read name starts with '@'."},
        {"255 characters", [](auto& m) { m.strand_id = std::string(255, 'r'); },
         "make_unmapped_sam_line failed: Read name has 255 characters, more than the 254 a read name holds.",
         "Cannot write a FASTQ header: read name has 255 characters, more than the 254 a read name holds."},
        {"254 characters", [](auto& m) { m.strand_id = std::string(254, 'r'); }, "", ""},
        {"empty", [](auto& m) { m.strand_id.clear(); },
         "make_unmapped_sam_line failed: Empty read_name string provided!",
         "Cannot write a FASTQ header: read name is empty."},
        {"duplex pair of 255 characters", [&](auto& m) { duplex(m, std::string(127, 'a'), std::string(127, 'b')); },
         "make_unmapped_sam_line failed: Read name has 255 characters, more than the 254 a read name holds.", ""},
        {"duplex pair of 254 characters", [&](auto& m) { duplex(m, std::string(126, 'a'), std::string(127, 'b')); },
         "", ""},
        {"space in a duplex strand", [&](auto& m) { duplex(m, "a", "b c"); },
         "make_unmapped_sam_line failed: Read name holds byte 0x20 at position 3" + name_rule, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder read = called_read("r1", "ACGT", "$$$$");
        row.change(*read.metadata);
        if (row.sam_error.empty()) {
            EXPECT_NO_THROW(common::sam_and_bed_lines(read, 5));
        } else {
            expect_runtime_error([&] { common::sam_and_bed_lines(read, 5); }, row.sam_error);
        }
        if (row.fastq_error.empty()) {
            EXPECT_NO_THROW(common::fastq_header_line(read, false));
        } else {
            expect_runtime_error([&] { common::fastq_header_line(read, false); }, row.fastq_error);
        }
    }
}

}  // namespace
