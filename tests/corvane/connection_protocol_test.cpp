// Registering a client on the reference server: the requests and statuses of
// a connection attempt, and for every refusal or malformed reply the error
// record the attempt ends with.

#include "corvane/connection_protocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/diagnostics/active_trace_context.h"
#include "common/runtime/diagnostics/context_builder.h"
#include "common/runtime/logger.h"
#include "corvane/client_connection_state.h"
#include "reference_server/protocol/reference_server.h"
#include "support/connection_info.h"
#include "support/temp_dir.h"
#include "support/trace_lines.h"
#include "support/wait_until.h"

using corvane::ClientStatus;
using corvane::ConnectionError;
using corvane::ConnectionErrorInfo;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;
using reference_server::RequestRecord;
using Info = ipc_tools::ConnectionInfo;

namespace {

const std::string index_path = "/reference/sample.mmi";
const std::string bed_path = "/reference/sample.bed";
constexpr unsigned int reply_timeout_ms = 500;

FaultRule reply_once(MessageType request, MessageType reply, const std::string& text = {}) {
    return {request, FaultAction::reply, reply, text, 0, 1};
}

ipc_tools::ConnectionInfo basic_info() { return test_support::fast_dna_info("run7"); }

ipc_tools::ConnectionInfo info_with_files() {
    auto info = basic_info();
    info.align_ref = index_path;
    info.minimap_opt_string = "-k 15";
    info.bed_file = bed_path;
    info.barcode_kits = "KIT-12";
    return info;
}

class ConnectionProtocolTest : public ::testing::Test {
protected:
    explicit ConnectionProtocolTest(reference_server::ServerSettings settings = reference_server::default_settings())
        : m_server(std::move(settings)) {}

    void SetUp() override {
        common::logging::initialise_logging();
        m_server.set_request_log([this](const RequestRecord& record) {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(record);
        });
        m_state.register_change_handler([this](ClientStatus, std::shared_ptr<corvane::ClientConnectionStateSnapshot> next) {
            std::lock_guard lock(m_mutex);
            m_statuses.push_back(next->get_status());
        });
        m_protocol.set_connection_params(m_server.start(m_folder.ipc_endpoint()), reply_timeout_ms);
    }

    // Stops the server first: that joins its thread, so the log is complete.
    std::vector<RequestRecord> requests() {
        m_server.stop();
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::vector<MessageType> request_types() {
        std::vector<MessageType> types;
        for (const auto& record : requests()) {
            types.push_back(record.request);
        }
        return types;
    }
    std::vector<ClientStatus> statuses(std::size_t expected_count) {
        EXPECT_TRUE(test_support::wait_until(
            [&] {
                std::lock_guard lock(m_mutex);
                return m_statuses.size() >= expected_count;
            },
            "status notifications"));
        std::lock_guard lock(m_mutex);
        return m_statuses;
    }

    // Declared first: the server thread and the notifier use them until
    // both are gone.
    std::mutex m_mutex;
    std::vector<RequestRecord> m_requests;  // guarded by m_mutex
    std::vector<ClientStatus> m_statuses;   // guarded by m_mutex
    test_support::TempDir m_folder;
    reference_server::ReferenceServer m_server;
    corvane::ClientConnectionState m_state;
    corvane::ConnectionProtocol m_protocol{m_state};
};

const std::vector<ClientStatus> all_statuses = {
    ClientStatus::preparing_connection, ClientStatus::loading_config, ClientStatus::loading_alignment_index,
    ClientStatus::loading_bed_file,     ClientStatus::connecting,     ClientStatus::connected,
};

}  // namespace

TEST_F(ConnectionProtocolTest, WithoutIndexOrBedFileStillPassesEveryStatus) {
    auto info = basic_info();
    info.config = "ref_dna_duplex";
    info.priority = 0;  // high
    auto* adapter = m_protocol.establish_server_connection(info, 5);
    ASSERT_NE(adapter, nullptr) << m_protocol.last_error();

    EXPECT_EQ(m_protocol.last_error(), ConnectionErrorInfo{});
    EXPECT_EQ(statuses(all_statuses.size()), all_statuses);
    const auto& config = m_protocol.config_details();
    EXPECT_EQ(config.config_name, "ref_dna_duplex");
    EXPECT_EQ(config.model_version_id, "ref_dna_duplex@v1.0.0");
    EXPECT_TRUE(config.duplex);
    const auto& server = m_protocol.server_details();
    EXPECT_FALSE(server.client_uid.empty());
    EXPECT_EQ(server.server_version, "7.13.6");
    EXPECT_EQ(server.minimap_version, "2.0-reference");
    // The default server has two devices of the same name.
    EXPECT_EQ(server.device_names, "Reference GPU A");
    EXPECT_EQ(m_protocol.alignment_file_header(), "");

    const auto log = requests();
    std::vector<MessageType> types;
    for (const auto& record : log) {
        types.push_back(record.request);
    }
    EXPECT_EQ(types, (std::vector<MessageType>{MessageType::HEARTBEAT_PING, MessageType::LOAD_CONFIG,
                                               MessageType::GET_CONFIGS, MessageType::CONNECT, MessageType::QUERY}));
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3].value, 2);  // high priority travels as 2
    EXPECT_EQ(log[3].text, "ref_dna_duplex:>timeout_interval=30>client_name=run7");
}

TEST_F(ConnectionProtocolTest, LoadsIndexAndBedFileAndKeepsTheIndexHeader) {
    auto info = info_with_files();
    info.priority = 2;  // low
    ASSERT_NE(m_protocol.establish_server_connection(info, 5), nullptr) << m_protocol.last_error();

    EXPECT_EQ(m_protocol.alignment_file_header(),
              "@SQ\tSN:sample\tLN:50000\n@PG\tID:aligner\tPN:reference_server\n");
    EXPECT_EQ(statuses(all_statuses.size()), all_statuses);
    const auto log = requests();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[2].request, MessageType::GET_CONFIGS);
    EXPECT_EQ(log[3].request, MessageType::LOAD_INDEX);
    EXPECT_EQ(log[3].text, index_path + ":>minimap_opt_string=-k 15");
    EXPECT_EQ(log[4].request, MessageType::GET_INDICES);
    EXPECT_EQ(log[5].request, MessageType::LOAD_BED);
    EXPECT_EQ(log[5].text, bed_path);
    EXPECT_EQ(log[6].request, MessageType::CONNECT);
    EXPECT_EQ(log[6].value, 0);  // low priority travels as 0
}

TEST_F(ConnectionProtocolTest, EachRefusalEndsInItsErrorRecord) {
    const std::string connect_prefix = "Could not register on server (connection refused";
    const struct {
        const char* what;
        std::vector<FaultRule> faults;
        void (*adjust)(ipc_tools::ConnectionInfo&);
        ConnectionErrorInfo expected;
    } rows[] = {
        {"unknown config", {}, [](Info& info) { info.config = "nope"; },
         {ConnectionError::basecall_config_unavailable, "Unknown basecall configuration: nope"}},
        {"LOAD_CONFIG odd reply", {reply_once(MessageType::LOAD_CONFIG, MessageType::HEARTBEAT_ECHO)}, nullptr,
         {ConnectionError::invalid_response,
          "Error. Load request 'LOAD_CONFIG' received an invalid reply type: HEARTBEAT_ECHO"}},
        {"zero configs", {reply_once(MessageType::GET_CONFIGS, MessageType::RETURN_CONFIGS)}, nullptr,
         {ConnectionError::basecall_config_unavailable,
          "got unexpected number of configs from server for config name: ref_dna_fast :0"}},
        {"GET_CONFIGS odd reply", {reply_once(MessageType::GET_CONFIGS, MessageType::SUCCESS)}, nullptr,
         {ConnectionError::invalid_response, "Could not get details from server (invalid reply type). SUCCESS"}},
        {"unknown index", {}, [](Info& info) { info.align_ref = "/reference/other.mmi"; },
         {ConnectionError::align_index_unavailable, "Unknown alignment index: /reference/other.mmi"}},
        {"aligner options on LOAD_INDEX", {}, [](Info& info) { info.minimap_opt_string = "k 15"; },
         {ConnectionError::invalid_aligner_options, "Invalid aligner options: k 15"}},
        {"index header missing", {reply_once(MessageType::GET_INDICES, MessageType::RETURN_CONFIGS)}, nullptr,
         {ConnectionError::align_index_unavailable,
          "Could not retrieve alignment file header for: /reference/sample.mmi"}},
        {"GET_INDICES odd reply", {reply_once(MessageType::GET_INDICES, MessageType::LOADING)}, nullptr,
         {ConnectionError::invalid_response,
          "Could not get alignment indices from server (invalid reply type). LOADING"}},
        {"unknown bed file", {}, [](Info& info) { info.bed_file = "/reference/other.bed"; },
         {ConnectionError::bed_file_unavailable, "Unknown bed file: /reference/other.bed"}},
        {"LOAD_BED refused", {reply_once(MessageType::LOAD_BED, MessageType::INVALID_ALIGNER_OPTIONS, "why")},
         nullptr, {ConnectionError::bed_file_unavailable, "why"}},
        {"INVALID_CONFIG", {reply_once(MessageType::CONNECT, MessageType::INVALID_CONFIG)}, nullptr,
         {ConnectionError::basecall_config_unavailable,
          connect_prefix + ", the requested basecall model set is not currently loaded \"ref_dna_fast\")."}},
        {"INVALID_BARCODE_KIT", {reply_once(MessageType::CONNECT, MessageType::INVALID_BARCODE_KIT)}, nullptr,
         {ConnectionError::barcode_kit_unavailable,
          connect_prefix + " due to unsupported barcoding kit \"KIT-12\")."}},
        {"INVALID_INDEX", {reply_once(MessageType::CONNECT, MessageType::INVALID_INDEX)}, nullptr,
         {ConnectionError::align_index_unavailable,
          connect_prefix + " due to unsupported alignment index|options combination \"" + index_path +
              "|-k 15\")."}},
        {"INVALID_BED", {reply_once(MessageType::CONNECT, MessageType::INVALID_BED)}, nullptr,
         {ConnectionError::bed_file_unavailable,
          connect_prefix + ", the requested bed file is not currently loaded \"" + bed_path + "\")."}},
        {"aligner options on CONNECT", {reply_once(MessageType::CONNECT, MessageType::INVALID_ALIGNER_OPTIONS)},
         nullptr, {ConnectionError::invalid_response, "Could not register on server (invalid response)."}},
        {"CONNECTED without minimap_version",
         {reply_once(MessageType::CONNECT, MessageType::CONNECTED, ">client_uid=9>server_version=1")}, nullptr,
         {ConnectionError::bad_reply, "Could not parse CONNECTED message data"}},
        {"CONNECTED with an empty client_uid",
         {reply_once(MessageType::CONNECT, MessageType::CONNECTED, ">client_uid=>server_version=1>minimap_version=2")},
         nullptr, {ConnectionError::bad_reply, "Could not parse CONNECTED message data"}},
        {"QUERY odd reply", {reply_once(MessageType::QUERY, MessageType::SUCCESS)}, nullptr,
         {ConnectionError::invalid_response, "Could not retrieve state from server, invalid reply: SUCCESS"}},
        {"server restart", {reply_once(MessageType::CONNECT, MessageType::CLIENT_NOT_RECOGNISED)}, nullptr,
         {ConnectionError::timed_out, "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart."}},
        {"bad request", {reply_once(MessageType::LOAD_INDEX, MessageType::BAD_REQUEST, "no")}, nullptr,
         {ConnectionError::bad_request, "Bad request message: LOAD_INDEX. no"}},
        {"unreadable reply", {{MessageType::GET_CONFIGS, FaultAction::corrupt_buffer, MessageType::UNSET, "", 0, 1}},
         nullptr,
         {ConnectionError::bad_reply,
          "Error parsing reply from server for request: GET_CONFIGS. Invalid MessageData in Message."}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m_server.faults().clear();
        for (const auto& fault : row.faults) {
            m_server.faults().add(fault);
        }
        auto info = info_with_files();
        if (row.adjust) {
            row.adjust(info);
        }
        EXPECT_EQ(m_protocol.establish_server_connection(info, 5), nullptr);
        EXPECT_EQ(m_protocol.last_error(), row.expected);
    }
}

TEST_F(ConnectionProtocolTest, NoServerIsTimedOut) {
    const auto endpoint = m_folder.ipc_endpoint("nobody");
    m_protocol.set_connection_params(endpoint, 50);
    EXPECT_EQ(m_protocol.establish_server_connection(basic_info(), 5), nullptr);
    EXPECT_EQ(m_protocol.last_error(), (ConnectionErrorInfo{ConnectionError::timed_out,
                                                            "Failed to establish connection with address: " + endpoint}));
    EXPECT_EQ(statuses(1), std::vector<ClientStatus>{ClientStatus::preparing_connection});
}

TEST_F(ConnectionProtocolTest, RelativePathsAreSentAbsoluteAndMissingOnesFailBeforeAnyRequest) {
    const auto bed = m_folder.file("local.bed");
    std::ofstream(bed) << "not a region\n";
    auto info = basic_info();
    info.bed_file = std::filesystem::relative(bed).string();
    ASSERT_FALSE(std::filesystem::path(info.bed_file).is_absolute());
    EXPECT_EQ(m_protocol.establish_server_connection(info, 5), nullptr);
    // The server cannot read the file, and says so by the path it was sent.
    const std::string sent = std::filesystem::canonical(bed).string();
    EXPECT_EQ(m_protocol.last_error(),
              (ConnectionErrorInfo{ConnectionError::bed_file_unavailable,
                                   "Could not load bed file " + sent + ": BED line 1 is not a region"}));

    info.bed_file = "no_such_dir_here/sample.bed";
    EXPECT_EQ(m_protocol.establish_server_connection(info, 5), nullptr);
    EXPECT_EQ(m_protocol.last_error().code, ConnectionError::bed_file_unavailable);
    EXPECT_EQ(m_protocol.last_error().message.rfind("Error while converting relative path no_such_dir_here/sample.bed", 0),
              0u)
        << m_protocol.last_error();
    // Nothing was sent after the first attempt's LOAD_BED.
    const auto log = requests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().request, MessageType::LOAD_BED);
}

TEST_F(ConnectionProtocolTest, ValuesThatWouldInjectItemsFailBeforeAnyRequest) {
    auto injected = basic_info();
    injected.client_name = "run7>move_enabled=1>chunk_size=1";
    EXPECT_EQ(m_protocol.establish_server_connection(injected, 5), nullptr);
    EXPECT_EQ(m_protocol.last_error(),
              (ConnectionErrorInfo{ConnectionError::failed,
                                   "client_name must not contain '>', which separates the items of a connection "
                                   "text"}));

    auto colon = info_with_files();
    colon.config = "ref_dna_fast:x";
    EXPECT_EQ(m_protocol.establish_server_connection(colon, 5), nullptr);
    EXPECT_EQ(m_protocol.last_error(),
              (ConnectionErrorInfo{ConnectionError::failed,
                                   "config must not contain ':', which ends the configuration name"}));
    // Not even the first ping went out.
    EXPECT_TRUE(requests().empty());
}

TEST_F(ConnectionProtocolTest, ReconnectsWithTheSameProtocolUnderANewId) {
    ASSERT_NE(m_protocol.establish_server_connection(basic_info(), 5), nullptr) << m_protocol.last_error();
    const auto first_id = m_protocol.server_details().client_uid;
    ASSERT_NE(m_protocol.establish_server_connection(basic_info(), 5), nullptr) << m_protocol.last_error();
    EXPECT_NE(m_protocol.server_details().client_uid, first_id);
    EXPECT_EQ(m_server.state().client_count(), 2u);
}

TEST_F(ConnectionProtocolTest, DisconnectUnregistersAndOnlyLogsFailures) {
    // Before any registration there is nothing to undo (and no socket).
    m_protocol.disconnect_from_server();

    ASSERT_NE(m_protocol.establish_server_connection(basic_info(), 5), nullptr) << m_protocol.last_error();
    const auto client_uid = m_protocol.server_details().client_uid;
    m_protocol.disconnect_from_server();
    EXPECT_EQ(m_server.state().client_count(), 0u);

    // The server no longer knows the id: the broker reports it as a restart.
    testing::internal::CaptureStderr();
    m_protocol.disconnect_from_server();
    const auto logged = testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("Error disconnecting from server: [timed_out] Received CLIENT_NOT_RECOGNISED from server. "
                          "Treating as a server restart."),
              std::string::npos)
        << logged;
    EXPECT_EQ(m_protocol.server_details().client_uid, client_uid);

    const auto log = requests();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[0].request, MessageType::HEARTBEAT_PING);
    EXPECT_EQ(log[5].request, MessageType::DISCONNECT);
    EXPECT_EQ(log[5].client_id, client_uid);
}

namespace {

reference_server::ServerSettings slow_config_settings(std::uint32_t load_delay_ms) {
    auto settings = reference_server::default_settings();
    settings.configurations[0].load_delay_ms = load_delay_ms;
    return settings;
}

class SlowConfigTest : public ConnectionProtocolTest {
protected:
    SlowConfigTest() : ConnectionProtocolTest(slow_config_settings(3000)) {}
};

class EndlessLoadTest : public ConnectionProtocolTest {
protected:
    EndlessLoadTest() : ConnectionProtocolTest(slow_config_settings(600000)) {}
};

class BriefLoadTest : public ConnectionProtocolTest {
protected:
    BriefLoadTest() : ConnectionProtocolTest(slow_config_settings(700)) {}
};

}  // namespace

TEST_F(SlowConfigTest, LoadingLongerThanTheTimeoutEndsWithoutFurtherRequests) {
    EXPECT_EQ(m_protocol.establish_server_connection(basic_info(), 1), nullptr);
    EXPECT_EQ(m_protocol.last_error(),
              (ConnectionErrorInfo{ConnectionError::file_load_timeout,
                                   "Server did not process load request 'LOAD_CONFIG' for file ref_dna_fastwithin "
                                   "the 1s timeout. Try increasing server_file_load_timeout"}));
    const auto types = request_types();
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types.front(), MessageType::HEARTBEAT_PING);
    // Polled every 500 ms for a little over a second, then nothing more.
    EXPECT_LE(types.size(), 5u);
    for (std::size_t i = 1; i < types.size(); ++i) {
        EXPECT_EQ(types[i], MessageType::LOAD_CONFIG) << "request " << i;
    }
}

// A server that keeps loading for ten minutes, and a file load timeout of
// three: only the stop request can end the attempt within the deadline.
TEST_F(EndlessLoadTest, AStopRequestEndsTheWaitBetweenLoadingPolls) {
    std::atomic<bool> returned{false};
    corvane::RequestBrokerAdapter* adapter = nullptr;
    std::thread attempt([&] {
        adapter = m_protocol.establish_server_connection(basic_info(), 180);
        returned = true;
    });
    ASSERT_TRUE(test_support::wait_until(
        [&] { return m_state.get_status() == ClientStatus::loading_config; }, "loading the configuration"));
    ASSERT_TRUE(test_support::wait_until([&] { return m_server.requests_answered() >= 3; }, "a LOADING poll"));
    EXPECT_FALSE(m_protocol.stop_requested());
    m_protocol.request_stop();
    EXPECT_TRUE(test_support::wait_until([&] { return returned.load(); }, "the attempt to end"));
    attempt.join();
    EXPECT_EQ(adapter, nullptr);
    EXPECT_TRUE(m_protocol.stop_requested());
    EXPECT_EQ(m_protocol.last_error().code, ConnectionError::failed);
    // Final: a later wait ends at once.
    EXPECT_FALSE(m_protocol.wait_or_stop(std::chrono::steady_clock::now() + std::chrono::hours(1)));
}

TEST_F(BriefLoadTest, PollsUntilTheServerHasLoaded) {
    ASSERT_NE(m_protocol.establish_server_connection(basic_info(), 5), nullptr) << m_protocol.last_error();
    const auto types = request_types();
    const auto loads = std::count(types.begin(), types.end(), MessageType::LOAD_CONFIG);
    EXPECT_GE(loads, 2);
    EXPECT_LE(loads, 3);
}

namespace {

// One failed and one successful attempt with the protocol and adapter
// domains traced; 0 when the expected lines came in order.
int run_traced_conversation(const test_support::TempDir& folder) {
    namespace tracing = common::diagnostics::tracing;
    test_support::catch_trace_lines(folder.path() / "trace.cfg");
    tracing::ContextBuilder::instance().initialise();
    {
        reference_server::ReferenceServer server;
        const auto endpoint = server.start(folder.ipc_endpoint());
        corvane::ClientConnectionState state;
        corvane::ConnectionProtocol protocol(state);
        protocol.set_connection_params(folder.ipc_endpoint("nobody"), 20);
        protocol.establish_server_connection(basic_info(), 5);
        protocol.set_connection_params(endpoint, reply_timeout_ms);
        if (!protocol.establish_server_connection(basic_info(), 5)) {
            std::cerr << "not connected: " << protocol.last_error() << std::endl;
            return 1;
        }
    }
    tracing::ActiveTraceContext::instance()->flush();

    const std::string protocol_domain = "corvane::ConnectionProtocol::";
    const std::vector<std::string> expected = {
        protocol_domain + "ConnectionProtocol [ENTER]",
        protocol_domain + "set_connection_params [TRACE]  port: ipc://",
        protocol_domain + "set_connection_params [TRACE]  timeout: 20",
        "hftrace::corvane::RequestBrokerAdapter::invoke [TRACE]  [timed_out] Failed to establish connection "
        "with address: ipc://",
        protocol_domain + "load_file_on_server [TRACE]  ref_dna_fast",
        protocol_domain + "try_load_on_server [TRACE]  SUCCESS",
        protocol_domain + "connect [TRACE]  config string: ref_dna_fast:>timeout_interval=30>client_name=run7",
        protocol_domain + "connect [TRACE]  Connected. id: 1",
        protocol_domain + "connect [TRACE]  server version: 7.13.6",
    };
    std::size_t next = 0;
    std::size_t invocations = 0;
    for (const auto& line : test_support::caught_trace_lines()) {
        if (next < expected.size() && line.find(expected[next]) != std::string::npos) {
            ++next;
        }
        if (line.find("::invoke ") != std::string::npos) {
            ++invocations;
        }
    }
    if (next != expected.size() || invocations != 1) {
        std::cerr << "missing: " << (next < expected.size() ? expected[next] : "nothing")
                  << "; invoke lines: " << invocations << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

// Tracing reads its configuration once per process, so this case runs in a
// child process of its own (the "threadsafe" death-test style re-executes
// the test binary) and reports through its exit code.
TEST(ConnectionProtocolTracingTest, TracesTheConversationAndOnlyFailedInvocations) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test_support::TempDir folder;
    std::ofstream(folder.file("trace.cfg"))
        << "corvane::ConnectionProtocol custom\nhftrace::corvane::RequestBrokerAdapter custom\n";
    EXPECT_EXIT(std::exit(run_traced_conversation(folder)), testing::ExitedWithCode(0), "");
}
