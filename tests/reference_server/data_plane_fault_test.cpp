// Faults of the reference server's read data plane, injected in process,
// from a settings file and through the run-time control socket.

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "reference_server/read_client.h"
#include "reference_server/protocol/reference_server.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::DecodeFailure;
using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;
using reference_server::ReferenceServer;
using test_support::ReadClient;
using test_support::simulated_read;
using test_support::test_sequence;

namespace {

reference_server::ServerSettings settings_with(std::vector<FaultRule> faults = {}) {
    auto settings = reference_server::default_settings();
    settings.data_plane.called_block_bases = 40;
    // Reads are called before their push is answered, so that a fault meant
    // for a pull of results finds them ready rather than hitting an empty pull.
    settings.data_plane.caller_threads = 0;
    settings.faults = std::move(faults);
    return settings;
}

class DataPlaneFaultTest : public ::testing::Test {
protected:
    explicit DataPlaneFaultTest(reference_server::ServerSettings settings = settings_with())
        : m_server(std::move(settings)) {}
    void SetUp() override {
        m_endpoint = m_server.start(m_folder.ipc_endpoint(), m_folder.ipc_endpoint("control"));
        m_client = std::make_unique<ReadClient>(m_endpoint);
        m_client->connect();
    }

    // Pushes a read in raw blocks as the client library does: a first block
    // answered NOT_READY is sent again. Returns how often it was refused.
    int push_retrying(const common::ReadHolder& read, std::uint64_t block_size) {
        std::vector<Message> blocks = ipc_tools::make_raw_block_messages(read, m_client->uid(), block_size);
        int refused = 0;
        while (m_client->raw().exchange(Message(blocks[0])).get_type() == MessageType::NOT_READY) {
            if (++refused > 10) {
                return refused;
            }
        }
        for (std::size_t i = 1; i < blocks.size(); ++i) {
            EXPECT_EQ(m_client->raw().exchange(std::move(blocks[i])).get_type(), MessageType::RAW_BLOCK_ACCEPTED);
        }
        return refused;
    }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
    std::unique_ptr<ReadClient> m_client;
};

}  // namespace

TEST_F(DataPlaneFaultTest, RefusesTheFirstBlockOfEveryThirdReadOnce) {
    FaultRule rule(MessageType::PASS_FIRST_RAW_BLOCK, FaultAction::reply, MessageType::NOT_READY);
    rule.every = 3;
    rule.once_per_read = true;
    m_server.faults().add(rule);
    std::set<std::uint64_t> refused;
    for (std::uint64_t tag = 1; tag <= 7; ++tag) {
        const int times = push_retrying(simulated_read(tag, {test_sequence(tag, 30)}), 50);
        EXPECT_LE(times, 1) << tag;
        if (times > 0) {
            refused.insert(tag);
        }
    }
    EXPECT_EQ(refused, (std::set<std::uint64_t>{3, 6}));
    EXPECT_EQ(m_client->pull(7).size(), 7u);
}

TEST_F(DataPlaneFaultTest, RulesMatchByBlockIndexClientAndSkip) {
    const common::ReadHolder read = simulated_read(1, {test_sequence(1, 60)});
    FaultRule later_block(MessageType::PASS_NEXT_RAW_BLOCK, FaultAction::reply, MessageType::NOT_READY);
    later_block.block_index = 2;
    later_block.count = 1;
    m_server.faults().add(later_block);
    std::vector<MessageType> replies = m_client->push_raw(read, 100);
    ASSERT_GE(replies.size(), 3u);
    EXPECT_EQ(replies[0], MessageType::RAW_BLOCK_ACCEPTED);
    EXPECT_EQ(replies[1], MessageType::RAW_BLOCK_ACCEPTED);
    EXPECT_EQ(replies[2], MessageType::NOT_READY);

    ReadClient other(m_endpoint);
    other.connect("ref_dna_fast", ">client_name=other");
    FaultRule by_name(MessageType::HEARTBEAT_PING, FaultAction::reply, MessageType::REQUEST_FAILED, "named");
    by_name.client = "other";
    by_name.skip = 2;
    by_name.value = 7;
    m_server.faults().add(by_name);
    EXPECT_EQ(m_client->raw().exchange(MessageType::HEARTBEAT_PING, m_client->uid()).get_type(),
              MessageType::HEARTBEAT_ECHO);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(other.raw().exchange(MessageType::HEARTBEAT_PING, other.uid()).get_type(),
                  MessageType::HEARTBEAT_ECHO);
    }
    const Message hit = other.raw().exchange(MessageType::HEARTBEAT_PING, other.uid());
    EXPECT_EQ(hit.get_type(), MessageType::REQUEST_FAILED);
    EXPECT_EQ(hit.get_message_data().data_as_Reply()->value(), 7);
    EXPECT_EQ(test_support::reply_text(hit), "named");
}

TEST_F(DataPlaneFaultTest, LostReadsAreReportedOnceAndDropped) {
    const common::ReadHolder a = simulated_read(1, {"ACGTACGT"});
    const common::ReadHolder b = simulated_read(2, {"TTGGCCAA"});
    ASSERT_EQ(m_client->push_batch({&a, &b}), MessageType::BATCH_ACCEPTED);
    m_server.faults().add(FaultRule(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::lose_reads,
                                    MessageType::NONE_PENDING, "", 0, 1));
    const struct {
        std::int32_t value;
    } rows[] = {{1}, {0}};
    for (const auto& row : rows) {
        MessageType kind = MessageType::UNSET;
        std::int32_t value = -1;
        EXPECT_TRUE(m_client->pull_once(1, &kind, &value).empty());
        EXPECT_EQ(kind, MessageType::NONE_PENDING);
        EXPECT_EQ(value, row.value);
    }
    EXPECT_EQ(m_server.state().clients()[0].reads_pending, 0u);
    EXPECT_EQ(m_server.state().clients()[0].reads_out, 0u);
}

TEST_F(DataPlaneFaultTest, SlowCallingHoldsBackOnlyTheReadsItHits) {
    m_server.faults().add(FaultRule(MessageType::PASS_READ_BATCH, FaultAction::slow_calling, MessageType::UNSET, "",
                                    60000, 1));
    const common::ReadHolder slow = simulated_read(1, {"ACGTACGT"});
    const common::ReadHolder quick = simulated_read(2, {"TTGGCCAA"});
    ASSERT_EQ(m_client->push_batch({&slow}), MessageType::BATCH_ACCEPTED);
    ASSERT_EQ(m_client->push_batch({&quick}), MessageType::BATCH_ACCEPTED);
    const auto results = m_client->pull(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].read_tag, 2u);
    EXPECT_EQ(m_server.state().clients()[0].reads_pending, 1u);
}

TEST_F(DataPlaneFaultTest, MalformedResultsAreTheOnesTheClientMustReject) {
    const struct {
        FaultAction action;
        MessageType request;
        DecodeFailure failure;
    } rows[] = {
        {FaultAction::zero_duration, MessageType::GET_FIRST_CALLED_BLOCK, DecodeFailure::zero_duration},
        {FaultAction::long_genome_name, MessageType::GET_FIRST_CALLED_BLOCK, DecodeFailure::genome_name_too_long},
        {FaultAction::bad_orientation, MessageType::GET_FIRST_CALLED_BLOCK, DecodeFailure::malformed_data},
        {FaultAction::empty_base_mod_alphabet, MessageType::GET_FIRST_CALLED_BLOCK, DecodeFailure::malformed_data},
        {FaultAction::short_context_mask, MessageType::GET_FIRST_CALLED_BLOCK, DecodeFailure::malformed_data},
        {FaultAction::wrong_continuation_kind, MessageType::GET_NEXT_CALLED_BLOCK, DecodeFailure::failed_continuation},
    };
    std::uint64_t tag = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(reference_server::to_string(row.action));
        const common::ReadHolder read = simulated_read(tag, {test_sequence(tag, 90)});
        ASSERT_EQ(m_client->push_batch({&read}), MessageType::BATCH_ACCEPTED);
        m_server.faults().add(FaultRule(row.request, row.action, MessageType::UNSET, "", 0, 1));
        const auto results = m_client->pull(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].decoded.failure, row.failure) << results[0].decoded.detail;
        ++tag;
    }

    // Two results in a batch of the read-batch kind, which classifies as a
    // batch of reads sent to a server.
    const common::ReadHolder a = simulated_read(tag, {"ACGT"});
    const common::ReadHolder b = simulated_read(tag + 1, {"TGCA"});
    ASSERT_EQ(m_client->push_batch({&a, &b}), MessageType::BATCH_ACCEPTED);
    m_server.faults().add(FaultRule(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::wrong_batch_kind,
                                    MessageType::UNSET, "", 0, 1));
    MessageType kind = MessageType::UNSET;
    m_client->pull_once(1, &kind);
    EXPECT_EQ(kind, MessageType::PASS_READ_BATCH);
}

TEST_F(DataPlaneFaultTest, RestartsAfterAndEveryNRequestsForgettingReads) {
    const std::string uid = m_client->uid();
    const common::ReadHolder read = simulated_read(1, {"ACGT"});
    m_server.faults().restart_every(3);
    ASSERT_EQ(m_client->push_batch({&read}), MessageType::BATCH_ACCEPTED);
    EXPECT_EQ(m_client->raw().exchange(MessageType::HEARTBEAT_PING, uid).get_type(), MessageType::HEARTBEAT_ECHO);
    EXPECT_EQ(m_client->raw().exchange(MessageType::HEARTBEAT_PING, uid).get_type(), MessageType::HEARTBEAT_ECHO);
    EXPECT_EQ(m_client->raw().exchange(MessageType::GET_FIRST_CALLED_BLOCK, uid, 1).get_type(),
              MessageType::CLIENT_NOT_RECOGNISED);
    // ... and again three requests later.
    m_client->connect();
    EXPECT_EQ(m_client->raw().exchange(MessageType::HEARTBEAT_PING, m_client->uid()).get_type(),
              MessageType::CLIENT_NOT_RECOGNISED);
}

TEST_F(DataPlaneFaultTest, TheControlSocketSetsFaultsAndRestartsAtRunTime) {
    zmq::context_t context(1);
    zmq::socket_t control(context, zmq::socket_type::req);
    control.set(zmq::sockopt::linger, 0);
    control.set(zmq::sockopt::rcvtimeo, 5000);
    control.connect(m_server.control_endpoint());
    const auto command = [&](const std::string& text) {
        control.send(zmq::buffer(text), zmq::send_flags::none);
        zmq::message_t answer;
        EXPECT_TRUE(control.recv(answer).has_value());
        return answer.to_string();
    };
    const struct {
        std::string command;
        std::string answer;
    } rows[] = {
        {R"({"command": "add_fault", "fault": {"request": "HEARTBEAT_PING", "reply": "SUCCESS", "count": 1}})",
         R"({"ok":true})"},
        {R"({"command": "status"})",
         R"({"ok":true,"fault_rules":1,"clients":1,"requests_answered":2,"indices":0,"loads":0})"},
        {R"({"command": "unload_index", "path": "/nothing/here.fa"})", R"({"ok":true,"unloaded":0})"},
        {R"({"command": "unload_index"})", R"({"ok":false,"error":"\"path\" must be a non-empty string"})"},
        {R"({"command": "add_fault", "fault": {"request": "HEARTBEAT_PING", "delay": 5}})",
         R"({"ok":false,"error":"fault: unknown member \"delay\""})"},
        {R"({"command": "restart_every", "requests": -1})",
         R"({"ok":false,"error":"\"requests\" must be a non-negative integer"})"},
        {R"({"command": "explode"})", R"({"ok":false,"error":"unknown command \"explode\""})"},
        // Only a server program, which set a stop handler, takes "stop".
        {R"({"command": "stop"})", R"({"ok":false,"error":"stop is not available in this server"})"},
        {"{", R"({"ok":false,"error":"command is not valid JSON: Missing a name for object member."})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        EXPECT_EQ(command(row.command), row.answer);
    }
    EXPECT_EQ(m_client->raw().exchange(MessageType::HEARTBEAT_PING, m_client->uid()).get_type(), MessageType::SUCCESS);
    EXPECT_EQ(command(R"({"command": "restart"})"), R"({"ok":true})");
    EXPECT_TRUE(test_support::wait_until([&] { return m_server.state().client_count() == 0; }, "the restart"));
}

namespace {

class SettingsFileFaultTest : public DataPlaneFaultTest {
protected:
    SettingsFileFaultTest()
        : DataPlaneFaultTest(reference_server::parse_settings(R"({
              "data_plane": {"called_block_bases": 40},
              "faults": [{"request": "GET_FIRST_CALLED_BLOCK", "action": "reply", "reply": "NONE_PENDING",
                          "value": 1, "skip": 1, "count": 1}]})")) {}
};

}  // namespace

TEST_F(SettingsFileFaultTest, FaultsFromTheSettingsFileApply) {
    std::vector<std::int32_t> values;
    for (int i = 0; i < 3; ++i) {
        MessageType kind = MessageType::UNSET;
        std::int32_t value = -1;
        m_client->pull_once(1, &kind, &value);
        EXPECT_EQ(kind, MessageType::NONE_PENDING);
        values.push_back(value);
    }
    EXPECT_EQ(values, (std::vector<std::int32_t>{0, 1, 0}));
}
