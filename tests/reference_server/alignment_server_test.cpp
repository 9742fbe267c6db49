// The reference server aligning called reads with minimap2: indices and BED
// files loaded from disk, their SAM header through GET_INDICES, aligner
// options refused as minimap2 refuses them, and reads simulated from a
// generated reference coming back aligned where they were drawn from.

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <minimap.h>

#include "apps/client/corvane.h"
#include "common/read_model/alignment_summary.h"
#include "common/read_model/read_text.h"
#include "reference_server/read_client.h"
#include "reference_server/model/read_simulator.h"
#include "reference_server/protocol/reference_server.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::ReferenceServer;
using test_support::ReadClient;
using test_support::reply_text;
using test_support::Returned;
using test_support::test_sequence;

namespace {

namespace dw = vesk::data_wrappers::v2;

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

bool has_field(const std::vector<std::string>& fields, const std::string& wanted) {
    return std::find(fields.begin(), fields.end(), wanted) != fields.end();
}

// A simulated read as a client passes it in.
common::ReadHolder holder_of(const reference_server::SimulatedRead& simulated, std::uint64_t read_tag) {
    common::ReadHolder read;
    read.read_tag = read_tag;
    read.metadata->read_id = simulated.read_id;
    read.metadata->duration = simulated.samples.size();
    read.metadata->start_time = simulated.start_time;
    read.metadata->sampling_rate = simulated.sampling_rate;
    read.metadata->daq_offset = simulated.daq_offset;
    read.metadata->daq_scaling = simulated.daq_scaling;
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::vector<std::int16_t>(simulated.samples)));
    return read;
}

// Two contigs of seeded random bases; the last 1500 bases of chr_a come
// again at the end of chr_b, so reads there map twice.
class AlignmentServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_chr_a = test_sequence(11, 20000);
        m_chr_b = test_sequence(12, 10500) + m_chr_a.substr(18500);
        std::ofstream(fasta()) << ">chr_a first contig\n"
                               << m_chr_a.substr(0, 7000) << "\n"
                               << m_chr_a.substr(7000) << "\n>chr_b\n"
                               << m_chr_b << "\n";
        std::ofstream(bed()) << "# targets\n"
                             << "chr_a\t900\t1200\tfirst\n"
                             << "chr_a\t1500\t1600\tsecond\t0\t+\n"
                             << "chr_a\t5000\t6000\tthird\n"
                             << "chr_b\t100\t200\tfourth\n";
        m_endpoint = m_server.start(m_folder.ipc_endpoint());
    }

    std::string fasta() const { return m_folder.file("genome.fa"); }
    std::string bed() const { return m_folder.file("targets.bed"); }

    // A load request repeated while the server answers LOADING.
    Message load(test_support::RawClient& client, MessageType type, const std::string& text) {
        Message reply;
        EXPECT_TRUE(test_support::wait_until(
            [&] {
                reply = client.exchange(type, "", 0, text);
                return reply.get_type() != MessageType::LOADING;
            },
            "the load of " + text, std::chrono::seconds(30)));
        return reply;
    }

    // A client registered with the index (and BED file) loaded.
    void connect(ReadClient& client, const std::string& items) {
        ASSERT_EQ(load(client.raw(), MessageType::LOAD_INDEX, fasta()).get_type(), MessageType::SUCCESS);
        ASSERT_EQ(load(client.raw(), MessageType::LOAD_BED, bed()).get_type(), MessageType::SUCCESS);
        client.connect("ref_dna_fast", items);
    }

    // The results of reads sent in one batch, in read tag order.
    std::vector<Returned> call(ReadClient& client, const std::vector<common::ReadHolder>& reads) {
        std::vector<const common::ReadHolder*> batch;
        for (const auto& read : reads) {
            batch.push_back(&read);
        }
        EXPECT_EQ(client.push_batch(batch), MessageType::BATCH_ACCEPTED);
        std::vector<Returned> results = client.pull(reads.size());
        std::sort(results.begin(), results.end(),
                  [](const Returned& a, const Returned& b) { return a.read_tag < b.read_tag; });
        return results;
    }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
    std::string m_chr_a;
    std::string m_chr_b;
};

}  // namespace

TEST_F(AlignmentServerTest, LoadsIndicesAndBedFilesFromDiskAndRefusesWhatMinimap2Refuses) {
    // An index file as minimap2 writes it, built from the same FASTA.
    const std::string index_file = m_folder.file("genome.idx");
    {
        mm_idxopt_t index_options;
        mm_mapopt_t map_options;
        mm_set_opt(nullptr, &index_options, &map_options);
        mm_idx_reader_t* reader = mm_idx_reader_open(fasta().c_str(), &index_options, index_file.c_str());
        ASSERT_NE(reader, nullptr);
        mm_idx_destroy(mm_idx_reader_read(reader, 1));
        mm_idx_reader_close(reader);
    }
    std::ofstream(m_folder.file("empty.fa")) << "";
    std::ofstream(m_folder.file("broken.bed")) << "chr_a\t1\t5\nchr_a\tone\t9\n";

    const std::string with = ":>minimap_opt_string=";
    const struct {
        MessageType request;
        std::string text;
        MessageType reply;
        std::string reply_text;
    } rows[] = {
        {MessageType::LOAD_INDEX, fasta(), MessageType::SUCCESS, ""},
        {MessageType::LOAD_INDEX, fasta() + with + "-x map-hifi -k 15 --secondary=no", MessageType::SUCCESS, ""},
        {MessageType::LOAD_INDEX, index_file, MessageType::SUCCESS, ""},
        {MessageType::LOAD_INDEX, fasta() + with + "-Z", MessageType::INVALID_ALIGNER_OPTIONS,
         "[ERROR] unknown option in \"-Z\""},
        {MessageType::LOAD_INDEX, fasta() + with + "-x nonsense", MessageType::INVALID_ALIGNER_OPTIONS,
         "[ERROR] unknown preset 'nonsense'"},
        {MessageType::LOAD_INDEX, fasta() + with + "-k", MessageType::INVALID_ALIGNER_OPTIONS,
         "[ERROR] missing option argument in \"-k\""},
        {MessageType::LOAD_INDEX, "/reference/sample.mmi" + with + "--cs=wide", MessageType::INVALID_ALIGNER_OPTIONS,
         "[ERROR] --cs only takes 'short' or 'long'"},
        {MessageType::LOAD_INDEX, m_folder.file("empty.fa"), MessageType::REQUEST_FAILED,
         "Could not load alignment index " + m_folder.file("empty.fa") + ": the alignment index " +
             m_folder.file("empty.fa") + " holds no sequence"},
        {MessageType::LOAD_BED, bed(), MessageType::SUCCESS, ""},
        {MessageType::LOAD_BED, m_folder.file("broken.bed"), MessageType::REQUEST_FAILED,
         "Could not load bed file " + m_folder.file("broken.bed") + ": BED line 2 is not a region"},
    };
    test_support::RawClient client(m_endpoint);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const Message reply = load(client, row.request, row.text);
        EXPECT_EQ(reply.get_type(), row.reply);
        EXPECT_EQ(reply_text(reply), row.reply_text);
    }

    const std::string header = "@SQ\tSN:chr_a\tLN:20000\n@SQ\tSN:chr_b\tLN:12000\n@PG\tID:aligner\tPN:minimap2\n";
    const Message indices = client.exchange(MessageType::GET_INDICES);
    std::map<std::string, std::string> listed;
    for (const auto* entry : *indices.get_message_data().data_as_ConfigList()->index_headers()) {
        listed[entry->name()->str()] = entry->header()->str();
    }
    EXPECT_EQ(listed, (std::map<std::string, std::string>{{fasta(), header}, {index_file, header}}));

    // Only what loaded admits a client.
    ReadClient refused(m_endpoint);
    ASSERT_EQ(refused.raw().exchange(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast").get_type(), MessageType::SUCCESS);
    const Message reply = refused.raw().exchange(MessageType::CONNECT, "", 1,
                                                 "ref_dna_fast:>align_ref=" + fasta() + ">minimap_opt_string=-k 17");
    EXPECT_EQ(reply.get_type(), MessageType::INVALID_INDEX);
}

TEST_F(AlignmentServerTest, SimulatedReadsComeBackAlignedWhereTheyWereDrawnFrom) {
    ReadClient client(m_endpoint);
    connect(client, ">align_ref=" + fasta());
    // Drawn from the unique parts of the contigs only, so each maps once.
    reference_server::ReadSimulator simulator({.seed = 5, .length = 700, .max_lead_in = 40},
                                              {{"chr_a", m_chr_a.substr(0, 18000)}, {"chr_b", m_chr_b.substr(0, 10000)}});
    std::map<std::uint64_t, reference_server::SimulatedRead> sent;
    std::vector<common::ReadHolder> reads;
    for (std::uint64_t tag = 1; tag <= 10; ++tag) {
        sent[tag] = simulator.next();
        reads.push_back(holder_of(sent[tag], tag));
    }
    std::vector<Returned> results = call(client, reads);
    ASSERT_EQ(results.size(), reads.size());
    for (Returned& result : results) {
        const reference_server::SimulatedRead& truth = sent.at(result.read_tag);
        SCOPED_TRACE(truth.source);
        ASSERT_TRUE(result.decoded.ok()) << result.decoded.detail;
        ASSERT_EQ(result.sequence, truth.sequence);
        common::update_alignment_metadata(result.read);
        ASSERT_TRUE(result.read.metadata->alignment_data.has_value());
        const auto& alignment = *result.read.metadata->alignment_data;

        // "name:start-end:strand"
        const auto colon = truth.source.find(':');
        const auto dash = truth.source.find('-', colon);
        const auto last = truth.source.rfind(':');
        const std::string genome = truth.source.substr(0, colon);
        const int start = std::stoi(truth.source.substr(colon + 1, dash - colon - 1));
        const int end = std::stoi(truth.source.substr(dash + 1, last - dash - 1));
        EXPECT_EQ(alignment.genome, genome);
        EXPECT_EQ(alignment.genome_start, start);
        EXPECT_EQ(alignment.genome_end, end);
        EXPECT_EQ(alignment.direction, truth.source.substr(last + 1));
        EXPECT_EQ(alignment.identity, 1.0f);
        EXPECT_EQ(alignment.coverage, 1.0f);
        EXPECT_EQ(alignment.num_events, 700);
        EXPECT_EQ(alignment.num_alignments, 1);
        EXPECT_EQ(alignment.num_secondary_alignments, 0);
        EXPECT_GT(alignment.mapping_quality, 0);

        const auto fields = fields_of(result.read.metadata->sam_record);
        ASSERT_GE(fields.size(), 11u);
        EXPECT_EQ(fields[0], truth.read_id);
        EXPECT_EQ(fields[1], alignment.direction == "+" ? "0" : "16");
        EXPECT_EQ(fields[2], genome);
        EXPECT_EQ(fields[3], std::to_string(start + 1));
        EXPECT_EQ(fields[5], "700M");
        EXPECT_TRUE(has_field(fields, "NM:i:0"));
    }
}

TEST_F(AlignmentServerTest, CountsBedHitsAndReportsSecondarySupplementaryAndUnmappedAlignments) {
    ReadClient client(m_endpoint);
    connect(client, ">align_ref=" + fasta() + ">bed_file=" + bed());
    const struct {
        const char* what;
        std::string sequence;
        std::vector<std::string> flags;  // SAM flag of each alignment, in order
        std::vector<std::string> bed_lines;  // of the first alignment
    } rows[] = {
        {"two regions", m_chr_a.substr(1000, 800), {"0"}, {"chr_a\t900\t1200\tfirst", "chr_a\t1500\t1600\tsecond\t0\t+"}},
        {"no region", m_chr_a.substr(8000, 800), {"0"}, {}},
        {"reverse strand", reference_server::reverse_complement(m_chr_b.substr(50, 800)), {"16"},
         {"chr_b\t100\t200\tfourth"}},
        {"two contigs", m_chr_a.substr(3000, 700) + m_chr_b.substr(6000, 700), {"0", "2048"}, {}},
        {"repeat", m_chr_a.substr(18700, 1000), {"0", "256"}, {}},
        {"nowhere", test_sequence(99, 600), {"4"}, {}},
    };
    std::vector<common::ReadHolder> reads;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        reads.push_back(test_support::simulated_read(i + 1, {rows[i].sequence}));
    }
    std::vector<Returned> results = call(client, reads);
    ASSERT_EQ(results.size(), reads.size());

    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(row.what);
        Returned& result = results[i];
        ASSERT_TRUE(result.decoded.ok()) << result.decoded.detail;
        common::update_alignment_metadata(result.read);
        const auto lines = common::sam_and_bed_lines(result.read, 5.0f);
        std::vector<std::string> flags;
        for (const auto& line : lines) {
            const auto fields = fields_of(line.sam_line);
            ASSERT_GE(fields.size(), 11u);
            flags.push_back(fields[1]);
        }
        EXPECT_EQ(flags, row.flags);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].bed_lines, row.bed_lines);
        const auto& alignment = *result.read.metadata->alignment_data;
        EXPECT_EQ(alignment.bed_hits, static_cast<std::int32_t>(row.bed_lines.size()));
        EXPECT_EQ(alignment.num_secondary_alignments, row.flags.size() > 1 && row.flags[1] == "256" ? 1 : 0);
        EXPECT_EQ(alignment.num_supplementary_alignments, row.flags.size() > 1 && row.flags[1] == "2048" ? 1 : 0);
    }
}

// The whole road through the public client: the header it asks for, and
// SAM lines of the reads it gets back.
TEST_F(AlignmentServerTest, TheClientGetsTheHeaderAndAlignedSamLines) {
    apps::Corvane client(m_endpoint, "ref_dna_fast");
    vesk::data_wrappers::v3::Metadata params;
    params.set<std::string>("align_ref", fasta());
    params.set<std::string>("bed_file", bed());
    params.set<std::uint32_t>("query_timeout", 2000);
    ASSERT_EQ(client.set_params(params), apps::Result::success);
    ASSERT_EQ(client.connect(), apps::Result::success);
    std::string header;
    ASSERT_EQ(client.get_alignment_sam_header(header), apps::Result::success);
    EXPECT_EQ(header.substr(0, header.find('\n')), "@SQ\tSN:chr_a\tLN:20000");

    apps::Read read;
    read.get_readholder() = test_support::simulated_read(7, {m_chr_a.substr(5200, 600)});
    read.get_readholder().metadata->daq_offset = 0.0f;
    read.get_readholder().metadata->daq_scaling = 0.1f;
    ASSERT_EQ(client.pass_read(read, 1000), apps::PassReadResult::success);
    std::vector<apps::Read> returned;
    ASSERT_TRUE(test_support::wait_until(
        [&] {
            std::vector<std::vector<apps::Read>> completed;
            client.get_completed_reads(completed);
            for (auto& group : completed) {
                for (auto& one : group) {
                    returned.push_back(std::move(one));
                }
            }
            return !returned.empty();
        },
        "the aligned read", std::chrono::seconds(20)));
    const auto lines = returned.front().extract_sam_and_bed_lines(5.0f);
    ASSERT_EQ(lines.size(), 1u);
    const auto fields = fields_of(lines[0].sam_line);
    ASSERT_GE(fields.size(), 11u);
    EXPECT_EQ(fields[2], "chr_a");
    EXPECT_EQ(fields[3], "5201");
    EXPECT_EQ(fields[5], "600M");
    EXPECT_EQ(lines[0].bed_lines, std::vector<std::string>{"chr_a\t5000\t6000\tthird"});
    EXPECT_EQ(client.finish(10), apps::Result::success);
}
