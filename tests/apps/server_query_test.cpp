#include <apps/client/server_query.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reference_server/raw_client.h"
#include "reference_server/protocol/reference_server.h"
#include "support/temp_dir.h"

using apps::Result;
using apps::server_query::BarcodeKitDefinition;
using apps::server_query::ServerStatistics;
using ipc_tools::MessageType;
using reference_server::FaultAction;
using reference_server::FaultRule;
using reference_server::ReferenceServer;

namespace {

constexpr unsigned int query_timeout_ms = 1000;
// Short, for the cases that must time out: the broker waits four times this.
constexpr unsigned int short_timeout_ms = 50;

reference_server::ServerSettings three_kit_settings() {
    auto settings = reference_server::default_settings();
    settings.barcode_kits = {
        {"KIT-A", 1, 12, false, true, "barcode%02i"},
        {"KIT-B", 1, 96, true, false, "bc%i"},
        {"KIT-C", -1, -1, false, false, "unclassified"},
    };
    return settings;
}

class ServerQueryTest : public ::testing::Test {
protected:
    ServerQueryTest() : m_server(three_kit_settings()) {}
    void SetUp() override { m_endpoint = m_server.start(m_folder.ipc_endpoint()); }

    test_support::TempDir m_folder;
    ReferenceServer m_server;
    std::string m_endpoint;
};

// The four counters of a statistics record, to compare at once.
std::array<std::uint64_t, 4> counters_of(const ServerStatistics& stats) {
    return {stats.lifetime_reads_in, stats.lifetime_reads_out, stats.period_reads_in, stats.period_reads_out};
}

// The four queries with sentinel outputs, to check nothing is touched on failure.
struct QueryOutputs {
    std::vector<BarcodeKitDefinition> kits{BarcodeKitDefinition("OLD", 1, 2, false, false, "x%i")};
    ServerStatistics stats{1, 2, 3, 4, {{5, 6}}};
    std::string info = "old info";
    std::string state = "old state";

    void expect_untouched() const {
        ASSERT_EQ(kits.size(), 1u);
        EXPECT_EQ(kits[0].kit_name(), "OLD");
        EXPECT_EQ(counters_of(stats), (std::array<std::uint64_t, 4>{1, 2, 3, 4}));
        ASSERT_EQ(stats.client_statistics.size(), 1u);
        EXPECT_EQ(stats.client_statistics[0].input_read_count, 5u);
        EXPECT_EQ(info, "old info");
        EXPECT_EQ(state, "old state");
    }
};

// A query writing into its own member of QueryOutputs.
template <auto query, auto member>
Result ask(QueryOutputs& out, const std::string& address, unsigned int timeout) {
    return query(out.*member, address, timeout);
}

const struct {
    const char* name;
    MessageType request;
    Result (*run)(QueryOutputs&, const std::string&, unsigned int);
} queries[] = {
    {"get_barcode_kits", MessageType::GET_BARCODE_KITS, ask<apps::server_query::get_barcode_kits, &QueryOutputs::kits>},
    {"get_server_statistics", MessageType::GET_STATISTICS,
     ask<apps::server_query::get_server_statistics, &QueryOutputs::stats>},
    {"get_server_information", MessageType::QUERY, ask<apps::server_query::get_server_information, &QueryOutputs::info>},
    {"get_server_internal_state", MessageType::QUERY,
     ask<apps::server_query::get_server_internal_state, &QueryOutputs::state>},
};

}  // namespace

TEST_F(ServerQueryTest, AppendsTheServersKitsInOrder) {
    std::vector<BarcodeKitDefinition> kits{BarcodeKitDefinition("OLD-1", 1, 2, false, false, "x%i"),
                                           BarcodeKitDefinition("OLD-2", 1, 2, false, false, "y%i")};
    ASSERT_EQ(apps::server_query::get_barcode_kits(kits, m_endpoint, query_timeout_ms), Result::success);
    ASSERT_EQ(kits.size(), 5u);
    EXPECT_EQ(kits[1].kit_name(), "OLD-2");
    EXPECT_EQ(kits[2].kit_name(), "KIT-A");
    EXPECT_EQ(kits[2].generate_barcode_name(12, 0), "barcode12a");
    EXPECT_EQ(kits[3].kit_name(), "KIT-B");
    EXPECT_TRUE(kits[3].is_both_ends());
    EXPECT_EQ(kits[3].last_index(), 96);
    EXPECT_EQ(kits[3].generate_barcode_name(7, 0), "bc7");
    EXPECT_EQ(kits[4].generate_barcode_name(3, 0), "unclassified");

    test_support::TempDir empty;
    EXPECT_EQ(apps::server_query::get_barcode_kits(kits, empty.ipc_endpoint(), short_timeout_ms), Result::timed_out);
    EXPECT_EQ(kits.size(), 5u);
}

TEST_F(ServerQueryTest, ReportsTheServersCountersPerClient) {
    test_support::RawClient client(m_endpoint);
    ASSERT_EQ(client.exchange(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast").get_type(),
              MessageType::SUCCESS);
    std::vector<std::string> uids;
    for (int i = 0; i < 2; ++i) {
        const auto reply = client.exchange(MessageType::CONNECT, "", 1, "ref_dna_fast:>client_name=c");
        ASSERT_EQ(reply.get_type(), MessageType::CONNECTED);
        uids.push_back(m_server.state().clients().back().client_uid);
    }
    m_server.state().count_reads(uids[0], 10, 4);
    m_server.state().count_reads(uids[1], 3, 1);

    ServerStatistics stats;
    stats.client_statistics.push_back({99, 99});
    ASSERT_EQ(apps::server_query::get_server_statistics(stats, m_endpoint, query_timeout_ms), Result::success);
    EXPECT_EQ(counters_of(stats), (std::array<std::uint64_t, 4>{13, 5, 13, 5}));
    ASSERT_EQ(stats.client_statistics.size(), 3u);
    EXPECT_EQ(stats.client_statistics[1].input_read_count, 10u);
    EXPECT_EQ(stats.client_statistics[1].output_read_count, 4u);
    EXPECT_EQ(stats.client_statistics[2].input_read_count, 3u);

    // A new period starts with every statistics request.
    ServerStatistics again;
    ASSERT_EQ(apps::server_query::get_server_statistics(again, m_endpoint, query_timeout_ms), Result::success);
    EXPECT_EQ(again.lifetime_reads_in, 13u);
    EXPECT_EQ(again.period_reads_in, 0u);
}

TEST_F(ServerQueryTest, InformationIsTheCompactServerInformationMember) {
    m_server.faults().add(FaultRule{MessageType::QUERY, FaultAction::reply, MessageType::RESPONSE,
                                    R"({"ServerInformation": {"a": 1}, "x": 2})", 0, 1});
    std::string info;
    ASSERT_EQ(apps::server_query::get_server_information(info, m_endpoint, query_timeout_ms), Result::success);
    EXPECT_EQ(info, R"({"a":1})");

    std::string state;
    ASSERT_EQ(apps::server_query::get_server_internal_state(state, m_endpoint, query_timeout_ms), Result::success);
    EXPECT_EQ(state, m_server.state().internal_state_json());
    ASSERT_EQ(apps::server_query::get_server_information(info, m_endpoint, query_timeout_ms), Result::success);
    EXPECT_EQ(info.rfind(R"({"Server Version":"7.13.6",)", 0), 0u) << info;
}

TEST_F(ServerQueryTest, InformationWithoutTheMemberFails) {
    // The last one would overflow the stack of a parser that recursed once per level.
    const std::string deep = R"({"ServerInformation": )" + std::string(1'000'000, '[') + std::string(1'000'000, ']') + "}";
    for (const std::string& text : {std::string(R"({"Server": {}})"), std::string("[1, 2]"), std::string("not json"),
                                    std::string(), deep}) {
        SCOPED_TRACE(text.substr(0, 40));
        m_server.faults().add(FaultRule{MessageType::QUERY, FaultAction::reply, MessageType::RESPONSE, text, 0, 1});
        std::string info = "old";
        EXPECT_EQ(apps::server_query::get_server_information(info, m_endpoint, query_timeout_ms), Result::failed);
        EXPECT_EQ(info, "old");
    }
}

TEST_F(ServerQueryTest, EachFailureGivesItsResultAndLeavesTheOutputUntouched) {
    const struct {
        const char* what;
        bool hits_ping;  // the fault hits the connection ping instead of the question
        FaultAction action;
        MessageType reply;
        Result expected;
    } rows[] = {
        {"BAD_REQUEST", false, FaultAction::reply, MessageType::BAD_REQUEST, Result::bad_request},
        {"short frame", false, FaultAction::short_frame, MessageType::UNSET, Result::bad_reply},
        {"foreign identifier", false, FaultAction::foreign_identifier, MessageType::UNSET, Result::bad_reply},
        {"corrupt buffer", false, FaultAction::corrupt_buffer, MessageType::UNSET, Result::bad_reply},
        {"unknown kind", false, FaultAction::unknown_kind, MessageType::UNSET, Result::bad_reply},
        {"wrong kind", false, FaultAction::reply, MessageType::HEARTBEAT_ECHO, Result::invalid_response},
        {"client not recognised", false, FaultAction::reply, MessageType::CLIENT_NOT_RECOGNISED, Result::timed_out},
        // Held back 300 ms, past the four 50 ms waits of the broker.
        {"late reply", false, FaultAction::delay, MessageType::UNSET, Result::timed_out},
        {"ping refused", true, FaultAction::reply, MessageType::BAD_REQUEST, Result::timed_out},
    };
    for (const auto& query : queries) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(query.name) + ": " + row.what);
            const bool late = row.action == FaultAction::delay;
            m_server.faults().add(FaultRule{row.hits_ping ? MessageType::HEARTBEAT_PING : query.request, row.action,
                                            row.reply, "refused", late ? 300u : 0u, 1});
            QueryOutputs outputs;
            EXPECT_EQ(query.run(outputs, m_endpoint, late ? short_timeout_ms : query_timeout_ms), row.expected);
            outputs.expect_untouched();
            m_server.faults().clear();
        }
    }
}

TEST(ServerQueryAddressTest, UnusableAddressFailsAndLeavesTheOutputUntouched) {
    // ZeroMQ itself refuses these endpoints.
    for (const std::string address : {"tcp://", "tcp://127.0.0.1:notaport", "ipc://"}) {
        SCOPED_TRACE(address);
        QueryOutputs outputs;
        for (const auto& query : queries) {
            EXPECT_EQ(query.run(outputs, address, short_timeout_ms), Result::failed) << query.name;
        }
        outputs.expect_untouched();
    }
}

TEST_F(ServerQueryTest, WrongReplyKindForStatisticsIsAnInvalidResponse) {
    m_server.faults().add(FaultRule{MessageType::GET_STATISTICS, FaultAction::reply, MessageType::RETURN_CONFIGS, "", 0, 1});
    ServerStatistics stats;
    EXPECT_EQ(apps::server_query::get_server_statistics(stats, m_endpoint, query_timeout_ms), Result::invalid_response);
    m_server.faults().add(FaultRule{MessageType::GET_BARCODE_KITS, FaultAction::reply, MessageType::RETURN_STATISTICS, "", 0, 1});
    std::vector<BarcodeKitDefinition> kits;
    EXPECT_EQ(apps::server_query::get_barcode_kits(kits, m_endpoint, query_timeout_ms), Result::invalid_response);
    EXPECT_TRUE(kits.empty());
}

TEST_F(ServerQueryTest, ConcurrentQueriesShareNothing) {
    std::vector<std::thread> threads;
    std::vector<Result> results(8, Result::failed);
    std::vector<std::vector<BarcodeKitDefinition>> kits(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            results[i] = apps::server_query::get_barcode_kits(kits[i], m_endpoint, query_timeout_ms);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i], Result::success);
        EXPECT_EQ(kits[i].size(), 3u);
    }
}
