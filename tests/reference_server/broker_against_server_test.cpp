// The request broker's failure handling against the reference server's
// fault modes: each fault gives its exception type and text, and the broker
// works again afterwards (directly when a reply frame arrived, after
// prepare_connection when it did not).

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "ipc_tools/request_broker.h"
#include "reference_server/protocol/reference_server.h"
#include "support/temp_dir.h"

using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;

namespace {

constexpr std::int32_t timeout_ms = 1000;

enum class Thrown { timeout, bad_reply, bad_request, invalid_response };

const char* name_of(Thrown thrown) {
    switch (thrown) {
    case Thrown::timeout:
        return "TimeoutError";
    case Thrown::bad_reply:
        return "BadReply";
    case Thrown::bad_request:
        return "BadRequest";
    case Thrown::invalid_response:
        return "InvalidResponse";
    }
    return "?";
}

// Runs `call` and reports which of the broker's exceptions it threw, with its text.
std::pair<std::string, std::string> thrown_by(const std::function<void()>& call) {
    try {
        call();
    } catch (const ipc_tools::TimeoutError& error) {
        return {name_of(Thrown::timeout), error.what()};
    } catch (const ipc_tools::BadReply& error) {
        return {name_of(Thrown::bad_reply), error.what()};
    } catch (const ipc_tools::BadRequest& error) {
        return {name_of(Thrown::bad_request), error.what()};
    } catch (const ipc_tools::InvalidResponse& error) {
        return {name_of(Thrown::invalid_response), error.what()};
    } catch (const std::exception& error) {
        return {"other", error.what()};
    }
    return {"nothing", ""};
}

}  // namespace

TEST(BrokerAgainstServerTest, EachFaultRaisesItsErrorAndTheBrokerRecovers) {
    test_support::TempDir folder;
    reference_server::ReferenceServer server;
    const auto endpoint = server.start(folder.ipc_endpoint());

    const std::string parse_error = "Error parsing reply from server for request: GET_STATISTICS. ";
    const struct {
        const char* what;
        FaultAction action;
        MessageType reply;
        Thrown thrown;
        std::string text;
        bool needs_prepare;  // no reply frame came, so the socket is stranded
    } rows[] = {
        {"BAD_REQUEST", FaultAction::reply, MessageType::BAD_REQUEST, Thrown::bad_request,
         "Bad request message: GET_STATISTICS. refused here", false},
        {"CLIENT_NOT_RECOGNISED", FaultAction::reply, MessageType::CLIENT_NOT_RECOGNISED, Thrown::timeout,
         "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.", false},
        {"short frame", FaultAction::short_frame, MessageType::UNSET, Thrown::bad_reply,
         "Could not interpret message from server for request: GET_STATISTICS. Reply: UNSET", false},
        {"foreign identifier", FaultAction::foreign_identifier, MessageType::UNSET, Thrown::bad_reply,
         "Could not interpret message from server for request: GET_STATISTICS. Reply: INVALID_PROTOCOL", false},
        {"unknown kind", FaultAction::unknown_kind, MessageType::UNSET, Thrown::bad_reply,
         "Could not interpret message from server for request: GET_STATISTICS. Reply: UNSET", false},
        {"corrupt buffer", FaultAction::corrupt_buffer, MessageType::UNSET, Thrown::bad_reply,
         parse_error + "Invalid MessageData in Message.", false},
        {"late reply", FaultAction::delay, MessageType::UNSET, Thrown::timeout,
         "Timeout waiting for reply to request: GET_STATISTICS", true},
    };

    ipc_tools::RequestBroker broker;
    broker.prepare_connection(endpoint, timeout_ms);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool late = row.action == FaultAction::delay;
        if (late) {
            // Four waits of 150 ms each, then the reply comes 600 ms late.
            broker.prepare_connection(endpoint, 150);
        }
        server.faults().add(FaultRule{MessageType::GET_STATISTICS, row.action, row.reply, "refused here",
                                      late ? 1200u : 0u, 1});
        Message request(MessageType::GET_STATISTICS, "", 0, "");
        Message reply;
        const auto [type, text] = thrown_by([&] { broker.send_request(request, reply); });
        EXPECT_EQ(type, name_of(row.thrown));
        EXPECT_EQ(text, row.text);
        EXPECT_TRUE(request.empty());

        if (row.needs_prepare) {
            Message again(MessageType::GET_STATISTICS, "", 0, "");
            EXPECT_THROW(broker.send_request(again, reply), zmq::error_t);
            broker.prepare_connection(endpoint, timeout_ms);
        }
        Message next(MessageType::GET_STATISTICS, "", 0, "");
        ASSERT_NO_THROW(broker.send_request(next, reply));
        EXPECT_EQ(reply.get_type(), MessageType::RETURN_STATISTICS);
    }
}

TEST(BrokerAgainstServerTest, PingAnsweredWronglyOrNotAtAllFailsPreparation) {
    test_support::TempDir folder;
    reference_server::ReferenceServer server;
    const auto endpoint = server.start(folder.ipc_endpoint());
    ipc_tools::RequestBroker broker;

    server.faults().add(FaultRule{MessageType::HEARTBEAT_PING, FaultAction::reply, MessageType::SUCCESS, "", 0, 1});
    EXPECT_EQ(thrown_by([&] { broker.prepare_connection(endpoint, timeout_ms); }),
              std::make_pair(std::string("TimeoutError"), "Failed to establish connection with address: " + endpoint));
    broker.prepare_connection(endpoint, timeout_ms);

    server.faults().add(FaultRule{MessageType::HEARTBEAT_PING, FaultAction::reply, MessageType::SUCCESS, "", 0, 1});
    EXPECT_EQ(thrown_by([&] { broker.do_ping_server("0"); }),
              std::make_pair(std::string("InvalidResponse"),
                             std::string("invalid response from server, expected: HEARTBEAT_ECHO, received: SUCCESS")));
    EXPECT_NO_THROW(broker.do_ping_server("0"));

    const auto absent = folder.ipc_endpoint("absent");
    EXPECT_EQ(thrown_by([&] { broker.prepare_connection(absent, 20); }),
              std::make_pair(std::string("TimeoutError"), "Failed to establish connection with address: " + absent));
}
