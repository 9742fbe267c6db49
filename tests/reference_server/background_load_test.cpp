// What loads of alignment indices can make the reference server hold, as a
// hostile client on loopback would try: copies of one index under option
// texts that build the same index, indices past the cap, and threads of
// failed loads asked for again and again.

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <zmq.hpp>

#include "reference_server/raw_client.h"
#include "reference_server/read_client.h"
#include "reference_server/protocol/reference_server.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::ReferenceServer;
using test_support::RawClient;
using test_support::reply_text;

namespace {

std::size_t thread_count() {
    std::size_t threads = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        ++threads;
    }
    return threads;
}

std::size_t mapping_count() {
    std::ifstream maps("/proc/self/maps");
    std::size_t lines = 0;
    for (std::string line; std::getline(maps, line);) {
        ++lines;
    }
    return lines;
}

reference_server::ServerSettings two_indices() {
    auto settings = reference_server::default_settings();
    settings.max_loaded_indices = 2;
    settings.max_index_loads = 1;
    return settings;
}

class BackgroundLoadTest : public ::testing::Test {
protected:
    BackgroundLoadTest() : m_server(two_indices()) {}

    void SetUp() override {
        for (const char* name : {"a.fa", "b.fa", "c.fa"}) {
            std::ofstream(m_folder.file(name)) << ">" << name << "\n" << test_support::test_sequence(name[0], 5000) << "\n";
        }
        m_endpoint = m_server.start(m_folder.ipc_endpoint(), m_folder.ipc_endpoint("control"));
        m_control.set(zmq::sockopt::linger, 0);
        m_control.set(zmq::sockopt::rcvtimeo, 5000);
        m_control.connect(m_server.control_endpoint());
    }

    // The load's answer once it is no longer LOADING; checks on the way
    // that no more loads run than the settings allow.
    Message load(RawClient& client, const std::string& text, MessageType type = MessageType::LOAD_INDEX) {
        Message reply;
        EXPECT_TRUE(test_support::wait_until(
            [&] {
                EXPECT_LE(status("loads"), 1u);
                reply = client.exchange(type, "", 0, text);
                return reply.get_type() != MessageType::LOADING;
            },
            "the load of " + text, std::chrono::seconds(30)));
        return reply;
    }

    std::string control(const std::string& command) {
        m_control.send(zmq::buffer(command), zmq::send_flags::none);
        zmq::message_t answer;
        EXPECT_TRUE(m_control.recv(answer).has_value());
        return answer.to_string();
    }

    std::uint64_t status(const char* member) {
        rapidjson::Document answer;
        answer.Parse(control(R"({"command": "status"})").c_str());
        return answer[member].GetUint64();
    }

    std::map<std::string, std::string> listed(RawClient& client) {
        std::map<std::string, std::string> names;
        const Message indices = client.exchange(MessageType::GET_INDICES);
        if (const auto* headers = indices.get_message_data().data_as_ConfigList()->index_headers()) {
            for (const auto* entry : *headers) {
                names[entry->name()->str()] = entry->header()->str();
            }
        }
        names.erase("/reference/sample.mmi");
        return names;
    }

    std::string with_options(const std::string& path, const std::string& options) {
        return path + ":>minimap_opt_string=" + options;
    }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
    zmq::context_t m_context{1};
    zmq::socket_t m_control{m_context, zmq::socket_type::req};

};

}  // namespace

TEST_F(BackgroundLoadTest, OptionTextsOfOneIndexShareItAndTheLeastRecentlyUsedGoesPastTheCap) {
    RawClient client(m_endpoint);
    const std::string a = m_folder.file("a.fa");
    const std::filesystem::path link = m_folder.file("link.fa");
    std::filesystem::create_symlink(a, link);
    // Options that change nothing in the index, and a link to the file:
    // one index, each text still listed and connectable.
    for (const std::string& text : {a, with_options(a, "-a"), with_options(a, "-a -a"), with_options(a, "-t 1"),
                                    with_options(a, "-c"), link.string()}) {
        SCOPED_TRACE(text);
        ASSERT_EQ(load(client, text).get_type(), MessageType::SUCCESS);
    }
    EXPECT_EQ(status("indices"), 1u);
    EXPECT_EQ(listed(client).size(), 2u);

    // Another k makes another index; a third file pushes out the least
    // recently used, which leaves the listing and admits no client.
    ASSERT_EQ(load(client, with_options(a, "-k 13")).get_type(), MessageType::SUCCESS);
    EXPECT_EQ(status("indices"), 2u);
    ASSERT_EQ(load(client, with_options(a, "-a")).get_type(), MessageType::SUCCESS);  // a use of the first
    ASSERT_EQ(load(client, m_folder.file("b.fa")).get_type(), MessageType::SUCCESS);
    EXPECT_EQ(status("indices"), 2u);
    const auto names = listed(client);
    EXPECT_EQ(names.count(a), 1u);
    EXPECT_EQ(names.count(m_folder.file("b.fa")), 1u);
    ASSERT_EQ(client.exchange(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast").get_type(), MessageType::SUCCESS);
    const auto refused = client.exchange(MessageType::CONNECT, "", 1,
                                         "ref_dna_fast:>align_ref=" + a + ">minimap_opt_string=-k 13");
    EXPECT_EQ(refused.get_type(), MessageType::INVALID_INDEX);
    const auto admitted =
        client.exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>align_ref=" + a + ">minimap_opt_string=-t 1");
    EXPECT_EQ(admitted.get_type(), MessageType::CONNECTED) << reply_text(admitted);

    // Unloading by path, and the connected client keeps its aligner.
    EXPECT_EQ(control(R"({"command": "unload_index", "path": ")" + m_folder.file("b.fa") + R"("})"),
              R"({"ok":true,"unloaded":1})");
    EXPECT_EQ(status("indices"), 1u);
    EXPECT_EQ(listed(client).count(m_folder.file("b.fa")), 0u);
}

TEST_F(BackgroundLoadTest, AFailedLoadIsAnsweredAgainWithoutAThreadUntilTheFileChanges) {
    RawClient client(m_endpoint);
    const std::string empty = m_folder.file("empty.fa");
    std::ofstream(empty).close();
    const std::string failure =
        "Could not load alignment index " + empty + ": the alignment index " + empty + " holds no sequence";
    ASSERT_EQ(reply_text(load(client, empty)), failure);
    const std::size_t threads = thread_count();
    const std::size_t mappings = mapping_count();
    for (int i = 0; i < 300; ++i) {
        const Message reply = client.exchange(MessageType::LOAD_INDEX, "", 0, empty);
        ASSERT_EQ(reply.get_type(), MessageType::REQUEST_FAILED);
        ASSERT_EQ(reply_text(reply), failure);
    }
    EXPECT_EQ(status("loads"), 0u);
    EXPECT_LE(thread_count(), threads);
    // Each thread left behind kept a stack mapping.
    EXPECT_LT(mapping_count(), mappings + 20);

    // A changed file is loaded afresh at once.
    std::ofstream(empty) << ">fixed\n" << test_support::test_sequence(5, 3000) << "\n";
    EXPECT_EQ(load(client, empty).get_type(), MessageType::SUCCESS);
    EXPECT_EQ(status("loads"), 0u);
}
