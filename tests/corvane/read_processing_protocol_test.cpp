// The read exchange against the reference server over ipc://: what goes out
// and comes back for queued reads, how each failure ends it, and how it
// behaves around the end of data.

#include "corvane/read_processing_protocol.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/logger.h"
#include "corvane/client_connection_state.h"
#include "corvane/connection_protocol.h"
#include "corvane/read_buffer.h"
#include "reference_server/protocol/reference_server.h"
#include "reference_server/model/signal_model.h"
#include "support/raw_reads.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

using corvane::BufferQueueReadsResult;
using corvane::ConnectionError;
using corvane::ConnectionErrorInfo;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;
using reference_server::RequestRecord;
using test_support::raw_read;
using test_support::wait_until;

constexpr unsigned int reply_timeout_ms = 1500;
// Tags from 2^31 up travel as the same 32-bit pattern.
constexpr std::uint64_t high_tag = 0x80000005u;

FaultRule always(MessageType request, MessageType reply) { return {request, FaultAction::reply, reply, "", 0, 0}; }
FaultRule once(MessageType request, MessageType reply) { return {request, FaultAction::reply, reply, "", 0, 1}; }

reference_server::ServerSettings settings_with(std::uint32_t called_block_bases) {
    reference_server::ServerSettings settings = reference_server::default_settings();
    if (called_block_bases != 0) {
        settings.data_plane.called_block_bases = called_block_bases;
    }
    return settings;
}

// A read whose signal the server's caller reads back into these pieces.
common::ReadHolder simulated_read(std::uint64_t tag, const std::vector<std::string>& pieces) {
    common::ReadHolder read = raw_read(tag, 0);
    std::vector<std::int16_t> signal = reference_server::simulate_signal(
        pieces, reference_server::SignalOptions{}, reference_server::seed_of(read.metadata->read_id));
    read.metadata->duration = signal.size();
    read.datasets[vesk::data_wrappers::v2::raw_data] = vesk::data_wrappers::v2::DataSetData(std::move(signal));
    return read;
}

std::string sequence_of(const common::ReadHolder& read) {
    const auto found = read.datasets.find(vesk::data_wrappers::v2::sequence);
    return found == read.datasets.end() ? std::string("<none>") : found->second.string_value();
}

FaultRule spoil(MessageType request, FaultAction action) { return {request, action, MessageType::UNSET, "", 0, 0}; }

// One registered connection on a reference server, with a buffer and the
// exchange running on a worker thread of its own.
class ReadExchange {
    test_support::TempDir m_folder;

public:
    explicit ReadExchange(unsigned int reply_timeout = reply_timeout_ms, std::uint32_t called_block_bases = 0)
        : m_server(settings_with(called_block_bases)) {
        common::logging::initialise_logging();
        m_server.set_request_log([this](const RequestRecord& record) {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(record);
        });
        m_connection.set_connection_params(m_server.start(m_folder.ipc_endpoint()), reply_timeout);
        ipc_tools::ConnectionInfo info;
        info.config = "ref_dna_fast";
        info.client_name = "exchange-test";
        m_adapter = m_connection.establish_server_connection(info, 10);
        EXPECT_NE(m_adapter, nullptr) << corvane::to_string(m_connection.last_error());
        m_uid = m_connection.server_details().client_uid;
        m_buffer.set_max_input_queue_size(100);
        m_buffer.set_block_size(256000);
        m_buffer.set_connection_id(m_uid);
        m_exchange.set_connection_id(m_uid);
    }
    ~ReadExchange() { stop(); }

    void start() {
        m_worker = std::thread([this] {
            ConnectionErrorInfo result = m_exchange.process_reads(&m_buffer, m_adapter);
            std::lock_guard lock(m_mutex);
            m_result = std::move(result);
            m_finished = true;
        });
    }
    // The record the exchange ended with, once it has ended by itself.
    ConnectionErrorInfo result() {
        EXPECT_TRUE(wait_until(
            [this] {
                std::lock_guard lock(m_mutex);
                return m_finished;
            },
            "the exchange to end", std::chrono::seconds(20)));
        m_worker.join();
        std::lock_guard lock(m_mutex);
        return m_result;
    }
    void stop() {
        m_exchange.stop();
        if (m_worker.joinable()) {
            m_worker.join();
        }
    }
    std::vector<MessageType> request_types() {
        std::lock_guard lock(m_mutex);
        std::vector<MessageType> types;
        for (const RequestRecord& record : m_requests) {
            types.push_back(record.request);
        }
        return types;
    }
    std::size_t count(MessageType type) {
        const auto types = request_types();
        return static_cast<std::size_t>(std::count(types.begin(), types.end(), type));
    }
    std::vector<RequestRecord> requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    std::mutex m_mutex;
    std::vector<RequestRecord> m_requests;  // guarded by m_mutex
    ConnectionErrorInfo m_result;           // guarded by m_mutex
    bool m_finished = false;                // guarded by m_mutex
    reference_server::ReferenceServer m_server;
    corvane::ClientConnectionState m_state;
    corvane::ConnectionProtocol m_connection{m_state};
    corvane::RequestBrokerAdapter* m_adapter = nullptr;
    std::string m_uid;
    corvane::ReadBuffer m_buffer;
    corvane::ReadProcessingProtocol m_exchange;
    std::thread m_worker;
};

TEST(ReadProcessingProtocolTest, EachFailureEndsTheExchangeWithItsRecord) {
    struct Case {
        const char* name;
        std::vector<FaultRule> faults;
        std::function<void(corvane::ReadBuffer&)> queue;
        ConnectionError code;
        std::function<std::string(const std::string& uid)> message;
        unsigned int reply_timeout = reply_timeout_ms;
        std::uint32_t called_block_bases = 0;
        bool message_is_prefix = false;  // for the decoder's own words on malformed data
    };
    const auto one_read = [](std::uint64_t samples) {
        return [samples](corvane::ReadBuffer& buffer) {
            common::ReadHolder read = raw_read(high_tag, samples);
            ASSERT_EQ(buffer.queue_read(read, 0), BufferQueueReadsResult::queued);
        };
    };
    const auto two_read_batch = [](corvane::ReadBuffer& buffer) {
        std::vector<common::ReadHolder> reads;
        reads.push_back(raw_read(high_tag, 1000));
        reads.push_back(raw_read(7, 1000));
        ASSERT_EQ(buffer.queue_reads(reads, 0), BufferQueueReadsResult::queued);
    };
    const auto called_read = [](corvane::ReadBuffer& buffer) {
        common::ReadHolder read = simulated_read(high_tag, {"ACGTTGCAACGTACGGTAACGTTGCAACGTACGGTAACGT"});
        ASSERT_EQ(buffer.queue_read(read, 0), BufferQueueReadsResult::queued);
    };
    const auto text = [](std::string message) { return [message](const std::string&) { return message; }; };
    const std::string malformed = "Malformed called block from server for read 2147483653: ";
    const std::vector<Case> cases = {
        {"unexpected reply to a raw block",
         {always(MessageType::PASS_FIRST_RAW_BLOCK, MessageType::BATCH_ACCEPTED)},
         one_read(1000),
         ConnectionError::invalid_response,
         [](const std::string& uid) {
             return "Failed to push to server, invalid reply: BATCH_ACCEPTED from basecall server when passing raw "
                    "read data for read: 2147483653. Connection id: " + uid;
         }},
        {"unexpected reply to a batch",
         {always(MessageType::PASS_READ_BATCH, MessageType::RAW_BLOCK_ACCEPTED)},
         two_read_batch,
         ConnectionError::invalid_response,
         [](const std::string& uid) {
             return "Failed to push to server, invalid reply: RAW_BLOCK_ACCEPTED from basecall server when "
                    "passing read batch with first read: 2147483653. Connection id: " + uid;
         }},
        {"later raw block not ready",
         {always(MessageType::PASS_FIRST_RAW_BLOCK, MessageType::RAW_BLOCK_ACCEPTED),
          once(MessageType::PASS_NEXT_RAW_BLOCK, MessageType::NOT_READY)},
         one_read(256001),
         ConnectionError::bad_reply,
         [](const std::string&) {
             return std::string("Server accepted first block of read, but then rejected subsequent block for "
                                "read: 2147483653");
         }},
        {"unexpected reply to a pull",
         {always(MessageType::PASS_FIRST_RAW_BLOCK, MessageType::RAW_BLOCK_ACCEPTED),
          always(MessageType::GET_FIRST_CALLED_BLOCK, MessageType::HEARTBEAT_ECHO)},
         one_read(1000),
         ConnectionError::invalid_response,
         [](const std::string&) { return std::string("Failed to pull from server, invalid reply: HEARTBEAT_ECHO"); }},
        {"server restart",
         {always(MessageType::PASS_FIRST_RAW_BLOCK, MessageType::CLIENT_NOT_RECOGNISED)},
         one_read(1000),
         ConnectionError::timed_out,
         [](const std::string&) {
             return std::string("Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.");
         }},
        {"no reply in time",
         {{MessageType::PASS_FIRST_RAW_BLOCK, FaultAction::delay, MessageType::UNSET, "", 2500, 1}},
         one_read(1000),
         ConnectionError::timed_out,
         [](const std::string&) { return std::string("Timeout waiting for reply to request: PASS_FIRST_RAW_BLOCK"); },
         250},
        {"buffer in error",
         {},
         [](corvane::ReadBuffer& buffer) { buffer.set_error_state({ConnectionError::failed, "out of memory"}); },
         ConnectionError::failed,
         [](const std::string&) { return std::string("out of memory"); }},
        {"returned block without duration",
         {spoil(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::zero_duration)},
         called_read,
         ConnectionError::failed,
         text("Duration metadata missing for submitted read: 2147483653")},
        {"genome name of 253 characters",
         {spoil(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::long_genome_name)},
         called_read,
         ConnectionError::bad_reply,
         text("Alignment genome name " + std::string(253, 'g') + " exceeds maximum allowed size of 253")},
        {"strand orientation outside -1..1",
         {spoil(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::bad_orientation)},
         called_read, ConnectionError::invalid_response, text(malformed), reply_timeout_ms, 0, true},
        {"base modifications without an alphabet",
         {spoil(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::empty_base_mod_alphabet)},
         called_read, ConnectionError::invalid_response, text(malformed), reply_timeout_ms, 0, true},
        {"context mask shorter than its bases",
         {spoil(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::short_context_mask)},
         called_read, ConnectionError::invalid_response, text(malformed), reply_timeout_ms, 0, true},
        {"returned batch of the wrong kind",
         {spoil(MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::wrong_batch_kind)},
         [](corvane::ReadBuffer& buffer) {
             std::vector<common::ReadHolder> reads;
             reads.push_back(simulated_read(high_tag, {"ACGTTGCAACGTTGCAACGTTGCAACGTTGCA"}));
             reads.push_back(simulated_read(9, {"GGCATTCAGGCATTCAGGCATTCAGGCATTCA"}));
             ASSERT_EQ(buffer.queue_reads(reads, 0), BufferQueueReadsResult::queued);
         },
         ConnectionError::invalid_response,
         text("Failed to pull from server, invalid reply: PASS_READ_BATCH")},
        {"continuation of the wrong kind",
         {spoil(MessageType::GET_NEXT_CALLED_BLOCK, FaultAction::wrong_continuation_kind)},
         called_read, ConnectionError::invalid_response,
         text("Failed to get next block from server, invalid reply: RETURN_FIRST_CALLED_BLOCK"), reply_timeout_ms, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReadExchange exchange(c.reply_timeout, c.called_block_bases);
        for (const FaultRule& rule : c.faults) {
            exchange.m_server.faults().add(rule);
        }
        c.queue(exchange.m_buffer);
        exchange.start();
        const ConnectionErrorInfo result = exchange.result();
        EXPECT_EQ(result.code, c.code);
        const std::string expected = c.message(exchange.m_uid);
        EXPECT_EQ(c.message_is_prefix ? result.message.substr(0, expected.size()) : result.message, expected)
            << result.message;
    }
}

TEST(ReadProcessingProtocolTest, AFirstBlockRefusedAsNotReadyIsSentAgainUnchanged) {
    ReadExchange exchange;
    exchange.m_server.faults().add(once(MessageType::PASS_FIRST_RAW_BLOCK, MessageType::NOT_READY));
    exchange.m_server.faults().add(always(MessageType::PASS_FIRST_RAW_BLOCK, MessageType::RAW_BLOCK_ACCEPTED));
    exchange.m_server.faults().add(always(MessageType::PASS_NEXT_RAW_BLOCK, MessageType::RAW_BLOCK_ACCEPTED));
    exchange.m_server.faults().add(always(MessageType::GET_FIRST_CALLED_BLOCK, MessageType::NONE_PENDING));
    common::ReadHolder read = raw_read(3, 300000);
    ASSERT_EQ(exchange.m_buffer.queue_read(read, 0), BufferQueueReadsResult::queued);
    exchange.start();
    ASSERT_TRUE(wait_until([&] { return exchange.m_buffer.num_submitted_reads() == 1; }, "the read to be submitted"));
    exchange.stop();
    EXPECT_EQ(exchange.m_buffer.num_queued_reads(), 0u);
    std::vector<MessageType> pushes;
    for (const MessageType type : exchange.request_types()) {
        if (type == MessageType::PASS_FIRST_RAW_BLOCK || type == MessageType::PASS_NEXT_RAW_BLOCK) {
            pushes.push_back(type);
        }
    }
    // The refused first block, the same block again and its continuation.
    EXPECT_EQ(pushes, (std::vector<MessageType>{MessageType::PASS_FIRST_RAW_BLOCK, MessageType::PASS_FIRST_RAW_BLOCK,
                                                MessageType::PASS_NEXT_RAW_BLOCK}));
}

TEST(ReadProcessingProtocolTest, NoMoreDataIsSentOnceAndLaterReadsAreRefused) {
    ReadExchange exchange;
    exchange.m_server.faults().add(always(MessageType::PASS_FIRST_RAW_BLOCK, MessageType::RAW_BLOCK_ACCEPTED));
    exchange.m_server.faults().add(always(MessageType::GET_FIRST_CALLED_BLOCK, MessageType::NONE_PENDING));
    common::ReadHolder read = raw_read(1, 1000);
    ASSERT_EQ(exchange.m_buffer.queue_read(read, 0), BufferQueueReadsResult::queued);
    exchange.start();
    exchange.m_exchange.set_no_more_data();
    ASSERT_TRUE(wait_until([&] { return exchange.count(MessageType::NO_MORE_DATA) == 1; }, "NO_MORE_DATA"));
    // Pulling goes on after it, and nothing is announced twice.
    const std::size_t pulls = exchange.count(MessageType::GET_FIRST_CALLED_BLOCK);
    ASSERT_TRUE(wait_until([&] { return exchange.count(MessageType::GET_FIRST_CALLED_BLOCK) >= pulls + 3; },
                           "more pulls"));
    EXPECT_EQ(exchange.count(MessageType::NO_MORE_DATA), 1u);
    common::ReadHolder late = raw_read(2, 1000);
    EXPECT_EQ(exchange.m_buffer.queue_read(late, 0), BufferQueueReadsResult::not_accepting);
    exchange.stop();
    EXPECT_EQ(exchange.count(MessageType::NO_MORE_DATA), 1u);
    const auto requests = exchange.requests();
    const auto sent = std::find_if(requests.begin(), requests.end(),
                                   [](const RequestRecord& r) { return r.request == MessageType::NO_MORE_DATA; });
    EXPECT_EQ(sent->client_id, exchange.m_uid);
    EXPECT_EQ(sent->value, 0);
    // A new connection announces the end again, once.
    EXPECT_TRUE(exchange.m_exchange.set_connection_id(exchange.m_uid));
    EXPECT_FALSE(exchange.m_exchange.set_connection_id(exchange.m_uid));
}

// A read split in two pieces, each result longer than a block: the parent
// comes out first, then its pieces, and each continuation asks with the
// read tag (here above 2^31) and the strand id of its first block.
TEST(ReadProcessingProtocolTest, ASplitReadComesBackAsParentThenPiecesOverContinuedBlocks) {
    ReadExchange exchange(reply_timeout_ms, 4);
    const std::vector<std::string> pieces = {"ACGTTGCAACGTAC", "GGATCCTTAGCA"};
    common::ReadHolder read = simulated_read(high_tag, pieces);
    ASSERT_EQ(exchange.m_buffer.queue_read(read, 0), BufferQueueReadsResult::queued);
    ASSERT_EQ(exchange.m_buffer.num_queued_reads(), 1u);  // long enough to be sent
    exchange.start();
    ASSERT_TRUE(wait_until([&] { return exchange.m_buffer.num_reads_out() == 3; }, "three returned reads"));
    exchange.stop();

    std::vector<common::ReadHolder> out;
    exchange.m_buffer.get_reads_out(out);
    std::vector<std::uint64_t> sub_tags;
    std::map<std::uint64_t, std::string> sequences;
    for (const common::ReadHolder& returned : out) {
        EXPECT_EQ(returned.read_tag, high_tag);
        sub_tags.push_back(returned.sub_tag);
        sequences[returned.sub_tag] = sequence_of(returned);
    }
    ASSERT_EQ(sub_tags.size(), 3u);
    EXPECT_EQ(sub_tags.front(), 0u);
    EXPECT_EQ(sequences, (std::map<std::uint64_t, std::string>{
                             {0, pieces[0] + pieces[1]}, {1, pieces[0]}, {2, pieces[1]}}));
    EXPECT_TRUE(exchange.m_buffer.all_reads_done());

    // 14, 12 and 26 bases in blocks of 4: 3 + 2 + 6 continuations. The
    // server logs a request after sending its reply, so the last record may
    // come after the read is out.
    ASSERT_TRUE(wait_until([&] { return exchange.count(MessageType::GET_NEXT_CALLED_BLOCK) >= 11; },
                           "every continuation logged"));
    std::size_t continuations = 0;
    for (const RequestRecord& record : exchange.requests()) {
        if (record.request == MessageType::GET_NEXT_CALLED_BLOCK) {
            ++continuations;
            EXPECT_EQ(static_cast<std::uint32_t>(record.value), high_tag);
            EXPECT_FALSE(record.text.empty());
        }
    }
    EXPECT_EQ(continuations, 11u);
}

TEST(ReadProcessingProtocolTest, ReadsTheServerLostGoBackWithoutResults) {
    ReadExchange exchange;
    exchange.m_server.faults().add({MessageType::GET_FIRST_CALLED_BLOCK, FaultAction::lose_reads,
                                    MessageType::UNSET, "", 0, 1});
    std::vector<common::ReadHolder> reads;
    reads.push_back(simulated_read(1, {"ACGTTGCAACGTTGCAACGTTGCAACGTTGCA"}));
    reads.push_back(simulated_read(2, {"GGCATTCAGGCATTCAGGCATTCAGGCATTCA"}));
    ASSERT_EQ(exchange.m_buffer.queue_reads(reads, 0), BufferQueueReadsResult::queued);
    exchange.start();
    ASSERT_TRUE(wait_until([&] { return exchange.m_buffer.num_reads_out() == 2; }, "both reads back"));
    exchange.stop();
    std::vector<common::ReadHolder> out;
    exchange.m_buffer.get_reads_out(out);
    for (const common::ReadHolder& returned : out) {
        EXPECT_EQ(sequence_of(returned), "<none>");
    }
    EXPECT_TRUE(exchange.m_buffer.all_reads_done());
    EXPECT_EQ(exchange.count(MessageType::PASS_READ_BATCH), 1u);
}

TEST(ReadProcessingProtocolTest, StopEndsAnIdleExchangeWithoutError) {
    ReadExchange exchange;
    exchange.start();
    exchange.m_exchange.stop();
    const ConnectionErrorInfo result = exchange.result();
    EXPECT_EQ(result.code, ConnectionError::no_error);
    EXPECT_EQ(result.message, "");
}

}  // namespace
