#include "ipc_tools/request_broker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "ipc_tools/wire_format.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

using ipc_tools::Message;
using ipc_tools::MessageType;
using ipc_tools::RequestBroker;
namespace wire = ipc_tools::wire;

namespace {

std::vector<std::uint8_t> bytes_of(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return {frame.data<std::uint8_t>(), frame.data<std::uint8_t>() + frame.size()};
}

// What the peer does with one request.
struct PeerAction {
    enum class Kind { send, withhold };
    Kind kind = Kind::send;
    std::vector<std::uint8_t> bytes;

    static PeerAction reply(MessageType type, const std::string& text = "") {
        return {Kind::send, bytes_of(Message(type, "", 0, text))};
    }
    static PeerAction raw(std::vector<std::uint8_t> bytes) { return {Kind::send, std::move(bytes)}; }
    // Keeps the request unanswered until release_withheld().
    static PeerAction withhold() { return {Kind::withhold, {}}; }
};

struct SeenRequest {
    MessageType type;
    std::string client_id;
};

// A small server: a REP socket bound to an endpoint, served by its own
// thread, answering each request as the script says. Pings are echoed
// unless the script handles them.
class ScriptedPeer {
public:
    using Script = std::function<PeerAction(const Message& request)>;

    ScriptedPeer(const std::string& endpoint, Script script)
        : m_context(1), m_socket(m_context, zmq::socket_type::rep), m_script(std::move(script)) {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.bind(endpoint);
        m_thread = std::thread([this] { serve(); });
    }

    ~ScriptedPeer() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Lets a withheld reply go; it reaches the broker only if the socket that
    // asked is still there.
    void release_withheld() {
        {
            std::lock_guard lock(m_mutex);
            m_release = true;
        }
        m_wake.notify_all();
    }

    std::vector<SeenRequest> seen() const {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }

    std::size_t seen_count() const {
        std::lock_guard lock(m_mutex);
        return m_seen.size();
    }

private:
    // Peer thread only.
    void serve() {
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                if (m_stop) {
                    return;
                }
            }
            zmq::pollitem_t item{static_cast<void*>(m_socket), 0, ZMQ_POLLIN, 0};
            zmq::poll(&item, 1, std::chrono::milliseconds(5));
            if ((item.revents & ZMQ_POLLIN) == 0) {
                continue;
            }
            zmq::message_t frame;
            static_cast<void>(m_socket.recv(frame));
            const Message request{zmq::message_t(frame.data(), frame.size())};
            const auto& envelope = request.get_message_data();
            {
                std::lock_guard lock(m_mutex);
                m_seen.push_back({request.get_type(), envelope.client_id() ? envelope.client_id()->str() : ""});
            }

            PeerAction action = m_script ? m_script(request) : PeerAction::reply(MessageType::HEARTBEAT_ECHO);
            if (action.kind == PeerAction::Kind::withhold) {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_release || m_stop; });
                m_release = false;
                action = PeerAction::reply(MessageType::HEARTBEAT_ECHO);
            }
            m_socket.send(zmq::buffer(action.bytes), zmq::send_flags::none);
        }
    }

    zmq::context_t m_context;
    zmq::socket_t m_socket;  // peer thread only, once started
    Script m_script;         // peer thread only
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;              // guarded by m_mutex
    bool m_release = false;           // guarded by m_mutex
    std::vector<SeenRequest> m_seen;  // guarded by m_mutex
};

// Echoes pings; answers GET_STATISTICS with `answer` the first time and with
// RETURN_STATISTICS after that.
ScriptedPeer::Script statistics_script(PeerAction answer) {
    auto first = std::make_shared<bool>(true);
    return [answer = std::move(answer), first](const Message& request) {
        if (request.get_type() != MessageType::GET_STATISTICS) {
            return PeerAction::reply(MessageType::HEARTBEAT_ECHO);
        }
        if (std::exchange(*first, false)) {
            return answer;
        }
        flatbuffers::FlatBufferBuilder builder;
        ipc_tools::finish_envelope(builder, "", wire::MessageData::Statistics,
                                   wire::CreateStatistics(builder, 11, 12, 13, 14).Union());
        return PeerAction::raw(bytes_of(Message(builder)));
    };
}

Message get_statistics() { return Message(MessageType::GET_STATISTICS, "", 0, ""); }

constexpr std::int32_t generous_timeout_ms = 2000;
constexpr std::int32_t short_timeout_ms = 20;
// Long enough for a first exchange on a slow (sanitised, loaded) machine.
constexpr std::int32_t withheld_timeout_ms = 200;

template <class Error>
std::string thrown_text(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.what();
    } catch (const std::exception& other) {
        return std::string("wrong exception: ") + other.what();
    }
    return "no exception";
}

}  // namespace

TEST(RequestBrokerTest, GeneratesEndpointsFromAddresses) {
    const std::pair<const char*, const char*> rows[] = {
        {"ipc:///tmp/server.sock", "ipc:///tmp/server.sock"},
        {"inproc://server", "inproc://server"},
        {"5555", "tcp://localhost:5555"},
        {"10.0.0.1:5555", "tcp://10.0.0.1:5555"},
        {"myhost:5555", "tcp://myhost:5555"},
        {"tcp://127.0.0.1:5555", "tcp://127.0.0.1:5555"},
    };
    for (const auto& [address, endpoint] : rows) {
        SCOPED_TRACE(address);
        EXPECT_EQ(RequestBroker::generate_server_address(address), endpoint);
    }
}

TEST(RequestBrokerTest, PreparesWithAPingOfClientIdZeroAndConsumesRequests) {
    test_support::TempDir dir;
    ScriptedPeer peer(dir.ipc_endpoint(), statistics_script(PeerAction::reply(MessageType::SUCCESS)));
    RequestBroker broker;
    broker.prepare_connection(dir.ipc_endpoint(), generous_timeout_ms);

    Message request = get_statistics();
    Message reply;
    broker.send_request(request, reply);
    EXPECT_TRUE(request.empty());
    EXPECT_EQ(request.get_type(), MessageType::UNSET);
    EXPECT_EQ(reply.get_type(), MessageType::SUCCESS);

    const auto seen = peer.seen();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].type, MessageType::HEARTBEAT_PING);
    EXPECT_EQ(seen[0].client_id, "0");
    EXPECT_EQ(seen[1].type, MessageType::GET_STATISTICS);
}

TEST(RequestBrokerTest, ReportsUnusableRepliesAndStaysUsable) {
    auto foreign = bytes_of(Message(MessageType::SUCCESS, "", 0, ""));
    std::memcpy(foreign.data() + 4, "0025", 4);
    const std::vector<std::uint8_t> corrupt = {0xF0, 0, 0, 0, '0', '0', '2', '6', 0, 0, 0, 0};
    flatbuffers::FlatBufferBuilder unknown_kind;
    ipc_tools::finish_envelope(unknown_kind, "", wire::MessageData::Reply,
                               wire::CreateReply(unknown_kind, static_cast<wire::ReplyType>(19)).Union());
    const auto unknown_kind_bytes = bytes_of(Message(unknown_kind));

    struct Row {
        const char* what;
        PeerAction answer;
        std::function<std::string(const std::function<void()>&)> catch_as;
        std::string expected;
    };
    const std::string prefix = "Could not interpret message from server for request: GET_STATISTICS. Reply: ";
    const Row rows[] = {
        {"bad request", PeerAction::reply(MessageType::BAD_REQUEST, "no such thing"),
         thrown_text<ipc_tools::BadRequest>, "Bad request message: GET_STATISTICS. no such thing"},
        {"bad request without text", PeerAction::reply(MessageType::BAD_REQUEST),
         thrown_text<ipc_tools::BadRequest>, "Bad request message: GET_STATISTICS. "},
        {"four-byte frame", PeerAction::raw({1, 2, 3, 4}), thrown_text<ipc_tools::BadReply>, prefix + "UNSET"},
        {"foreign identifier", PeerAction::raw(foreign), thrown_text<ipc_tools::BadReply>,
         prefix + "INVALID_PROTOCOL"},
        {"corrupt buffer", PeerAction::raw(corrupt), thrown_text<ipc_tools::BadReply>,
         "Error parsing reply from server for request: GET_STATISTICS. Invalid MessageData in Message."},
        {"unknown kind", PeerAction::raw(unknown_kind_bytes), thrown_text<ipc_tools::BadReply>, prefix + "UNSET"},
        {"client not recognised", PeerAction::reply(MessageType::CLIENT_NOT_RECOGNISED),
         thrown_text<ipc_tools::TimeoutError>,
         "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test_support::TempDir dir;
        ScriptedPeer peer(dir.ipc_endpoint(), statistics_script(row.answer));
        RequestBroker broker;
        broker.prepare_connection(dir.ipc_endpoint(), generous_timeout_ms);

        Message reply;
        EXPECT_EQ(row.catch_as([&] {
                      Message request = get_statistics();
                      broker.send_request(request, reply);
                  }),
                  row.expected);

        // A reply frame was taken, so the socket is ready for the next request.
        Message request = get_statistics();
        broker.send_request(request, reply);
        ASSERT_EQ(reply.get_type(), MessageType::RETURN_STATISTICS);
        EXPECT_EQ(reply.get_message_data().data_as_Statistics()->period_reads_out(), 14U);
    }
}

TEST(RequestBrokerTest, TimesOutAndRecoversOnlyThroughPrepareConnection) {
    test_support::TempDir dir;
    ScriptedPeer peer(dir.ipc_endpoint(), statistics_script(PeerAction::withhold()));
    RequestBroker broker;
    broker.prepare_connection(dir.ipc_endpoint(), withheld_timeout_ms);

    Message reply;
    EXPECT_EQ(thrown_text<ipc_tools::TimeoutError>([&] {
                  Message request = get_statistics();
                  broker.send_request(request, reply);
              }),
              "Timeout waiting for reply to request: GET_STATISTICS");

    // The request socket still awaits its reply and refuses to send.
    Message refused = get_statistics();
    EXPECT_THROW(broker.send_request(refused, reply), zmq::error_t);

    peer.release_withheld();
    broker.prepare_connection(dir.ipc_endpoint(), generous_timeout_ms);
    Message request = get_statistics();
    broker.send_request(request, reply);
    EXPECT_EQ(reply.get_type(), MessageType::RETURN_STATISTICS);
}

TEST(RequestBrokerTest, FailsToPrepareWithoutAnEchoingServer) {
    // A tcp port that nothing listens on any more.
    std::string port;
    {
        zmq::context_t context;
        zmq::socket_t probe(context, zmq::socket_type::rep);
        probe.set(zmq::sockopt::linger, 0);
        probe.bind("tcp://127.0.0.1:*");
        const std::string endpoint = probe.get(zmq::sockopt::last_endpoint);
        port = endpoint.substr(endpoint.rfind(':') + 1);
    }
    test_support::TempDir dir;
    RequestBroker broker;
    EXPECT_EQ(thrown_text<ipc_tools::TimeoutError>([&] { broker.prepare_connection(port, short_timeout_ms); }),
              "Failed to establish connection with address: tcp://localhost:" + port);
    EXPECT_EQ(thrown_text<ipc_tools::TimeoutError>(
                  [&] { broker.prepare_connection(dir.ipc_endpoint("none"), short_timeout_ms); }),
              "Failed to establish connection with address: " + dir.ipc_endpoint("none"));

    // A server that answers pings with anything but an echo is no server.
    ScriptedPeer peer(dir.ipc_endpoint(), [](const Message&) { return PeerAction::reply(MessageType::SUCCESS); });
    EXPECT_EQ(thrown_text<ipc_tools::TimeoutError>(
                  [&] { broker.prepare_connection(dir.ipc_endpoint(), generous_timeout_ms); }),
              "Failed to establish connection with address: " + dir.ipc_endpoint());
    EXPECT_EQ(thrown_text<ipc_tools::InvalidResponse>([&] { broker.do_ping_server("abc"); }),
              "invalid response from server, expected: HEARTBEAT_ECHO, received: SUCCESS");
    EXPECT_EQ(peer.seen().back().client_id, "abc");
}

TEST(RequestBrokerTest, PingsOnlyAfterASecondOfQuiet) {
    test_support::TempDir dir;
    ScriptedPeer peer(dir.ipc_endpoint(), statistics_script(PeerAction::reply(MessageType::SUCCESS)));
    RequestBroker broker;
    broker.prepare_connection(dir.ipc_endpoint(), generous_timeout_ms);

    const auto before_request = std::chrono::steady_clock::now();
    Message request = get_statistics();
    Message reply;
    broker.send_request(request, reply);
    const auto after_request = peer.seen_count();

    broker.ping_server_if_quiet("c1");
    EXPECT_EQ(peer.seen_count(), after_request);

    ASSERT_TRUE(test_support::wait_until(
        [&] {
            broker.ping_server_if_quiet("c1");
            return peer.seen_count() > after_request;
        },
        "a ping after a quiet second"));
    EXPECT_GE(std::chrono::steady_clock::now() - before_request, std::chrono::seconds(1));
    EXPECT_EQ(peer.seen().back().type, MessageType::HEARTBEAT_PING);
    EXPECT_EQ(peer.seen().back().client_id, "c1");

    // The ping restarted the quiet window.
    broker.ping_server_if_quiet("c1");
    EXPECT_EQ(peer.seen_count(), after_request + 1);
}

TEST(RequestBrokerDeathTest, SendingWithoutSocketOrRequestIsAContractViolation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    {
        RequestBroker broker;
        Message request = get_statistics();
        Message reply;
        EXPECT_DEATH(broker.send_request(request, reply), "null socket.*\n.*\"m_socket.get\\(\\) != nullptr\"");
    }

    test_support::TempDir dir;
    ScriptedPeer peer(dir.ipc_endpoint(), statistics_script(PeerAction::reply(MessageType::SUCCESS)));
    RequestBroker broker;
    broker.prepare_connection(dir.ipc_endpoint(), generous_timeout_ms);
    Message request = get_statistics();
    Message reply;
    broker.send_request(request, reply);
    EXPECT_DEATH(broker.send_request(request, reply),
                 "invalid request.*\n.*request_broker\\.cpp:[0-9]+ "
                 "\"!request.empty\\(\\) && request.get_type\\(\\) != UNSET\"");
}

// A socket that could not be connected is dropped: a later send is the
// contract violation of an unprepared broker, not a wait for ever on a
// socket without a peer.
TEST(RequestBrokerDeathTest, FailedConnectLeavesNoSocketBehind) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test_support::TempDir dir;
    ScriptedPeer peer(dir.ipc_endpoint(), statistics_script(PeerAction::reply(MessageType::SUCCESS)));
    RequestBroker broker;
    broker.prepare_connection(dir.ipc_endpoint(), generous_timeout_ms);
    // No port: ZeroMQ refuses the endpoint when connecting.
    EXPECT_THROW(broker.prepare_connection("tcp://no-port-here", generous_timeout_ms), zmq::error_t);
    Message request = get_statistics();
    Message reply;
    // The alarm ends a child that waits instead of dying, so the test fails
    // rather than hangs.
    EXPECT_DEATH(
        {
            ::alarm(20);
            broker.send_request(request, reply);
        },
        "null socket.*\n.*\"m_socket.get\\(\\) != nullptr\"");
}
