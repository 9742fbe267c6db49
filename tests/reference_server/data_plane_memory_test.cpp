// What one client can make the reference server's data plane hold, tried
// as a hostile client on loopback would: a signal of gaps that makes a
// piece every few samples, results whose further blocks are never pulled,
// a batch past the queue limit, and reads begun that declare far more than
// they send. Each case asserts a bound on what is held.

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference_server/hostile_blocks.h"
#include "reference_server/read_client.h"
#include "reference_server/protocol/reference_server.h"
#include "support/fixture_with.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::ReferenceServer;
using test_support::ReadClient;
using test_support::Returned;

namespace {

namespace wire = ipc_tools::wire;

// A first raw block as a hostile client writes it: any samples, any
// declared duration.
Message raw_block(const std::string& uid,
                  std::uint32_t tag,
                  const std::vector<std::int16_t>& samples,
                  std::uint32_t duration,
                  std::uint32_t block_count = 1) {
    return test_support::block_message(
        uid, {.tag = tag, .block_count = block_count, .duration = duration, .samples = samples, .read_id = "hostile"});
}

Message batch_of_empty_reads(const std::string& uid, std::uint32_t first_tag, std::size_t reads) {
    const test_support::HostileBlock empty{.duration = 0, .samples = {}, .read_id = "empty"};
    return test_support::batch_message(uid, std::vector<test_support::HostileBlock>(reads, empty), first_tag);
}

std::uint64_t virtual_memory_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            return std::stoull(line.substr(7));
        }
    }
    return 0;
}

class DataPlaneMemoryTest : public ::testing::Test {
protected:
    explicit DataPlaneMemoryTest(reference_server::ServerSettings settings) : m_server(std::move(settings)) {}
    void SetUp() override { m_endpoint = m_server.start(m_folder.ipc_endpoint()); }

    const reference_server::ClientRecord& record() {
        m_clients = m_server.state().clients();
        return m_clients.at(0);
    }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
    std::vector<reference_server::ClientRecord> m_clients;
};

// Reads are called on the server thread, so each answer shows what the
// request left held.
reference_server::ServerSettings small_budget() {
    auto settings = reference_server::default_settings();
    settings.data_plane.caller_threads = 0;
    settings.data_plane.called_block_bases = 500;
    settings.data_plane.max_queued_bytes = 1 << 20;
    settings.data_plane.max_queued_reads = 10;
    return settings;
}

using DataPlaneBudgetTest = test_support::FixtureWith<DataPlaneMemoryTest, small_budget>;

reference_server::ServerSettings large_budget() {
    auto settings = reference_server::default_settings();
    settings.data_plane.max_queued_bytes = 1ULL << 40;
    return settings;
}

using DataPlaneDeclaredSizeTest = test_support::FixtureWith<DataPlaneMemoryTest, large_budget>;

}  // namespace

TEST_F(DataPlaneBudgetTest, ASignalOfGapsMakesNoMorePiecesThanTheCap) {
    ReadClient client(m_endpoint);
    client.connect();
    // One base and one open-pore sample, 10,000 times over: a piece every
    // 6 samples without the cap.
    std::vector<std::int16_t> gaps;
    for (int i = 0; i < 10000; ++i) {
        gaps.insert(gaps.end(), {300, 300, 300, 300, 300, 1400});
    }
    ASSERT_EQ(client.raw().exchange(raw_block(client.uid(), 1, gaps, gaps.size())).get_type(),
              MessageType::RAW_BLOCK_ACCEPTED);
    const std::vector<Returned> results = client.pull(257, 0);
    ASSERT_EQ(results.size(), 257u);  // 256 pieces and their parent
    EXPECT_TRUE(client.pull_once(0).empty());
    EXPECT_EQ(results[0].sequence.size(), 1u);
    // The rest of the read past the last gap allowed is the last piece.
    EXPECT_EQ(results[255].sub_tag, 256u);
    EXPECT_EQ(results[255].sequence.size(), 10000u - 255u);
    EXPECT_EQ(results[256].sub_tag, 0u);
    EXPECT_EQ(results[256].sequence.size(), 10000u);
}

TEST_F(DataPlaneBudgetTest, FurtherBlocksNeverPulledCountAgainstTheBudget) {
    ReadClient client(m_endpoint);
    client.connect();
    // Results of 10,000 bases, each 20 blocks of 500: only the first blocks
    // are pulled, as a client that never asks for the rest.
    std::uint32_t tag = 1;
    bool refused = false;
    std::vector<std::pair<std::uint32_t, std::string>> sent;  // read tag, strand id
    const auto note_first_blocks = [&](const Message& reply) {
        const wire::Envelope& envelope = reply.get_message_data();
        if (const wire::ReadBlock* block = envelope.data_as_ReadBlock()) {
            sent.emplace_back(block->read_tag(), block->strand_id()->str());
        } else if (const wire::ReadBatch* batch = envelope.data_as_ReadBatch()) {
            for (const wire::ReadBlock* first : *batch->blocks()) {
                sent.emplace_back(first->read_tag(), first->strand_id()->str());
            }
        }
    };
    for (int i = 0; i < 100 && !refused; ++i) {
        const common::ReadHolder read = test_support::simulated_read(tag++, {test_support::test_sequence(i, 10000)});
        refused = client.push_raw(read, 1 << 20).front() == MessageType::NOT_READY;
        note_first_blocks(client.raw().exchange(MessageType::GET_FIRST_CALLED_BLOCK, client.uid(), 0));
        ASSERT_LE(record().bytes_held, small_budget().data_plane.max_queued_bytes);
    }
    EXPECT_TRUE(refused) << "the reads kept coming";
    EXPECT_GT(record().bytes_held, 1u << 19);
    EXPECT_EQ(record().reads_pending, 0u);

    // Pulling what is due empties the budget, and reads are taken again.
    for (const auto& [read_tag, strand_id] : sent) {
        while (client.raw()
                   .exchange(MessageType::GET_NEXT_CALLED_BLOCK, client.uid(), static_cast<std::int32_t>(read_tag),
                             strand_id)
                   .get_type() == MessageType::RETURN_NEXT_CALLED_BLOCK) {
        }
    }
    EXPECT_LT(record().bytes_held, 1000u);
    const common::ReadHolder read = test_support::simulated_read(tag, {"ACGTACGT"});
    EXPECT_EQ(client.push_raw(read, 1 << 20).front(), MessageType::RAW_BLOCK_ACCEPTED);
}

TEST_F(DataPlaneBudgetTest, ABatchMustFitTheQueueWhole) {
    ReadClient client(m_endpoint);
    client.connect();
    const struct {
        const char* what;
        std::size_t reads;
        MessageType reply;
        std::uint32_t pending_after;
    } rows[] = {
        {"fits", 6, MessageType::BATCH_ACCEPTED, 6},
        {"fits once the queue has room", 6, MessageType::NOT_READY, 6},
        {"can never fit", 11, MessageType::BAD_REQUEST, 6},
        {"fills the queue", 4, MessageType::BATCH_ACCEPTED, 10},
    };
    std::uint32_t tag = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Message reply = client.raw().exchange(batch_of_empty_reads(client.uid(), tag, row.reads));
        tag += static_cast<std::uint32_t>(row.reads);
        EXPECT_EQ(reply.get_type(), row.reply);
        if (row.reply == MessageType::BAD_REQUEST) {
            EXPECT_EQ(test_support::reply_text(reply),
                      "Read refused: a batch of 11 reads, more than the 10 this server queues for a client");
        }
        EXPECT_EQ(record().reads_pending, row.pending_after);
    }
}

TEST_F(DataPlaneDeclaredSizeTest, ReadsBegunHoldWhatTheySentNotWhatTheyDeclared) {
    ReadClient client(m_endpoint);
    client.connect();
    // 64 reads declaring 100 million samples each, of which 1,000 are sent:
    // reserved up front, that would be 12.8 GB of address space.
    const std::uint64_t before = virtual_memory_kib();
    const std::vector<std::int16_t> start(1000, 300);
    for (std::uint32_t tag = 1; tag <= 64; ++tag) {
        ASSERT_EQ(client.raw().exchange(raw_block(client.uid(), tag, start, 100'000'000, 400)).get_type(),
                  MessageType::RAW_BLOCK_ACCEPTED);
    }
    EXPECT_EQ(record().partial_reads, 64u);
    EXPECT_LT(virtual_memory_kib(), before + (1u << 20)) << "more than 1 GiB more address space";
    // What they declare counts against the budget all the same.
    EXPECT_EQ(record().bytes_held, 64ULL * 200'000'000);
}

TEST_F(DataPlaneBudgetTest, AReadBegunCountsItsDeclaredSizeAgainstTheBudget) {
    ReadClient client(m_endpoint);
    client.connect();
    const std::vector<std::int16_t> start(1000, 300);
    // Alone, a read larger than the budget (1 MiB) is taken; a second one waits.
    EXPECT_EQ(client.raw().exchange(raw_block(client.uid(), 1, start, 5'000'000, 2)).get_type(),
              MessageType::RAW_BLOCK_ACCEPTED);
    EXPECT_EQ(client.raw().exchange(raw_block(client.uid(), 2, start, 1'000, 1)).get_type(), MessageType::NOT_READY);
    EXPECT_EQ(record().bytes_held, 10'000'000u);
}
