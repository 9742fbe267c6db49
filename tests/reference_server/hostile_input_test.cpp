// What a hostile client can send the reference server, one row each: files
// it should not read or cannot read, texts that would forge log lines, a
// control command nested beyond any need. Every row gets an answer that
// says what is wrong, no answer carries a file's content, and every
// request logs as exactly one line.

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "reference_server/alignment/aligner.h"
#include "reference_server/raw_client.h"
#include "reference_server/protocol/reference_server.h"
#include "reference_server/protocol/request_log.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::MessageType;
using reference_server::ReferenceServer;
using test_support::RawClient;
using test_support::reply_text;

namespace {

namespace fs = std::filesystem;

// A line of a file no answer may ever quote.
const std::string secret = "root:x:0:0:the-secret-first-line";

void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

class HostileInputTest : public ::testing::Test {
protected:
    HostileInputTest() : m_server(settings()) {
        m_server.set_request_log([this](const reference_server::RequestRecord& record) {
            std::lock_guard lock(m_mutex);
            m_records.push_back(record);
        });
    }

    void SetUp() override {
        const std::string bases(400, 'A');
        write_file(data("secret.bed"), secret + "\nchr1\t0\t10\n");
        write_file(m_folder.file("outside.bed"), "chr1\t0\t10\n");
        fs::create_symlink(m_folder.file("outside.bed"), data("link.bed"));
        fs::create_directory(data("folder"));
        write_file(data("duplicate.fa"), ">chr1\n" + bases + "\n>chr2\n" + bases + "\n>chr1 again\n" + bases + "\n");
        write_file(data("long_name.fa"), ">" + std::string(300, 'n') + "\n" + bases + "\n");
        write_file(data("headers_only.fa"), ">chr1\n>chr2\n");
        write_file(data("control_name.fa"), ">chr\x1b[2J\n" + bases + "\n");
        std::string binary;
        for (int i = 0; i < 4096; ++i) {
            binary += static_cast<char>((i * 7919) % 256);
        }
        write_file(data("binary.bin"), binary);
        m_endpoint = m_server.start(m_folder.ipc_endpoint(), m_folder.ipc_endpoint("control"));
    }

    reference_server::ServerSettings settings() {
        fs::create_directory(m_folder.file("data"));
        auto settings = reference_server::default_settings();
        settings.data_root = fs::canonical(m_folder.file("data")).string();
        return settings;
    }

    std::string data(const std::string& name) const { return m_folder.file("data/" + name); }

    std::string control(const std::string& command) {
        zmq::context_t context(1);
        zmq::socket_t socket(context, zmq::socket_type::req);
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::rcvtimeo, 5000);
        socket.connect(m_server.control_endpoint());
        socket.send(zmq::buffer(command), zmq::send_flags::none);
        zmq::message_t answer;
        EXPECT_TRUE(socket.recv(answer).has_value());
        return answer.to_string();
    }

    std::vector<reference_server::RequestRecord> records() {
        std::lock_guard lock(m_mutex);
        return m_records;
    }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
    std::mutex m_mutex;
    std::vector<reference_server::RequestRecord> m_records;  // guarded by m_mutex
};

}  // namespace

TEST_F(HostileInputTest, RefusesWithAReasonDisclosesNothingAndLogsOneLinePerRequest) {
    const std::string failed_index = "Could not load alignment index ";
    const struct {
        const char* what;
        MessageType request;  // UNSET: a control command
        std::string client_id;
        std::string text;
        MessageType reply;
        std::string reply_text;  // the whole text, or its start when it ends in "..."
        bool needs_aligner = false;
    } rows[] = {
        // Files.
        {"a file that is not BED", MessageType::LOAD_BED, "", data("secret.bed"), MessageType::REQUEST_FAILED,
         "Could not load bed file " + data("secret.bed") + ": BED line 1 is not a region"},
        {"a file outside the data root", MessageType::LOAD_BED, "", m_folder.file("outside.bed"),
         MessageType::REQUEST_FAILED,
         "Could not load bed file " + m_folder.file("outside.bed") + ": outside the server's data root"},
        {"a link out of the data root", MessageType::LOAD_BED, "", data("link.bed"), MessageType::REQUEST_FAILED,
         "Could not load bed file " + data("link.bed") + ": outside the server's data root"},
        {"a way up out of the data root", MessageType::LOAD_BED, "", data("../outside.bed"),
         MessageType::REQUEST_FAILED,
         "Could not load bed file " + data("../outside.bed") + ": outside the server's data root"},
        {"a system file", MessageType::LOAD_INDEX, "", "/etc/passwd", MessageType::REQUEST_FAILED,
         failed_index + "/etc/passwd: outside the server's data root"},
        {"an index the settings describe", MessageType::LOAD_INDEX, "", "/reference/sample.mmi", MessageType::SUCCESS,
         ""},
        {"a folder as a BED file", MessageType::LOAD_BED, "", data("folder"), MessageType::REQUEST_FAILED,
         "Could not load bed file " + data("folder") + ": it is a folder"},
        {"a folder as an index", MessageType::LOAD_INDEX, "", data("folder"), MessageType::REQUEST_FAILED,
         failed_index + data("folder") + ": it is a folder", true},
        {"two sequences of one name", MessageType::LOAD_INDEX, "", data("duplicate.fa"), MessageType::REQUEST_FAILED,
         failed_index + data("duplicate.fa") + ": sequences 1 and 3 have the same name", true},
        {"a name longer than clients take", MessageType::LOAD_INDEX, "", data("long_name.fa"),
         MessageType::REQUEST_FAILED,
         failed_index + data("long_name.fa") + ": the name of sequence 1 has 300 characters; at most 252 are taken",
         true},
        {"a name with a control character", MessageType::LOAD_INDEX, "", data("control_name.fa"),
         MessageType::REQUEST_FAILED,
         failed_index + data("control_name.fa") + ": the name of sequence 1 holds a character SAM names may not have",
         true},
        {"sequences without bases", MessageType::LOAD_INDEX, "", data("headers_only.fa"), MessageType::REQUEST_FAILED,
         failed_index + data("headers_only.fa") + ": sequence 1 holds no bases", true},
        {"a binary file", MessageType::LOAD_INDEX, "", data("binary.bin"), MessageType::REQUEST_FAILED,
         failed_index + data("binary.bin") + ": neither FASTA nor FASTQ text (plain or gzip) nor a minimap2 index",
         true},
        // Texts that would forge log lines or drive a terminal.
        {"a forged client id", MessageType::HEARTBEAT_PING, "7\nreference_server stopped (SIGTERM)\x1b[2J", "",
         MessageType::CLIENT_NOT_RECOGNISED, ""},
        {"a forged configuration name", MessageType::LOAD_CONFIG, "", "x\r\n\x1b]0;owned\x07\xc2\x9b" "31m",
         MessageType::REQUEST_FAILED, "Unknown basecall configuration: x\r\n\x1b]0;owned\x07\xc2\x9b" "31m"},
        // Nesting past any need: the server answers instead of overflowing its stack.
        {"a deep control command", MessageType::UNSET, "", std::string(200'000, '['), MessageType::UNSET,
         R"({"ok":false,"error":"command is not valid JSON: nested deeper than 64 levels"})"},
    };
    RawClient client(m_endpoint);
    std::size_t requests = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.needs_aligner && !reference_server::Aligner::available()) {
            continue;
        }
        if (row.request == MessageType::UNSET) {
            EXPECT_EQ(control(row.text), row.reply_text);
            continue;
        }
        ipc_tools::Message reply;
        ASSERT_TRUE(test_support::wait_until(
            [&] {
                ++requests;
                reply = client.exchange(row.request, row.client_id, 0, row.text);
                return reply.get_type() != MessageType::LOADING;
            },
            "an answer other than LOADING", std::chrono::seconds(30)));
        EXPECT_EQ(reply.get_type(), row.reply) << reply_text(reply);
        EXPECT_EQ(reply_text(reply), row.reply_text);
        EXPECT_EQ(reply_text(reply).find("the-secret"), std::string::npos);
    }

    ASSERT_TRUE(test_support::wait_until([&] { return records().size() == requests; }, "every request logged"));
    for (const auto& record : records()) {
        const std::string line = reference_server::request_log_line(record, 2);
        SCOPED_TRACE(line);
        EXPECT_EQ(line.find_first_of("\n\r\x1b\x07"), std::string::npos);
        EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos);
        EXPECT_EQ(line.find("the-secret"), std::string::npos);
    }
    const auto forged = reference_server::request_log_line(records().at(requests - 2), 2);
    EXPECT_EQ(forged, "HEARTBEAT_PING client=7\\nreference_server stopped (SIGTERM)\\x1b[2J -> CLIENT_NOT_RECOGNISED "
                      "value=0 text=\"\" reply_text=\"\"");
}
