#include "reference_server/protocol/reference_server.h"

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/wire_format.h"
#include "reference_server/raw_client.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;
using reference_server::ReferenceServer;
using test_support::RawClient;
using test_support::reply_text;

namespace {

const std::string fast_config = "ref_dna_fast";
const std::string index_path = "/reference/sample.mmi";
const std::string bed_path = "/reference/sample.bed";

std::string connect_text(const std::string& config, const std::string& items = {}) {
    return config + ":>timeout_interval=30>client_name=test" + items;
}

std::string client_uid_of(const Message& connected) {
    const auto text = reply_text(connected);
    const auto start = text.find(">client_uid=");
    if (start == std::string::npos) {
        return {};
    }
    const auto value = start + std::string(">client_uid=").size();
    return text.substr(value, text.find('>', value) - value);
}

class ReferenceServerTest : public ::testing::Test {
protected:
    void SetUp() override { m_endpoint = m_server.start(m_folder.ipc_endpoint()); }

    std::string connect(RawClient& client, const std::string& items = {}) {
        EXPECT_EQ(client.exchange(MessageType::LOAD_CONFIG, "", 0, fast_config).get_type(), MessageType::SUCCESS);
        const auto reply = client.exchange(MessageType::CONNECT, "", 1, connect_text(fast_config, items));
        EXPECT_EQ(reply.get_type(), MessageType::CONNECTED) << reply_text(reply);
        return client_uid_of(reply);
    }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
};

}  // namespace

TEST_F(ReferenceServerTest, AnswersControlRequestsWithTheRepliesClientsRelyOn) {
    RawClient client(m_endpoint);
    const struct {
        MessageType request;
        std::string client_id;
        std::int32_t value;
        std::string text;
        MessageType reply;
        std::string reply_text;
    } rows[] = {
        {MessageType::HEARTBEAT_PING, "0", 0, "", MessageType::HEARTBEAT_ECHO, ""},
        {MessageType::HEARTBEAT_PING, "", 0, "", MessageType::HEARTBEAT_ECHO, ""},
        {MessageType::HEARTBEAT_PING, "999", 0, "", MessageType::CLIENT_NOT_RECOGNISED, ""},
        {MessageType::LOAD_CONFIG, "", 0, fast_config, MessageType::SUCCESS, ""},
        {MessageType::LOAD_CONFIG, "", 0, "no_such_config", MessageType::REQUEST_FAILED,
         "Unknown basecall configuration: no_such_config"},
        {MessageType::LOAD_INDEX, "", 0, index_path, MessageType::SUCCESS, ""},
        {MessageType::LOAD_INDEX, "", 0, index_path + ":>minimap_opt_string=-k 15", MessageType::SUCCESS, ""},
        {MessageType::LOAD_INDEX, "", 0, index_path + ":>minimap_opt_string=k 15",
         MessageType::INVALID_ALIGNER_OPTIONS, "Invalid aligner options: k 15"},
        {MessageType::LOAD_INDEX, "", 0, "/elsewhere.mmi", MessageType::REQUEST_FAILED,
         "Unknown alignment index: /elsewhere.mmi"},
        {MessageType::LOAD_BED, "", 0, bed_path, MessageType::SUCCESS, ""},
        {MessageType::LOAD_BED, "", 0, "/elsewhere.bed", MessageType::REQUEST_FAILED,
         "Unknown bed file: /elsewhere.bed"},
        {MessageType::QUERY, "", 7, "", MessageType::BAD_REQUEST, "Unknown query code: 7"},
        {MessageType::DISCONNECT, "42", 0, "", MessageType::CLIENT_NOT_RECOGNISED, ""},
        {MessageType::NO_MORE_DATA, "42", 0, "", MessageType::CLIENT_NOT_RECOGNISED, ""},
        {MessageType::GET_FIRST_CALLED_BLOCK, "42", 0, "", MessageType::CLIENT_NOT_RECOGNISED, ""},
        {MessageType::TERMINATE, "", 0, "", MessageType::BAD_REQUEST,
         "Request kind not supported by this server: TERMINATE"},
        {MessageType::HEARTBEAT_ECHO, "", 0, "", MessageType::BAD_REQUEST, "Not a request: HEARTBEAT_ECHO"},
        {MessageType::CONNECT, "", 1, "cfg:client_name=x", MessageType::BAD_REQUEST,
         "Could not parse connection text: cfg:client_name=x"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(ipc_tools::to_string(row.request)) + " " + row.text);
        const auto reply = client.exchange(row.request, row.client_id, row.value, row.text);
        EXPECT_EQ(reply.get_type(), row.reply);
        EXPECT_EQ(reply_text(reply), row.reply_text);
    }
}

TEST_F(ReferenceServerTest, DescribesConfigurationsIndicesAndKits) {
    RawClient client(m_endpoint);
    const auto hac = client.exchange(MessageType::GET_CONFIGS, "", 0, "ref_dna_accurate");
    ASSERT_EQ(hac.get_type(), MessageType::RETURN_CONFIGS);
    const auto* configs = hac.get_message_data().data_as_ConfigList()->configs();
    ASSERT_NE(configs, nullptr);
    ASSERT_EQ(configs->size(), 1u);
    EXPECT_EQ(configs->Get(0)->name()->str(), "ref_dna_accurate");
    EXPECT_EQ(configs->Get(0)->model_version_id()->str(), "ref_dna_accurate@v1.0.0");
    EXPECT_EQ(configs->Get(0)->modbase_model_version_id()->str(), "ref_dna_accurate@v1.0.0_methylation@v1");
    EXPECT_FALSE(configs->Get(0)->duplex());

    const auto all = client.exchange(MessageType::GET_CONFIGS);
    const auto* all_list = all.get_message_data().data_as_ConfigList();
    const auto& settings = m_server.state().settings();
    ASSERT_NE(all_list->configs(), nullptr);
    EXPECT_EQ(all_list->configs()->size(), settings.configurations.size());
    ASSERT_NE(all_list->names(), nullptr);
    ASSERT_EQ(all_list->names()->size(), settings.configurations.size());
    EXPECT_EQ(all_list->names()->Get(2)->str(), settings.configurations[2].name);
    EXPECT_TRUE(all_list->configs()->Get(2)->duplex());

    const auto unknown = client.exchange(MessageType::GET_CONFIGS, "", 0, "no_such_config");
    ASSERT_EQ(unknown.get_type(), MessageType::RETURN_CONFIGS);
    const auto* none = unknown.get_message_data().data_as_ConfigList()->configs();
    EXPECT_TRUE(none == nullptr || none->size() == 0);

    // Only loaded indices are listed, under the name the client used.
    auto indices = client.exchange(MessageType::GET_INDICES);
    ASSERT_EQ(indices.get_type(), MessageType::RETURN_CONFIGS);
    const auto* no_headers = indices.get_message_data().data_as_ConfigList()->index_headers();
    EXPECT_TRUE(no_headers == nullptr || no_headers->size() == 0);
    ASSERT_EQ(client.exchange(MessageType::LOAD_INDEX, "", 0, "/reference/./sample.mmi").get_type(),
              MessageType::SUCCESS);
    indices = client.exchange(MessageType::GET_INDICES);
    const auto* headers = indices.get_message_data().data_as_ConfigList()->index_headers();
    ASSERT_NE(headers, nullptr);
    ASSERT_EQ(headers->size(), 1u);
    EXPECT_EQ(headers->Get(0)->name()->str(), "/reference/./sample.mmi");
    EXPECT_EQ(headers->Get(0)->header()->str(), m_server.state().settings().alignment_indices[0].header);

    const auto kits = client.exchange(MessageType::GET_BARCODE_KITS);
    ASSERT_EQ(kits.get_type(), MessageType::RETURN_CONFIGS);
    const auto* kit_list = kits.get_message_data().data_as_ConfigList()->barcode_kits();
    const auto& expected = m_server.state().settings().barcode_kits;
    ASSERT_NE(kit_list, nullptr);
    ASSERT_EQ(kit_list->size(), expected.size());
    for (flatbuffers::uoffset_t i = 0; i < kit_list->size(); ++i) {
        SCOPED_TRACE(expected[i].kit_name);
        const auto* kit = kit_list->Get(i);
        EXPECT_EQ(kit->kit_name()->str(), expected[i].kit_name);
        EXPECT_EQ(kit->first_index(), expected[i].first_index);
        EXPECT_EQ(kit->last_index(), expected[i].last_index);
        EXPECT_EQ(kit->is_both_ends(), expected[i].is_both_ends);
        EXPECT_EQ(kit->has_barcode12a(), expected[i].has_barcode12a);
        EXPECT_EQ(kit->normalised_pattern()->str(), expected[i].normalised_pattern);
    }
}

TEST_F(ReferenceServerTest, ConnectsClientsUnderFreshIdsAndForgetsThemOnDisconnect) {
    RawClient client(m_endpoint);
    const auto first = connect(client);
    const auto second = connect(client);
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, second);

    // The client library must be able to read what the server says.
    const auto connected = client.exchange(MessageType::CONNECT, "", 2, connect_text(fast_config));
    auto info = ipc_tools::ConnectedInfo::parse(reply_text(connected));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->server_version, "7.13.6");
    EXPECT_EQ(info->minimap_version, m_server.state().settings().minimap_version);
    const auto third = info->client_uid;
    ipc_tools::set_device_names(*info, reply_text(client.exchange(Message(ipc_tools::QueryCode::internal_state))));
    EXPECT_EQ(info->device_names, "Reference GPU A");

    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, first).get_type(), MessageType::HEARTBEAT_ECHO);
    EXPECT_EQ(client.exchange(MessageType::NO_MORE_DATA, first).get_type(), MessageType::SUCCESS);
    EXPECT_EQ(client.exchange(MessageType::DISCONNECT, first).get_type(), MessageType::DISCONNECTED);
    EXPECT_EQ(client.exchange(MessageType::DISCONNECT, first).get_type(), MessageType::CLIENT_NOT_RECOGNISED);
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, first).get_type(), MessageType::CLIENT_NOT_RECOGNISED);

    // Priority 0 on the wire is the lowest priority, 2.
    const auto clients = m_server.state().clients();
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_EQ(clients[1].client_uid, third);
    EXPECT_EQ(clients[1].request.priority, 0);
    EXPECT_EQ(clients[0].request.priority, 1);

    const auto stats = client.exchange(MessageType::GET_STATISTICS);
    ASSERT_EQ(stats.get_type(), MessageType::RETURN_STATISTICS);
    const auto* per_client = stats.get_message_data().data_as_Statistics()->client_statistics();
    ASSERT_NE(per_client, nullptr);
    EXPECT_EQ(per_client->size(), 2u);
}

TEST_F(ReferenceServerTest, RefusesConnectionsToWhatIsNotLoadedOrKnown) {
    RawClient client(m_endpoint);
    ASSERT_EQ(client.exchange(MessageType::LOAD_CONFIG, "", 0, fast_config).get_type(), MessageType::SUCCESS);
    const struct {
        std::string text;
        MessageType reply;
    } rows[] = {
        {connect_text("ref_dna_accurate"), MessageType::INVALID_CONFIG},
        {connect_text("no_such_config"), MessageType::INVALID_CONFIG},
        {connect_text(fast_config, ">barcode_kits=KIT-24 NO-SUCH-KIT"), MessageType::INVALID_BARCODE_KIT},
        {connect_text(fast_config, ">align_ref=" + index_path), MessageType::INVALID_INDEX},
        {connect_text(fast_config, ">bed_file=" + bed_path), MessageType::INVALID_BED},
        {connect_text(fast_config, ">barcode_kits=KIT-24,KIT-12"), MessageType::CONNECTED},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(client.exchange(MessageType::CONNECT, "", 1, row.text).get_type(), row.reply);
    }

    // Loading the index with other aligner options does not admit a client
    // that asks for the index with these.
    ASSERT_EQ(client.exchange(MessageType::LOAD_INDEX, "", 0, index_path + ":>minimap_opt_string=-k 15").get_type(),
              MessageType::SUCCESS);
    EXPECT_EQ(client.exchange(MessageType::CONNECT, "", 1, connect_text(fast_config, ">align_ref=" + index_path))
                  .get_type(),
              MessageType::INVALID_INDEX);
    EXPECT_EQ(client
                  .exchange(MessageType::CONNECT, "", 1,
                            connect_text(fast_config, ">align_ref=" + index_path + ">minimap_opt_string=-k 15"))
                  .get_type(),
              MessageType::CONNECTED);
}

TEST(ReferenceServerLoadingTest, AnswersLoadingUntilTheLoadDelayHasPassed) {
    auto settings = reference_server::default_settings();
    settings.configurations[0].load_delay_ms = 150;
    ReferenceServer server(settings);
    RawClient client(server.start("tcp://127.0.0.1:*"));
    const auto& name = settings.configurations[0].name;
    EXPECT_EQ(client.exchange(MessageType::LOAD_CONFIG, "", 0, name).get_type(), MessageType::LOADING);
    EXPECT_EQ(client.exchange(MessageType::CONNECT, "", 1, connect_text(name)).get_type(), MessageType::INVALID_CONFIG);
    EXPECT_TRUE(test_support::wait_until(
        [&] { return client.exchange(MessageType::LOAD_CONFIG, "", 0, name).get_type() == MessageType::SUCCESS; },
        "the configuration to finish loading"));
    EXPECT_EQ(client.exchange(MessageType::CONNECT, "", 1, connect_text(name)).get_type(), MessageType::CONNECTED);
}

TEST_F(ReferenceServerTest, ReportsDevicesConfigurationsAndClientsInItsInternalState) {
    RawClient client(m_endpoint);
    const auto uid = connect(client);
    const auto reply = client.exchange(Message(ipc_tools::QueryCode::internal_state));
    ASSERT_EQ(reply.get_type(), MessageType::RESPONSE);
    rapidjson::Document state;
    state.Parse(reply_text(reply).c_str());
    ASSERT_FALSE(state.HasParseError());
    ASSERT_TRUE(state.HasMember("ServerInformation"));
    const auto& info = state["ServerInformation"];
    ASSERT_TRUE(info.HasMember("CUDA Devices"));
    EXPECT_EQ(info["CUDA Devices"].MemberCount(), 2u);
    EXPECT_STREQ(info["CUDA Devices"]["cuda:0"]["name"].GetString(), "Reference GPU A");
    ASSERT_TRUE(info.HasMember("Metal Devices"));
    ASSERT_EQ(info["Loaded Configurations"].Size(), 1u);
    EXPECT_EQ(info["Loaded Configurations"][0].GetString(), fast_config);
    ASSERT_EQ(info["Connected Clients"].Size(), 1u);
    EXPECT_EQ(info["Connected Clients"][0]["client_uid"].GetString(), uid);
    EXPECT_STREQ(info["Connected Clients"][0]["client_name"].GetString(), "test");
}

TEST_F(ReferenceServerTest, SurvivesGarbageFramesAndAnswersThemBadRequest) {
    RawClient client(m_endpoint);
    std::mt19937 random(20261209);
    std::vector<std::vector<unsigned char>> frames = {{}, {0x01}, {0, 0, 0, 0, '0', '0', '2'}};
    for (int i = 0; i < 300; ++i) {
        std::vector<unsigned char> bytes(random() % 200);
        for (auto& byte : bytes) {
            byte = static_cast<unsigned char>(random());
        }
        // Half of them carry the right identifier, to get past the first check.
        if (i % 2 == 0 && bytes.size() >= 8) {
            bytes[4] = '0';
            bytes[5] = '0';
            bytes[6] = '2';
            bytes[7] = '6';
        }
        frames.push_back(std::move(bytes));
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        auto reply = client.exchange_frame(zmq::message_t(frames[i].data(), frames[i].size()));
        ASSERT_TRUE(reply.has_value());
        const Message message(std::move(*reply));
        // A random buffer may, rarely, happen to verify as some request;
        // whatever it is, the answer is a well-formed reply.
        EXPECT_NE(message.get_type(), MessageType::UNSET);
        EXPECT_FALSE(reply_text(message).empty() && message.get_type() == MessageType::BAD_REQUEST);
    }
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, "0").get_type(), MessageType::HEARTBEAT_ECHO);
}

TEST_F(ReferenceServerTest, ExplainsWhyARequestCouldNotBeRead) {
    RawClient client(m_endpoint);
    const unsigned char short_bytes[] = {1, 2, 3};
    const unsigned char foreign[] = {8, 0, 0, 0, '0', '0', '2', '5', 0, 0, 0, 0};
    const unsigned char corrupt[] = {0xf0, 0xff, 0xff, 0x7f, '0', '0', '2', '6'};
    const struct {
        const unsigned char* bytes;
        std::size_t size;
        std::string reason;
    } rows[] = {
        {short_bytes, sizeof(short_bytes), "Request frame of 3 bytes is too short for a message."},
        {foreign, sizeof(foreign), "Protocol mismatch: request of protocol 0025, this server speaks protocol 0026."},
        {corrupt, sizeof(corrupt), "Request could not be read: Invalid MessageData in Message."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        auto reply = client.exchange_frame(zmq::message_t(row.bytes, row.size));
        ASSERT_TRUE(reply.has_value());
        const Message message(std::move(*reply));
        EXPECT_EQ(message.get_type(), MessageType::BAD_REQUEST);
        EXPECT_EQ(reply_text(message), row.reason);
    }
}

TEST_F(ReferenceServerTest, InjectsEachKindOfFaultAndThenAnswersNormally) {
    RawClient client(m_endpoint);
    const auto ping_frame = [] {
        zmq::message_t frame;
        Message(MessageType::HEARTBEAT_PING, "0", 0, "").release_into(frame);
        return frame;
    };
    const struct {
        FaultAction action;
        MessageType reply_type;  // what the received frame classifies as
        bool has_frame;
        bool verifies;
    } rows[] = {
        {FaultAction::short_frame, MessageType::UNSET, false, true},
        {FaultAction::foreign_identifier, MessageType::INVALID_PROTOCOL, false, true},
        {FaultAction::corrupt_buffer, MessageType::UNSET, true, false},
        {FaultAction::unknown_kind, MessageType::UNSET, true, true},
        {FaultAction::reply, MessageType::REQUEST_FAILED, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(reference_server::to_string(row.action));
        m_server.faults().add(FaultRule{MessageType::HEARTBEAT_PING, row.action, MessageType::REQUEST_FAILED,
                                        "injected", 0, 1});
        auto frame = client.exchange_frame(ping_frame());
        ASSERT_TRUE(frame.has_value());
        if (!row.verifies) {
            EXPECT_THROW(Message{std::move(*frame)}, std::runtime_error);
        } else {
            const Message reply(std::move(*frame));
            EXPECT_EQ(reply.get_type(), row.reply_type);
            EXPECT_EQ(reply.empty(), !row.has_frame);
        }
        EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, "0").get_type(), MessageType::HEARTBEAT_ECHO);
    }
}

TEST_F(ReferenceServerTest, ForcedRepliesCanBeOfAnyKind) {
    RawClient client(m_endpoint);
    for (std::int32_t value = 0; value < ipc_tools::message_type_count; ++value) {
        const auto kind = static_cast<MessageType>(value);
        SCOPED_TRACE(ipc_tools::to_string(kind));
        m_server.faults().add(FaultRule{MessageType::GET_INDICES, FaultAction::reply, kind, "forced", 0, 1});
        auto frame = client.exchange_frame([] {
            zmq::message_t request;
            Message(MessageType::GET_INDICES, "", 0, "").release_into(request);
            return request;
        }());
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(Message(std::move(*frame)).get_type(), kind);
    }
    EXPECT_EQ(client.exchange(MessageType::GET_INDICES).get_type(), MessageType::RETURN_CONFIGS);
}

TEST_F(ReferenceServerTest, DelayedReplyArrivesLateAndIsDroppedOnStop) {
    RawClient client(m_endpoint);
    m_server.faults().add(FaultRule{MessageType::GET_STATISTICS, FaultAction::delay, MessageType::UNSET, "", 60000, 1});
    zmq::message_t frame;
    Message(MessageType::GET_STATISTICS, "", 0, "").release_into(frame);
    EXPECT_FALSE(client.exchange_frame(std::move(frame), std::chrono::milliseconds(100)).has_value());
    // stop() must not wait out the minute: a bound far below the delay and
    // far above any scheduling noise.
    const auto before = std::chrono::steady_clock::now();
    m_server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    EXPECT_EQ(m_server.requests_answered(), 0u);
}

TEST_F(ReferenceServerTest, RestartForgetsEveryClientAfterTheGivenNumberOfRequests) {
    RawClient client(m_endpoint);
    const auto uid = connect(client);
    m_server.faults().restart_after(2);
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, uid).get_type(), MessageType::HEARTBEAT_ECHO);
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, uid).get_type(), MessageType::HEARTBEAT_ECHO);
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, uid).get_type(), MessageType::CLIENT_NOT_RECOGNISED);
    // The configuration stays loaded, so the client can register again.
    const auto again = client.exchange(MessageType::CONNECT, "", 1, connect_text(fast_config));
    EXPECT_EQ(again.get_type(), MessageType::CONNECTED);
    EXPECT_NE(client_uid_of(again), uid);
}

TEST(ReferenceServerAddressTest, BindsBarePortsToLoopbackOnly) {
    const struct {
        std::string address;
        std::string endpoint;
    } rows[] = {
        {"5555", "tcp://127.0.0.1:5555"},
        {"0", "tcp://127.0.0.1:*"},
        {"*", "tcp://127.0.0.1:*"},
        {"tcp://127.0.0.1:7000", "tcp://127.0.0.1:7000"},
        {"ipc:///tmp/x.sock", "ipc:///tmp/x.sock"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        EXPECT_EQ(reference_server::bind_endpoint(row.address), row.endpoint);
    }
    for (const std::string bad : {"inproc://x", "", "myhost:5555", "99999", "12ab"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(reference_server::bind_endpoint(bad), std::runtime_error);
    }
}

TEST(ReferenceServerAddressTest, ReportsTheBoundPortOfAWildcardAddress) {
    ReferenceServer server;
    const auto endpoint = server.start("0");
    EXPECT_EQ(endpoint.rfind("tcp://127.0.0.1:", 0), 0u);
    EXPECT_NE(endpoint.back(), '*');
    RawClient client(endpoint);
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, "0").get_type(), MessageType::HEARTBEAT_ECHO);
}

TEST_F(ReferenceServerTest, AnswersAMultipartRequestBadRequestAndKeepsServing) {
    RawClient client(m_endpoint);
    std::vector<zmq::message_t> parts;
    for (int i = 0; i < 3; ++i) {
        zmq::message_t frame;
        Message(MessageType::HEARTBEAT_PING, "0", 0, "").release_into(frame);
        parts.push_back(std::move(frame));
    }
    auto reply = client.exchange_parts(std::move(parts));
    ASSERT_TRUE(reply.has_value());
    const Message message(std::move(*reply));
    EXPECT_EQ(message.get_type(), MessageType::BAD_REQUEST);
    EXPECT_EQ(reply_text(message), "Request of 3 frames; a request is one frame.");
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, "0").get_type(), MessageType::HEARTBEAT_ECHO);
}

TEST_F(ReferenceServerTest, ReadsThePriorityTheClientEncoded) {
    RawClient client(m_endpoint);
    ASSERT_EQ(client.exchange(MessageType::LOAD_CONFIG, "", 0, fast_config).get_type(), MessageType::SUCCESS);
    for (const std::int32_t priority : {0, 1, 2, 3, 7}) {
        SCOPED_TRACE(priority);
        const auto reply = client.exchange(MessageType::CONNECT, "", ipc_tools::connect_priority_code(priority),
                                           connect_text(fast_config));
        ASSERT_EQ(reply.get_type(), MessageType::CONNECTED);
        EXPECT_EQ(m_server.state().clients().back().request.priority, priority);
    }
}

TEST_F(ReferenceServerTest, ReplacesBytesThatAreNotUtf8InItsInternalState) {
    RawClient client(m_endpoint);
    // A lone continuation byte, a truncated sequence, an overlong '/' and a
    // surrogate, around text that must survive.
    connect(client, std::string(">client_name=a\x80" "b\xe2\x82" "c\xc0\xaf" "d\xed\xa0\x80" "e\xc3\xa9"));
    const auto reply = client.exchange(Message(ipc_tools::QueryCode::internal_state));
    rapidjson::Document state;
    const auto text = reply_text(reply);
    state.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str(), text.size());
    ASSERT_FALSE(state.HasParseError()) << text;
    const std::string replacement = "\xef\xbf\xbd";
    EXPECT_EQ(std::string(state["ServerInformation"]["Connected Clients"][0]["client_name"].GetString()),
              "a" + replacement + "b" + replacement + replacement + "c" + replacement + replacement + "d" +
                  replacement + replacement + replacement + "e\xc3\xa9");
}

TEST(ReferenceServerAddressTest, BindFailuresNameTheAddressAndTheReason) {
    test_support::TempDir folder;
    ReferenceServer first;
    const auto taken = first.start("tcp://127.0.0.1:*");
    const struct {
        std::string address;
        std::string message;
    } rows[] = {
        {"tcp://localhost:5555", "tcp://localhost:5555: ZeroMQ needs an IP address or `*`"},
        {"ipc://" + folder.file("absent/x.sock"), "ipc://" + folder.file("absent/x.sock") + ": folder " +
                                                      folder.file("absent") + " does not exist"},
        {taken, taken + ": address in use"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        ReferenceServer server;
        try {
            server.start(row.address);
            ADD_FAILURE() << "bound";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind(row.message, 0), 0u) << error.what();
        }
    }
}

TEST(ReferenceServerAddressTest, RefusesAnIpcPathALiveServerServesButTakesOverAStaleOne) {
    test_support::TempDir folder;
    const auto endpoint = folder.ipc_endpoint();
    ReferenceServer first;
    first.start(endpoint);
    ReferenceServer second;
    try {
        second.start(endpoint);
        ADD_FAILURE() << "took over a live server's path";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), endpoint + ": address in use by a running server");
    }
    RawClient client(endpoint);
    EXPECT_EQ(client.exchange(MessageType::HEARTBEAT_PING, "0").get_type(), MessageType::HEARTBEAT_ECHO);

    // A socket file left behind by a process that is gone is not in use.
    const auto stale_path = folder.file("stale");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, stale_path.c_str(), stale_path.size() + 1);
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale);
    ASSERT_TRUE(std::filesystem::exists(stale_path));
    ReferenceServer third;
    EXPECT_EQ(third.start("ipc://" + stale_path), "ipc://" + stale_path);
    RawClient stale_client("ipc://" + stale_path);
    EXPECT_EQ(stale_client.exchange(MessageType::HEARTBEAT_PING, "0").get_type(), MessageType::HEARTBEAT_ECHO);
}
