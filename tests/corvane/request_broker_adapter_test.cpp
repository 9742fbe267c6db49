// The adapter's one error mapping: every transport failure of the broker
// becomes false plus its record, whether raised directly or by a real
// server's fault, and nothing outside the mapping is swallowed.

#include "corvane/request_broker_adapter.h"

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "reference_server/protocol/reference_server.h"
#include "support/temp_dir.h"

using corvane::ConnectionError;
using corvane::ConnectionErrorInfo;
using corvane::RequestBrokerAdapter;
using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;

namespace {

constexpr unsigned int timeout_ms = 200;

Message statistics_request() { return Message(MessageType::GET_STATISTICS, "", 0, ""); }

}  // namespace

TEST(RequestBrokerAdapterTest, InvokeRecordsEachTransportErrorAsItsCode) {
    const std::system_error reset(10054, std::system_category(), "connection reset");
    const struct {
        const char* what;
        std::function<void()> call;
        ConnectionErrorInfo expected;
    } rows[] = {
        {"BadReply", [] { throw ipc_tools::BadReply("unreadable"); }, {ConnectionError::bad_reply, "unreadable"}},
        {"BadRequest", [] { throw ipc_tools::BadRequest("refused"); }, {ConnectionError::bad_request, "refused"}},
        {"TimeoutError", [] { throw ipc_tools::TimeoutError("late"); }, {ConnectionError::timed_out, "late"}},
        {"InvalidResponse", [] { throw ipc_tools::InvalidResponse("odd"); },
         {ConnectionError::invalid_response, "odd"}},
        {"system_error", [&] { throw reset; },
         {ConnectionError::failed, std::string("std::system_error[system:10054] : ") + reset.what()}},
        {"zmq::error_t", [] { throw zmq::error_t(EFSM); },
         {ConnectionError::failed, std::string("zmq::error_t : ") + zmq_strerror(EFSM)}},
    };
    RequestBrokerAdapter adapter;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_FALSE(adapter.invoke(row.call));
        EXPECT_EQ(adapter.last_error(), row.expected);
        // Success right after a failure leaves a clean record.
        EXPECT_TRUE(adapter.invoke([] {}));
        EXPECT_EQ(adapter.last_error(), ConnectionErrorInfo{});
    }
}

TEST(RequestBrokerAdapterTest, ExceptionsOutsideTheMappingReachTheCaller) {
    RequestBrokerAdapter adapter;
    EXPECT_THROW(adapter.invoke([] { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_THROW(adapter.invoke([] { throw std::logic_error("bug"); }), std::logic_error);
}

TEST(RequestBrokerAdapterTest, NoServerAtTheAddressIsTimedOut) {
    test_support::TempDir folder;
    const auto endpoint = folder.ipc_endpoint("nobody");
    RequestBrokerAdapter adapter;
    EXPECT_FALSE(adapter.prepare_connection(endpoint, 50));
    EXPECT_EQ(adapter.last_error(),
              (ConnectionErrorInfo{ConnectionError::timed_out, "Failed to establish connection with address: " + endpoint}));
}

TEST(RequestBrokerAdapterTest, ServerFaultsArriveAsRecords) {
    test_support::TempDir folder;
    reference_server::ReferenceServer server;
    const auto endpoint = server.start(folder.ipc_endpoint());
    const struct {
        const char* what;
        FaultRule fault;
        ConnectionErrorInfo expected;
    } rows[] = {
        {"restart", {MessageType::GET_STATISTICS, FaultAction::reply, MessageType::CLIENT_NOT_RECOGNISED, "", 0, 1},
         {ConnectionError::timed_out, "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart."}},
        {"bad request", {MessageType::GET_STATISTICS, FaultAction::reply, MessageType::BAD_REQUEST, "no", 0, 1},
         {ConnectionError::bad_request, "Bad request message: GET_STATISTICS. no"}},
        {"short frame", {MessageType::GET_STATISTICS, FaultAction::short_frame, MessageType::UNSET, "", 0, 1},
         {ConnectionError::bad_reply,
          "Could not interpret message from server for request: GET_STATISTICS. Reply: UNSET"}},
    };
    RequestBrokerAdapter adapter;
    ASSERT_TRUE(adapter.prepare_connection(endpoint, timeout_ms)) << adapter.last_error();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        server.faults().add(row.fault);
        auto request = statistics_request();
        Message reply;
        EXPECT_FALSE(adapter.send_request(request, reply));
        EXPECT_EQ(adapter.last_error(), row.expected);
        EXPECT_TRUE(request.empty());
        // A reply frame arrived, so the same socket carries on.
        request = statistics_request();
        EXPECT_TRUE(adapter.send_request(request, reply)) << adapter.last_error();
        EXPECT_EQ(reply.get_type(), MessageType::RETURN_STATISTICS);
    }
}

TEST(RequestBrokerAdapterTest, UnansweredRequestStrandsTheSocketUntilPreparedAgain) {
    test_support::TempDir folder;
    reference_server::ReferenceServer server;
    const auto endpoint = server.start(folder.ipc_endpoint());
    RequestBrokerAdapter adapter;
    // Four polls of 250 ms give up before the reply, which comes after 1.5 s;
    // the server is still busy with it for at most 0.5 s when prepared again.
    ASSERT_TRUE(adapter.prepare_connection(endpoint, 250)) << adapter.last_error();
    server.faults().add({MessageType::GET_STATISTICS, FaultAction::delay, MessageType::UNSET, "", 1500, 1});

    auto request = statistics_request();
    Message reply;
    EXPECT_FALSE(adapter.send_request(request, reply));
    EXPECT_EQ(adapter.last_error(),
              (ConnectionErrorInfo{ConnectionError::timed_out, "Timeout waiting for reply to request: GET_STATISTICS"}));

    request = statistics_request();
    EXPECT_FALSE(adapter.send_request(request, reply));
    EXPECT_EQ(adapter.last_error().code, ConnectionError::failed);
    EXPECT_EQ(adapter.last_error().message.rfind("zmq::error_t : ", 0), 0u) << adapter.last_error();

    ASSERT_TRUE(adapter.prepare_connection(endpoint, timeout_ms)) << adapter.last_error();
    request = statistics_request();
    EXPECT_TRUE(adapter.send_request(request, reply)) << adapter.last_error();
}

TEST(RequestBrokerAdapterTest, QuietPingWithinASecondSendsNothing) {
    test_support::TempDir folder;
    reference_server::ReferenceServer server;
    const auto endpoint = server.start(folder.ipc_endpoint());
    RequestBrokerAdapter adapter;
    ASSERT_TRUE(adapter.prepare_connection(endpoint, timeout_ms)) << adapter.last_error();
    EXPECT_TRUE(adapter.ping_server_if_quiet("0"));
    EXPECT_EQ(adapter.last_error(), ConnectionErrorInfo{});
    // Stopping joins the server thread, so every answered request is counted.
    server.stop();
    EXPECT_EQ(server.requests_answered(), 1u);  // the ping of prepare_connection
}
