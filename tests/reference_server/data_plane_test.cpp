// The reference server's read data plane through a real socket, driven by
// the library's payload code: sequences come back equal to the ones the
// signals were made from.

#include <atomic>
#include <map>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

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
using test_support::simulated_read;
using test_support::test_sequence;

namespace {

reference_server::ServerSettings small_blocks() {
    auto settings = reference_server::default_settings();
    settings.data_plane.called_block_bases = 40;
    settings.data_plane.max_completed_batch = 3;
    return settings;
}

class DataPlaneTest : public ::testing::Test {
protected:
    explicit DataPlaneTest(reference_server::ServerSettings settings = small_blocks()) : m_server(settings) {}
    void SetUp() override { m_endpoint = m_server.start(m_folder.ipc_endpoint()); }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
};

std::map<std::uint64_t, std::string> by_tag(const std::vector<Returned>& results) {
    std::map<std::uint64_t, std::string> sequences;
    for (const Returned& result : results) {
        EXPECT_TRUE(result.decoded.ok()) << result.decoded.detail;
        EXPECT_EQ(result.sub_tag, 0u);
        sequences[result.read_tag] = result.sequence;
    }
    return sequences;
}

}  // namespace

TEST_F(DataPlaneTest, SequencesComeBackAsTheSignalsWereMadeFromBatchesAndRawBlocks) {
    ReadClient client(m_endpoint);
    client.connect();
    std::map<std::uint64_t, std::string> sent;
    std::vector<common::ReadHolder> reads;
    for (std::uint64_t tag = 1; tag <= 5; ++tag) {
        sent[tag] = test_sequence(tag, 30 + 25 * tag);
        reads.push_back(simulated_read(tag, {sent[tag]}, {.lead_in = 12, .max_dwell = 2}));
    }
    ASSERT_EQ(client.push_batch({&reads[0], &reads[1], &reads[2]}), MessageType::BATCH_ACCEPTED);
    for (std::size_t i = 3; i < reads.size(); ++i) {
        for (const MessageType reply : client.push_raw(reads[i], 97)) {
            EXPECT_EQ(reply, MessageType::RAW_BLOCK_ACCEPTED);
        }
    }
    const std::vector<Returned> results = client.pull(reads.size());
    EXPECT_EQ(by_tag(results), sent);
    for (const Returned& result : results) {
        SCOPED_TRACE(result.read_tag);
        EXPECT_TRUE(result.has_moves);
        // 40 bases a block: the rest comes through GET_NEXT_CALLED_BLOCK.
        EXPECT_EQ(result.continuations, (sent[result.read_tag].size() + 39) / 40 - 1);
    }

    MessageType kind = MessageType::UNSET;
    std::int32_t value = -1;
    EXPECT_TRUE(client.pull_once(1, &kind, &value).empty());
    EXPECT_EQ(kind, MessageType::NONE_PENDING);
    EXPECT_EQ(value, 0);

    const Message stats = client.raw().exchange(MessageType::GET_STATISTICS);
    const auto* statistics = stats.get_message_data().data_as_Statistics();
    EXPECT_EQ(statistics->lifetime_reads_in(), 5u);
    EXPECT_EQ(statistics->lifetime_reads_out(), 5u);
    ASSERT_EQ(statistics->client_statistics()->size(), 1u);
    EXPECT_EQ(statistics->client_statistics()->Get(0)->input_read_count(), 5u);
    EXPECT_EQ(statistics->client_statistics()->Get(0)->output_read_count(), 5u);

    rapidjson::Document state;
    state.Parse(test_support::reply_text(client.raw().exchange(Message(ipc_tools::QueryCode::internal_state))).c_str());
    const auto& record = state["ServerInformation"]["Connected Clients"][0];
    EXPECT_EQ(record["reads_in"].GetUint(), 5u);
    EXPECT_EQ(record["reads_out"].GetUint(), 5u);
    EXPECT_EQ(record["reads_pending"].GetUint(), 0u);
    EXPECT_EQ(state["Statistics"]["lifetime_reads_out"].GetUint64(), 5u);
}

TEST_F(DataPlaneTest, SendsMovesOnlyWhenTheRequestAsksWithOne) {
    ReadClient client(m_endpoint);
    client.connect();
    const struct {
        std::int32_t value;
        bool moves;
    } rows[] = {{0, false}, {1, true}, {2, false}};
    std::uint64_t tag = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        const common::ReadHolder read = simulated_read(tag, {test_sequence(tag, 20)});
        ASSERT_EQ(client.push_batch({&read}), MessageType::BATCH_ACCEPTED);
        const auto results = client.pull(1, row.value);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].has_moves, row.moves);
        ++tag;
    }
}

TEST_F(DataPlaneTest, PiecesOfASplitReadComeBackBeforeTheirParent) {
    ReadClient client(m_endpoint);
    client.connect();
    const std::vector<std::string> pieces = {test_sequence(7, 30), test_sequence(8, 45)};
    const common::ReadHolder read = simulated_read(9, pieces, {.gap = 60});
    ASSERT_EQ(client.push_batch({&read}), MessageType::BATCH_ACCEPTED);
    const auto results = client.pull(3);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].sub_tag, 1u);
    EXPECT_EQ(results[0].sequence, pieces[0]);
    EXPECT_EQ(results[1].sub_tag, 2u);
    EXPECT_EQ(results[1].sequence, pieces[1]);
    EXPECT_EQ(results[2].sub_tag, 0u);
    EXPECT_EQ(results[2].sequence, pieces[0] + pieces[1]);
    for (const Returned& result : results) {
        EXPECT_EQ(result.read_tag, 9u);
        EXPECT_TRUE(result.decoded.ok()) << result.decoded.detail;
    }
}

TEST_F(DataPlaneTest, RefusesBlocksOutOfOrderButRestartsAReadOnARepeatedFirstBlock) {
    ReadClient client(m_endpoint);
    client.connect();
    const std::string sequence = test_sequence(3, 60);
    const common::ReadHolder read = simulated_read(3, {sequence});
    const struct {
        const char* what;
        std::vector<std::size_t> order;
        std::vector<MessageType> replies;
    } rows[] = {
        {"next block first", {1}, {MessageType::BAD_REQUEST}},
        {"block skipped", {0, 2}, {MessageType::RAW_BLOCK_ACCEPTED, MessageType::BAD_REQUEST}},
        {"block repeated", {0, 1, 1}, {MessageType::RAW_BLOCK_ACCEPTED, MessageType::RAW_BLOCK_ACCEPTED,
                                       MessageType::BAD_REQUEST}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Message> blocks = ipc_tools::make_raw_block_messages(read, client.uid(), 100);
        ASSERT_GE(blocks.size(), 3u);
        for (std::size_t i = 0; i < row.order.size(); ++i) {
            EXPECT_EQ(client.raw().exchange(Message(blocks[row.order[i]])).get_type(), row.replies[i]);
        }
    }
    // Half a read, then the whole read again from its first block.
    std::vector<Message> blocks = ipc_tools::make_raw_block_messages(read, client.uid(), 100);
    EXPECT_EQ(client.raw().exchange(Message(blocks[0])).get_type(), MessageType::RAW_BLOCK_ACCEPTED);
    EXPECT_EQ(client.raw().exchange(Message(blocks[1])).get_type(), MessageType::RAW_BLOCK_ACCEPTED);
    for (const MessageType reply : client.push_raw(read, 100)) {
        EXPECT_EQ(reply, MessageType::RAW_BLOCK_ACCEPTED);
    }
    const auto results = client.pull(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].sequence, sequence);
}

TEST_F(DataPlaneTest, RefusesTheNextBlockOfAResultThatHasNone) {
    ReadClient client(m_endpoint);
    client.connect();
    const Message reply = client.raw().exchange(MessageType::GET_NEXT_CALLED_BLOCK, client.uid(), 4, "strand");
    EXPECT_EQ(reply.get_type(), MessageType::BAD_REQUEST);
    EXPECT_EQ(test_support::reply_text(reply), "No further block of read tag 4 with strand id \"strand\" is due.");
}

namespace {

reference_server::ServerSettings tight_limits() {
    auto settings = reference_server::default_settings();
    settings.data_plane.max_queued_reads = 2;
    settings.data_plane.max_partial_reads = 1;
    settings.data_plane.max_read_samples = 5000;
    settings.data_plane.latency_ms_per_read = 60000;  // nothing leaves the queue
    return settings;
}

using DataPlaneLimitTest = test_support::FixtureWith<DataPlaneTest, tight_limits>;

// A first raw block with a duration of its own choosing, as a careless or
// hostile client could send it.
Message first_block(const std::string& uid, std::uint32_t tag, std::uint32_t duration, std::size_t samples,
                    std::uint32_t block_count) {
    return test_support::block_message(uid, {.tag = tag,
                                             .block_count = block_count,
                                             .duration = duration,
                                             .samples = test_support::level_samples(samples)});
}

}  // namespace

TEST_F(DataPlaneLimitTest, RefusesReadsPastTheLimitsAndAnswersNotReadyWhenTheQueueIsFull) {
    ReadClient client(m_endpoint);
    client.connect();
    const struct {
        const char* what;
        Message block;
        std::string reason;
    } refusals[] = {
        {"longer than the limit", first_block(client.uid(), 1, 5001, 10, 2),
         "Read refused: read r declares 5001 samples, more than the 5000 this server takes"},
        {"more samples than its duration", first_block(client.uid(), 1, 10, 11, 2),
         "Read refused: read r sends more than the 10 samples of its duration"},
    };
    for (const auto& row : refusals) {
        SCOPED_TRACE(row.what);
        const Message reply = client.raw().exchange(Message(row.block));
        EXPECT_EQ(reply.get_type(), MessageType::BAD_REQUEST);
        EXPECT_EQ(test_support::reply_text(reply), row.reason);
    }

    // One partial read is allowed, a second is not.
    EXPECT_EQ(client.raw().exchange(first_block(client.uid(), 2, 20, 10, 2)).get_type(),
              MessageType::RAW_BLOCK_ACCEPTED);
    const Message second = client.raw().exchange(first_block(client.uid(), 3, 20, 10, 2));
    EXPECT_EQ(second.get_type(), MessageType::BAD_REQUEST);
    EXPECT_EQ(test_support::reply_text(second), "Read refused: more than 1 reads begun and not finished");

    // Two reads fill the queue: a batch and a first block wait, a next block does not.
    const common::ReadHolder a = simulated_read(10, {"ACGT"});
    const common::ReadHolder b = simulated_read(11, {"GGCA"});
    ASSERT_EQ(client.push_batch({&a, &b}), MessageType::BATCH_ACCEPTED);
    EXPECT_EQ(client.push_batch({&a}), MessageType::NOT_READY);
    EXPECT_EQ(client.raw().exchange(first_block(client.uid(), 4, 10, 10, 1)).get_type(), MessageType::NOT_READY);
    Message next = test_support::block_message(client.uid(), {.kind = ipc_tools::wire::BlockKind::NEXT_RAW_BLOCK,
                                                                    .tag = 2,
                                                                    .block_index = 1,
                                                                    .block_count = 2,
                                                                    .duration = 20});
    EXPECT_EQ(client.raw().exchange(std::move(next)).get_type(), MessageType::RAW_BLOCK_ACCEPTED);
    const auto clients = m_server.state().clients();
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].reads_pending, 3u);
    EXPECT_EQ(clients[0].partial_reads, 0u);
}

namespace {

using test_support::HostileBlock;

Message batch_of(const std::string& uid, const std::vector<HostileBlock>& reads) {
    return test_support::batch_message(uid, reads, 20);
}

}  // namespace

// A batch is taken whole or refused whole: a read breaking the rules anywhere
// in it leaves none of the batch's reads queued.
TEST_F(DataPlaneLimitTest, RefusesABatchWholeWhenOneOfItsReadsBreaksTheRules) {
    ReadClient client(m_endpoint);
    client.connect();
    const HostileBlock good;
    const struct {
        const char* what;
        std::vector<HostileBlock> reads;
        std::string reason;
    } refusals[] = {
        {"no reads", {}, "Read refused: read batch holds no reads"},
        {"a read in blocks", {good, {.block_count = 2}}, "Read refused: read batch holds a read that is not whole"},
        {"a later block", {good, {.kind = ipc_tools::wire::BlockKind::NEXT_RAW_BLOCK}},
         "Read refused: read batch holds a read that is not whole"},
        {"longer than the limit", {good, {.duration = 5001, .samples = test_support::level_samples(5001)}},
         "Read refused: read r declares 5001 samples, more than the 5000 this server takes"},
        {"fewer samples than its duration", {good, good, {.duration = 12}},
         "Read refused: read r carries 10 samples for a duration of 12"},
    };
    for (const auto& row : refusals) {
        SCOPED_TRACE(row.what);
        const Message reply = client.raw().exchange(batch_of(client.uid(), row.reads));
        EXPECT_EQ(reply.get_type(), MessageType::BAD_REQUEST);
        EXPECT_EQ(test_support::reply_text(reply), row.reason);
        EXPECT_EQ(m_server.state().clients().at(0).reads_pending, 0u);
    }
    EXPECT_EQ(client.raw().exchange(batch_of(client.uid(), {good, good})).get_type(), MessageType::BATCH_ACCEPTED);
    EXPECT_EQ(m_server.state().clients().at(0).reads_pending, 2u);
}

namespace {

reference_server::ServerSettings slow_calling() {
    auto settings = reference_server::default_settings();
    settings.data_plane.latency_ms_per_read = 150;
    return settings;
}

using DataPlaneLatencyTest = test_support::FixtureWith<DataPlaneTest, slow_calling>;

}  // namespace

TEST_F(DataPlaneLatencyTest, AnswersNonePendingWhileReadsAreBeingCalled) {
    ReadClient client(m_endpoint);
    client.connect();
    const common::ReadHolder read = simulated_read(1, {"ACGTTGCA"});
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(client.push_batch({&read}), MessageType::BATCH_ACCEPTED);
    MessageType kind = MessageType::UNSET;
    std::vector<Returned> results = client.pull_once(1, &kind);
    if (std::chrono::steady_clock::now() - before < std::chrono::milliseconds(150)) {
        EXPECT_EQ(kind, MessageType::NONE_PENDING);
    }
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            if (results.empty()) {
                results = client.pull_once(1);
            }
            return !results.empty();
        },
        "the read to be called"));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(150));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].sequence, "ACGTTGCA");
}

TEST_F(DataPlaneLatencyTest, ReadsAreDroppedWithTheirClientOnDisconnectRestartAndExpiry) {
    const auto pending_reads = [&] {
        std::uint32_t pending = 0;
        for (const auto& client : m_server.state().clients()) {
            pending += client.reads_pending;
        }
        return pending;
    };
    const common::ReadHolder read = simulated_read(1, {"ACGT"});
    {
        ReadClient client(m_endpoint);
        client.connect();
        ASSERT_EQ(client.push_batch({&read}), MessageType::BATCH_ACCEPTED);
        EXPECT_EQ(client.raw().exchange(MessageType::DISCONNECT, client.uid()).get_type(), MessageType::DISCONNECTED);
        EXPECT_EQ(client.raw().exchange(MessageType::GET_FIRST_CALLED_BLOCK, client.uid(), 1).get_type(),
                  MessageType::CLIENT_NOT_RECOGNISED);
    }
    {
        ReadClient client(m_endpoint);
        client.connect();
        ASSERT_EQ(client.push_batch({&read}), MessageType::BATCH_ACCEPTED);
        EXPECT_EQ(pending_reads(), 1u);
        m_server.faults().restart_now();
        EXPECT_EQ(client.raw().exchange(MessageType::GET_FIRST_CALLED_BLOCK, client.uid(), 1).get_type(),
                  MessageType::CLIENT_NOT_RECOGNISED);
        EXPECT_EQ(m_server.state().client_count(), 0u);
    }
    {
        // A client silent for longer than its timeout_interval is forgotten.
        ReadClient client(m_endpoint);
        ReadClient other(m_endpoint);
        other.connect();
        client.raw().exchange(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast");
        const auto reply = client.raw().exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>timeout_interval=1");
        ASSERT_EQ(reply.get_type(), MessageType::CONNECTED);
        EXPECT_TRUE(test_support::wait_until([&] { return m_server.state().client_count() == 1; },
                                             "the silent client to expire", std::chrono::seconds(10)));
        EXPECT_EQ(m_server.state().clients()[0].client_uid, other.uid());
    }
}

namespace {

reference_server::ServerSettings two_clients_expiring() {
    auto settings = reference_server::default_settings();
    settings.max_clients = 2;
    settings.client_expiry_s = 1;
    return settings;
}

using DataPlaneClientLimitTest = test_support::FixtureWith<DataPlaneTest, two_clients_expiring>;

}  // namespace

// A client that names no timeout of its own and falls silent is forgotten
// with its reads after the server's expiry, which also frees its place
// under max_clients; a client naming its own timeout keeps it.
TEST_F(DataPlaneClientLimitTest, RefusesClientsPastTheCapAndExpiresSilentOnesByDefault) {
    test_support::RawClient silent(m_endpoint);
    ASSERT_EQ(silent.exchange(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast").get_type(), MessageType::SUCCESS);
    ASSERT_EQ(silent.exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>timeout_interval=0").get_type(),
              MessageType::CONNECTED);
    ReadClient kept(m_endpoint);
    kept.connect();  // timeout_interval 30
    const Message refused = silent.exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>timeout_interval=0");
    EXPECT_EQ(refused.get_type(), MessageType::BAD_REQUEST);
    EXPECT_EQ(test_support::reply_text(refused),
              "Too many clients: this server serves at most 2 at once; try again once one has disconnected");

    EXPECT_TRUE(test_support::wait_until(
        [&] {
            kept.raw().exchange(MessageType::HEARTBEAT_PING, kept.uid());
            return m_server.state().client_count() == 1;
        },
        "the silent client to expire", std::chrono::seconds(10)));
    EXPECT_EQ(m_server.state().clients().at(0).client_uid, kept.uid());
    EXPECT_EQ(silent.exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>timeout_interval=0").get_type(),
              MessageType::CONNECTED);
}

TEST_F(DataPlaneTest, ServesFourClientsPushingAndPullingTogether) {
    constexpr int client_count = 4;
    constexpr std::uint64_t reads_each = 12;
    std::vector<std::map<std::uint64_t, std::string>> sent(client_count);
    std::vector<std::map<std::uint64_t, std::string>> received(client_count);
    std::vector<std::string> uids(client_count);
    std::vector<std::thread> threads;
    for (int c = 0; c < client_count; ++c) {
        threads.emplace_back([&, c] {
            ReadClient client(m_endpoint);
            client.connect();
            uids[c] = client.uid();
            for (std::uint64_t tag = 1; tag <= reads_each; ++tag) {
                sent[c][tag] = test_sequence(100 * c + tag, 20 + 7 * tag);
                const common::ReadHolder read = simulated_read(tag, {sent[c][tag]});
                if (tag % 2 == 0) {
                    client.push_batch({&read});
                } else {
                    client.push_raw(read, 64);
                }
                for (Returned& result : client.pull_once(1)) {
                    received[c][result.read_tag] = result.sequence;
                }
            }
            for (Returned& result : client.pull(reads_each - received[c].size())) {
                received[c][result.read_tag] = result.sequence;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int c = 0; c < client_count; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(received[c], sent[c]);
    }
    for (const auto& record : m_server.state().clients()) {
        EXPECT_EQ(record.reads_in, reads_each);
        EXPECT_EQ(record.reads_out, reads_each);
    }
}

TEST_F(DataPlaneTest, AHeldBackReplyDoesNotHoldUpOtherClients) {
    ReadClient slow(m_endpoint);
    slow.connect();
    ReadClient quick(m_endpoint);
    quick.connect();
    reference_server::FaultRule stall(MessageType::HEARTBEAT_PING, reference_server::FaultAction::stall);
    stall.client = slow.uid();
    stall.delay_ms = 30000;
    stall.count = 1;
    m_server.faults().add(stall);
    std::atomic<bool> answered{false};
    std::thread waiting([&] {
        zmq::message_t frame;
        Message(MessageType::HEARTBEAT_PING, slow.uid(), 0, "").release_into(frame);
        answered = slow.raw().exchange_frame(std::move(frame), std::chrono::seconds(4)).has_value();
    });
    EXPECT_TRUE(test_support::wait_until([&] { return m_server.faults().rule_count() == 0; }, "the stall to hit"));
    const common::ReadHolder read = simulated_read(1, {"ACGTACGT"});
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(quick.raw().exchange(MessageType::HEARTBEAT_PING, quick.uid()).get_type(),
                  MessageType::HEARTBEAT_ECHO);
    }
    ASSERT_EQ(quick.push_batch({&read}), MessageType::BATCH_ACCEPTED);
    EXPECT_EQ(quick.pull(1).size(), 1u);
    EXPECT_FALSE(answered.load());
    // The reply is held for 30 s; the waiting client gives up after 4.
    waiting.join();
    EXPECT_FALSE(answered.load());
}
