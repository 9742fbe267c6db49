#include "reference_server/alignment/aligner.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <minimap.h>

#include "reference_server/model/signal_model.h"
#include "support/temp_dir.h"

namespace {

using reference_server::Aligner;
using reference_server::AlignmentHit;

using reference_server::random_bases;

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

// Two contigs of random bases, with one stretch repeated in both.
class AlignerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_repeat = random_bases(3, 800);
        m_chr1 = random_bases(1, 6000) + m_repeat + random_bases(4, 2000);
        m_chr2 = random_bases(2, 5000) + m_repeat + random_bases(5, 1000);
        std::ofstream fasta(fasta_path());
        fasta << ">chr1 first\n" << m_chr1.substr(0, 4000) << "\n" << m_chr1.substr(4000) << "\n>chr2\n" << m_chr2 << "\n";
    }

    std::string fasta_path() const { return m_dir.file("genome.fa"); }

    test_support::TempDir m_dir;
    std::string m_chr1;
    std::string m_chr2;
    std::string m_repeat;
};

TEST_F(AlignerTest, AlignsReadsWithGenuineSamRecords) {
    const Aligner aligner(fasta_path(), "-x map-hifi");
    EXPECT_EQ(aligner.sam_header(), "@SQ\tSN:chr1\tLN:8800\n@SQ\tSN:chr2\tLN:6800\n@PG\tID:aligner\tPN:minimap2\n");

    std::string mismatched = m_chr1.substr(1000, 1500);
    for (const std::size_t at : {100u, 600u, 1200u}) {
        mismatched[at] = mismatched[at] == 'A' ? 'C' : 'A';
    }
    struct Case {
        const char* what;
        std::string sequence;
        const char* genome;
        std::int32_t start;
        char direction;
        const char* nm;
    };
    const std::vector<Case> cases = {
        {"forward stretch", m_chr1.substr(1000, 1500), "chr1", 1000, '+', "NM:i:0"},
        {"reverse strand", reference_server::reverse_complement(m_chr2.substr(200, 1200)), "chr2", 200, '-', "NM:i:0"},
        {"three mismatches", mismatched, "chr1", 1000, '+', "NM:i:3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string qstring(c.sequence.size(), '5');
        const std::vector<AlignmentHit> hits = aligner.align("read-1", c.sequence, qstring);
        ASSERT_EQ(hits.size(), 1u);
        const AlignmentHit& hit = hits[0];
        EXPECT_EQ(hit.genome, c.genome);
        EXPECT_EQ(hit.genome_start, c.start);
        EXPECT_EQ(hit.genome_end, c.start + static_cast<std::int32_t>(c.sequence.size()));
        EXPECT_EQ(hit.direction, c.direction);
        EXPECT_FALSE(hit.is_secondary);
        EXPECT_FALSE(hit.is_supplementary);
        EXPECT_GT(hit.mapping_quality, 0);
        const std::vector<std::string> fields = fields_of(hit.sam_record);
        ASSERT_GE(fields.size(), 12u) << hit.sam_record;
        EXPECT_EQ(fields[0], "read-1");
        EXPECT_EQ(fields[1], c.direction == '-' ? "16" : "0");
        EXPECT_EQ(fields[2], c.genome);
        EXPECT_EQ(fields[3], std::to_string(c.start + 1));
        EXPECT_EQ(fields[4], std::to_string(hit.mapping_quality));
        EXPECT_EQ(fields[5], std::to_string(c.sequence.size()) + "M");
        EXPECT_EQ(fields[10], qstring);
        EXPECT_NE(std::find(fields.begin(), fields.end(), c.nm), fields.end()) << hit.sam_record;
        EXPECT_EQ(hit.num_correct, static_cast<std::int32_t>(c.sequence.size()) - (c.nm[5] - '0'));
        EXPECT_FLOAT_EQ(hit.coverage, 1.0f);
    }
    EXPECT_TRUE(aligner.align("random", random_bases(99, 1000), "").empty());
    EXPECT_TRUE(aligner.align("empty", "", "").empty());
    EXPECT_THROW(aligner.align("bad", "ACGT", "55"), std::invalid_argument);
}

TEST_F(AlignerTest, ReportsSecondaryAndSupplementaryAlignments) {
    const Aligner aligner(fasta_path(), "-x map-hifi");
    // The repeat maps to both contigs equally: one primary, one secondary.
    const std::vector<AlignmentHit> repeat = aligner.align("repeat", m_repeat, "");
    ASSERT_EQ(repeat.size(), 2u);
    EXPECT_FALSE(repeat[0].is_secondary);
    EXPECT_TRUE(repeat[1].is_secondary);
    EXPECT_EQ(repeat[0].mapping_quality, 0);
    EXPECT_EQ(fields_of(repeat[1].sam_record)[1], "256");

    // Half from each contig: a primary and a supplementary alignment.
    const std::string chimera = m_chr1.substr(500, 1000) + m_chr2.substr(2000, 1000);
    const std::vector<AlignmentHit> split = aligner.align("chimera", chimera, "");
    ASSERT_EQ(split.size(), 2u);
    EXPECT_FALSE(split[0].is_supplementary);
    EXPECT_TRUE(split[1].is_supplementary);
    EXPECT_NE(split[0].genome, split[1].genome);
    EXPECT_EQ(fields_of(split[1].sam_record)[1], "2048");

    const Aligner primary_only(fasta_path(), "-x map-hifi --secondary=no");
    EXPECT_EQ(primary_only.align("repeat", m_repeat, "").size(), 1u);
}

TEST_F(AlignerTest, LoadsAPrebuiltIndex) {
    // Write the index file through the library, as `minimap2 -d` would.
    mm_idxopt_t index_options;
    mm_mapopt_t map_options;
    mm_set_opt(nullptr, &index_options, &map_options);
    const std::string index_path = m_dir.file("genome.mmi");
    mm_idx_reader_t* reader = mm_idx_reader_open(fasta_path().c_str(), &index_options, index_path.c_str());
    ASSERT_NE(reader, nullptr);
    mm_idx_t* index = mm_idx_reader_read(reader, 1);
    ASSERT_NE(index, nullptr);
    mm_idx_destroy(index);
    mm_idx_reader_close(reader);

    const Aligner aligner(index_path, "");
    const std::vector<AlignmentHit> hits = aligner.align("r", m_chr2.substr(3000, 900), "");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].genome, "chr2");
    EXPECT_EQ(hits[0].genome_start, 3000);
}

TEST_F(AlignerTest, RefusesOptionsWithMinimap2sMessages) {
    struct Case {
        const char* options;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"-Z", "[ERROR] unknown option in \"-Z\""},
        {"--frobnicate", "[ERROR] unknown option in \"--frobnicate\""},
        {"-k", "[ERROR] missing option argument in \"-k\""},
        {"-x no-such-preset", "[ERROR] unknown preset 'no-such-preset'"},
        {"--secondary=maybe", "[ERROR] --secondary only takes yes or no"},
        {"-k 15 stray", "[ERROR] unexpected argument \"stray\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        try {
            Aligner aligner(fasta_path(), c.options);
            ADD_FAILURE() << "accepted";
        } catch (const reference_server::AlignerOptionsError& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
    EXPECT_NO_THROW(Aligner(fasta_path(), "  -x map-hifi\t-k 13 -w 8 --eqx --MD -a -t 4 "));
    EXPECT_THROW(Aligner(m_dir.file("missing.fa"), ""), std::runtime_error);
}

}  // namespace
