// Output text of called reads, read back by samtools: every record kind the
// library writes must convert to BAM without a complaint, and the
// modified-base tags must mean what was called.

#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/read_model/alignment_config.h"
#include "common/read_model/read_alignment.h"
#include "common/read_model/read_holder.h"
#include "common/read_model/target_configurations.h"
#include "support/modbase_tags.h"
#include "support/read_builders.h"
#include "support/samtools.h"
#include "support/temp_dir.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using test_support::called_read;
using test_support::ModCall;
using test_support::split_text;

const std::string sam_header =
    "@HD\tVN:1.6\tSO:unknown\n"
    "@SQ\tSN:chr1\tLN:1000\n"
    "@SQ\tSN:chr2\tLN:1000\n";

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

void fill_every_tag(common::ReadHolder& read) {
    interfaces::ReadMetadata& m = *read.metadata;
    m.basecall_data.emplace();
    m.basecall_data->mean_qscore = 14.25f;
    m.basecall_data->scaling_median = 93.1f;
    m.basecall_data->scaling_med_abs_dev = 17.5f;
    m.basecall_data->scaling_version = "quantile";
    m.basecall_data->model_stride = 5;
    m.mux = 3;
    m.channel = 412;
    m.read_number = 9001;
    m.time_stamp = "2024-03-05T10:11:12.000+00:00";
    m.filename = "C:\\runs\\batch 7.sig";
    m.duration = 12345;
    m.trimmed_samples = 321;
    m.sampling_rate = 5000.0f;
    m.poly_tail_data.emplace();
    m.poly_tail_data->poly_tail_length = 52;
    m.poly_tail_data->poly_tail_anchor = 900;
    m.poly_tail_data->poly_tail_start_1 = 850;
    m.poly_tail_data->poly_tail_end_1 = 899;
    m.poly_tail_data->poly_tail_start_2 = -1;
    m.poly_tail_data->poly_tail_end_2 = -1;
    m.strand_orientation = "-";
    m.umi_tag_sequence = "ACGTTGCA";
    m.run_id = "run42";
    m.model_version_id = "model_v4";
    m.exp_start_time = "2024-03-05T09:00:00Z";
    m.flow_cell_id = "FAB123";
    m.sample_id = "sample 1";
    m.gpu_name = "gpu0";
    m.barcode_data.emplace();
    m.barcode_data->arrangement = "barcode07";
    m.barcode_data->alias = "patient_7";
}

// Sequence with two modification channels on C and one on A.
const std::string modbase_sequence = "CGACGTCCGATCGAC";

common::ReadHolder modified_read() {
    common::ReadHolder read = called_read("mod_read", modbase_sequence, std::string(modbase_sequence.size(), '5'));
    fill_every_tag(read);
    // Columns A, a, C, m, h; C probabilities climb along the read.
    std::vector<std::uint8_t> probs;
    for (std::size_t i = 0; i < modbase_sequence.size(); ++i) {
        const auto step = static_cast<std::uint8_t>(i * 17);
        const bool is_a = modbase_sequence[i] == 'A';
        const bool is_c = modbase_sequence[i] == 'C';
        probs.insert(probs.end(), {0, static_cast<std::uint8_t>(is_a ? 255 - step : 0), 0,
                                   static_cast<std::uint8_t>(is_c ? step : 0), static_cast<std::uint8_t>(is_c ? 20 : 0)});
    }
    test_support::add_modbase_probs(read, "A a C m h", std::move(probs), modbase_sequence.size(), 5);
    read.datasets.emplace(dw::movement, dw::DataSetData(std::vector<std::uint8_t>{1, 0, 0, 1, 200, 1, 0, 1}));
    return read;
}

// Converts the SAM text to BAM at bam_path and lists it back: both steps
// must succeed without a word on stderr and keep every record.
std::string convert_and_list(const test_support::TempDir& dir, const std::string& sam, const std::string& bam_path,
                             std::size_t records) {
    const std::string sam_path = bam_path + ".sam";
    write_file(sam_path, sam);
    auto converted = test_support::run_samtools(dir, "view -b -o '" + bam_path + "' '" + sam_path + "'");
    EXPECT_EQ(converted.exit_code, 0);
    EXPECT_EQ(converted.err, "") << sam;
    auto listed = test_support::run_samtools(dir, "view '" + bam_path + "'");
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(split_text(listed.out, '\n').size(), records + 1) << listed.out;
    return listed.out;
}

TEST(SamtoolsTest, ReadsEveryKindOfRecordAndBedLine) {
    test_support::TempDir dir;
    std::string sam = sam_header;
    std::string bed;
    std::size_t records = 0;
    auto add = [&](const common::ReadHolder& read, float threshold) {
        for (const auto& line : common::sam_and_bed_lines(read, threshold)) {
            sam += line.sam_line + "\n";
            ++records;
            for (const std::string& bed_line : line.bed_lines) {
                bed += bed_line + "\n";
            }
        }
    };

    add(called_read("plain", "ACGT", "$$$$"), 5);
    add(called_read("empty", "", ""), 5);
    add(modified_read(), 5);
    add(modified_read(), 100);

    common::ReadHolder motif = called_read("motif", "CGCGACG", "+++++++");
    test_support::add_modbase_probs(motif, "C m", std::vector<std::uint8_t>(14, 77), 7, 2, "_:XG:_:_");
    add(motif, 5);

    common::ReadHolder duplex = called_read("ignored", "GATTACA", "0123456");
    duplex.metadata->duplex_strands.emplace();
    duplex.metadata->duplex_strands->duplex_strand_1 = "strand_a";
    duplex.metadata->duplex_strands->duplex_strand_2 = "strand_b";
    add(duplex, 5);

    common::ReadHolder split = called_read("parent", "TTTT", "////");
    split.metadata->strand_id = "parent_1";
    split.metadata->split_point = 4000;
    split.metadata->is_duplex_parent = true;
    add(split, 5);

    common::ReadHolder aligned = called_read("aligned", "ACGTACGT", "########");
    fill_every_tag(aligned);
    auto targets = std::make_shared<common::TargetConfigurations>();
    targets->set(std::make_shared<const common::AlignmentConfig>(common::AlignmentConfig{"/ref/idx", "/ref/genes.bed"}));
    aligned.target_configurations = targets;
    test_support::add_alignments(aligned, {{"chr1", '+', 100, 108, 1}, {"chr2", '-', 200, 208, 2}},
                                 "aligned\t0\tchr1\t101\t60\t8M\t*\t0\t0\tACGTACGT\t########\tNM:i:0\n"
                                 "aligned\t272\tchr2\t201\t0\t8M\t*\t0\t0\t*\t*\tNM:i:1",
                                 "chr1\t90\t110\tgeneA\t0\t+\nchr2\t190\t210\tgeneB\t0\t-\nchr2\t204\t230\tgeneC\t0\t+");
    common::update_alignment_metadata(aligned);
    add(aligned, 5);

    const std::string bam_path = dir.file("reads.bam");
    const std::string bed_path = dir.file("hits.bed");
    write_file(bed_path, bed);
    const std::string listed = convert_and_list(dir, sam, bam_path, records);
    EXPECT_NE(listed.find("\tbh:i:1\t"), std::string::npos);

    // The BED lines are usable as regions: both alignments overlap them.
    auto overlapping = test_support::run_samtools(dir, "view -c -L '" + bed_path + "' '" + bam_path + "'");
    EXPECT_EQ(overlapping.exit_code, 0);
    EXPECT_EQ(overlapping.err, "");
    EXPECT_EQ(overlapping.out, "2\n");
}

TEST(SamtoolsTest, ModifiedBaseTagsSurviveAndMeanTheCalls) {
    test_support::TempDir dir;
    const std::string sam_path = dir.file("mod.sam");
    const std::string bam_path = dir.file("mod.bam");
    write_file(sam_path, sam_header + common::sam_and_bed_lines(modified_read(), 50).at(0).sam_line + "\n");
    auto converted = test_support::run_samtools(dir, "view -b -o '" + bam_path + "' '" + sam_path + "'");
    ASSERT_EQ(converted.exit_code, 0);
    ASSERT_EQ(converted.err, "");
    auto listed = test_support::run_samtools(dir, "view '" + bam_path + "'");
    ASSERT_EQ(listed.exit_code, 0);

    std::string mm, ml, mn;
    for (const std::string& column : split_text(split_text(listed.out, '\n').at(0), '\t')) {
        if (column.starts_with("MM:Z:")) mm = column;
        if (column.starts_with("ML:B:C")) ml = column;
        if (column.starts_with("MN:i:")) mn = column;
    }
    EXPECT_EQ(mn, "MN:i:" + std::to_string(modbase_sequence.size()));

    // Expected calls straight from the probabilities: threshold byte 128.
    std::vector<ModCall> expected;
    for (std::size_t i = 0; i < modbase_sequence.size(); ++i) {
        const auto step = static_cast<int>(i * 17);
        if (modbase_sequence[i] == 'A' && 255 - step >= 128) {
            expected.push_back({'A', "a", '.', i, 255 - step});
        }
    }
    for (const char* code : {"m", "h"}) {
        for (std::size_t i = 0; i < modbase_sequence.size(); ++i) {
            const auto step = static_cast<int>(i * 17);
            // A C is called when either of its channels reaches the
            // threshold, and then reported in both.
            if (modbase_sequence[i] == 'C' && step >= 128) {
                expected.push_back({'C', code, '.', i, std::string(code) == "m" ? step : 20});
            }
        }
    }
    EXPECT_EQ(test_support::decode_modbase_tags(mm, ml, modbase_sequence), expected) << mm << " " << ml;
}

TEST(SamtoolsTest, ImportsFastqHeaderTags) {
    test_support::TempDir dir;
    const common::ReadHolder read = modified_read();
    const common::ReadHolder plain = called_read("plain", "ACGT", "$$$$");
    const std::string fastq = common::fastq_header_line(read, true) + "\n" + modbase_sequence + "\n+\n" +
                              std::string(modbase_sequence.size(), '5') + "\n" +
                              common::fastq_header_line(plain, true) + "\nACGT\n+\n$$$$\n";
    const std::string fastq_path = dir.file("reads.fq");
    write_file(fastq_path, fastq);
    auto imported = test_support::run_samtools(dir, "import -T '*' -O SAM '" + fastq_path + "'");
    EXPECT_EQ(imported.exit_code, 0);
    EXPECT_EQ(imported.err, "") << fastq;
    EXPECT_NE(imported.out.find("\tmv:B:c,5,1,0,0,1,127,73,1,0,1\n"), std::string::npos) << imported.out;
    EXPECT_NE(imported.out.find("\tRG:Z:run42_model_v4_barcode07\t"), std::string::npos) << imported.out;
    EXPECT_NE(imported.out.find("\tSM:Z:barcode07\tal:Z:patient_7\t"), std::string::npos) << imported.out;
}

// Reads whose metadata SAM cannot hold as it is: values out of a tag's
// range, non-numbers, text that would split a record, an RNA sequence, and
// the longest names a record takes.
std::vector<common::ReadHolder> odd_reads() {
    std::vector<common::ReadHolder> reads;
    auto add = [&](const std::string& id, auto change) {
        common::ReadHolder read = called_read(id, "ACGTACGT", "########");
        fill_every_tag(read);
        change(*read.metadata);
        reads.push_back(std::move(read));
    };
    add("huge_counts", [](interfaces::ReadMetadata& m) {
        m.duration = std::uint64_t{1} << 40;
        m.trimmed_samples = (std::uint64_t{1} << 32) + 5;
        m.poly_tail_data->poly_tail_anchor = std::int64_t{1} << 33;
        m.poly_tail_data->poly_tail_end_2 = -(std::int64_t{1} << 35);
    });
    add("largest_counts", [](interfaces::ReadMetadata& m) {
        m.duration = 4294967295u;
        m.trimmed_samples = 4294967295u;
        m.poly_tail_data->poly_tail_anchor = 2147483647;
        m.poly_tail_data->poly_tail_end_2 = -2147483647 - 1;
    });
    add("not_numbers", [](interfaces::ReadMetadata& m) {
        m.basecall_data->mean_qscore = std::numeric_limits<float>::quiet_NaN();
        m.basecall_data->scaling_median = std::numeric_limits<float>::infinity();
        m.basecall_data->scaling_med_abs_dev = -std::numeric_limits<float>::infinity();
        m.sampling_rate = 1e-38f;
    });
    add("split_texts", [](interfaces::ReadMetadata& m) {
        m.time_stamp = "2024-03-05\t10:11:12";
        m.filename = "/runs/batch\n7.sig";
        m.basecall_data->scaling_version = "quantile\tv2";
        m.umi_tag_sequence = "ACGT\nTGCA";
        m.run_id = "run\t42";
        m.exp_start_time = "2024\r";
        m.flow_cell_id = "FAB\x01";
        m.sample_id = "sample\xc3\xa9";
        m.gpu_name = "gpu\t0";
        m.barcode_data->arrangement = "barcode\t07";
        m.barcode_data->alias = "patient\n7";
        m.read_id = "parent\tid";
    });
    add(std::string(254, 'n'), [](interfaces::ReadMetadata&) {});
    add("ignored", [](interfaces::ReadMetadata& m) {
        m.duplex_strands = interfaces::DuplexStrands{std::string(126, 'a'), std::string(127, 'b')};
    });

    common::ReadHolder rna = called_read("rna", "UUAUCGAU", "++++++++");
    fill_every_tag(rna);
    // Columns A, T and a uridine modification: every U passes the threshold.
    std::vector<std::uint8_t> probs;
    for (char base : std::string("UUAUCGAU")) {
        probs.insert(probs.end(), {0, 0, static_cast<std::uint8_t>(base == 'U' ? 230 : 0)});
    }
    test_support::add_modbase_probs(rna, "A T 17802", std::move(probs), 8, 3);
    reads.push_back(std::move(rna));
    return reads;
}

TEST(SamtoolsTest, AcceptsEveryRecordOfOddReads) {
    test_support::TempDir dir;
    std::string sam = sam_header;
    std::string fastq;
    std::size_t records = 0;
    for (const common::ReadHolder& read : odd_reads()) {
        for (const auto& line : common::sam_and_bed_lines(read, 5)) {
            sam += line.sam_line + "\n";
            ++records;
        }
        const std::string& sequence = read.datasets.at(dw::sequence).string_value();
        fastq += common::fastq_header_line(read, false) + "\n" + sequence + "\n+\n" +
                 read.datasets.at(dw::qstring).string_value() + "\n";
    }
    const std::string listed = convert_and_list(dir, sam, dir.file("odd.bam"), records);
    const std::string fastq_path = dir.file("odd.fq");
    write_file(fastq_path, fastq);

    auto imported = test_support::run_samtools(dir, "import -T '*' -O SAM '" + fastq_path + "'");
    EXPECT_EQ(imported.exit_code, 0);
    EXPECT_EQ(imported.err, "") << fastq;
    std::size_t imported_records = 0;
    for (const std::string& line : split_text(imported.out, '\n')) {
        imported_records += !line.empty() && line[0] != '@';
    }
    EXPECT_EQ(imported_records, odd_reads().size()) << imported.out;

    // The RNA read's uridines are the modified positions.
    std::string mm, ml;
    for (const std::string& column : split_text(split_text(listed, '\n').at(records - 1), '\t')) {
        if (column.starts_with("MM:Z:")) mm = column;
        if (column.starts_with("ML:B:C")) ml = column;
    }
    EXPECT_EQ(mm, "MM:Z:T+17802.,0,0,0,0;");
    EXPECT_EQ(ml, "ML:B:C,230,230,230,230");
}

}  // namespace
