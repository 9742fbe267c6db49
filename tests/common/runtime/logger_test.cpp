#include "common/runtime/logger.h"

#include <string>

#include <gtest/gtest.h>

#include "common/runtime/contract.h"

using common::logging::attributes::SeverityLevel;

namespace probe {

struct Engine {
    void pass_read(int count) { QOR_LOG_WARNING("queue full after " << count << " reads"); }
    void report_error() { QOR_LOG_ERROR("server gone"); }
    void quiet() {
        QOR_LOG_INFO("client not recognised");
        QOR_LOG_VERBOSE("detail");
    }
    void announce() { QOR_LOG_MESSAGE("plain output line"); }
};

template <class T>
struct Holder {
    void run() { QOR_LOG_WARNING("templated"); }
};

int g_text_builds = 0;
int count_build() {
    ++g_text_builds;
    return 1;
}

}  // namespace probe

class LoggerTest : public testing::Test {
protected:
    void SetUp() override { common::logging::initialise_logging(); }
};

TEST(ShortFunctionNameTest, FollowsTheCuttingRules) {
    struct Row {
        const char* signature;
        const char* expected;
    };
    const Row rows[] = {
        {"void __cdecl ipc_tools::RequestBroker::fetch_and_validate_reply(ipc_tools::Message &, int)",
         "ipc_tools::RequestBroker::fetch_and_validate_reply"},
        {"no_parenthesis here", "no_parenthesis here"},
        {"void ns::Holder<T>::run() [with T = int]", "ns::Holder<>::run"},
        {"std::vector<int> ns::f(int)", "ns::f"},
        {"main()", "main"},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.signature);
        EXPECT_EQ(common::logging::short_function_name(row.signature), row.expected);
    }
}

TEST(SeverityNameTest, NamesEveryLevelAndUnknownBeyond) {
    const char* names[] = {"trace", "verbose", "message", "info", "warning", "error"};
    for (int level = 0; level < 6; ++level) {
        EXPECT_STREQ(common::logging::severity_name(static_cast<SeverityLevel>(level)), names[level]);
    }
    EXPECT_STREQ(common::logging::severity_name(static_cast<SeverityLevel>(6)), "unknown");
}

TEST_F(LoggerTest, WarningsAndErrorsGoToStandardErrorWithChannelAndShortName) {
    struct Row {
        const char* what;
        bool initialise_again;
        void (*log)();
        const char* expected;
    };
    const Row rows[] = {
        {"warning", false, [] { probe::Engine().pass_read(3); },
         "[qor/warning] probe::Engine::pass_read: queue full after 3 reads\n"},
        {"error channel, template arguments elided", false,
         [] {
             probe::Engine().report_error();
             probe::Holder<int>().run();
         },
         "[qor/error] probe::Engine::report_error: server gone\n"
         "[qor/warning] probe::Holder<>::run: templated\n"},
        // Initialising twice more adds no sinks: the line comes once.
        {"second initialisation", true, [] { probe::Engine().pass_read(1); },
         "[qor/warning] probe::Engine::pass_read: queue full after 1 reads\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.initialise_again) {
            common::logging::initialise_logging();
            common::logging::initialise_logging();
        }
        testing::internal::CaptureStderr();
        row.log();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.expected);
    }
}

TEST_F(LoggerTest, InfoAndVerboseAreDroppedWithoutBuildingText) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    probe::Engine().quiet();
    probe::g_text_builds = 0;
    QOR_LOG_INFO("count " << probe::count_build());
    QOR_LOG_VERBOSE("count " << probe::count_build());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(probe::g_text_builds, 0);
    EXPECT_FALSE(common::logging::is_accepted(SeverityLevel::trace));
    EXPECT_TRUE(common::logging::is_accepted(SeverityLevel::warning));
}

TEST_F(LoggerTest, MessageSeverityGoesToStandardOutputBare) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    probe::Engine().announce();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain output line\n");
}

TEST_F(LoggerTest, TextEndingInNewlineGetsNoSecond) {
    testing::internal::CaptureStderr();
    QOR_LOG_WARNING("line\n");
    const auto text = testing::internal::GetCapturedStderr();
    ASSERT_GE(text.size(), 7u);
    EXPECT_EQ(text.substr(text.size() - 7), ": line\n");
}

using ContractDeathTest = LoggerTest;

TEST_F(ContractDeathTest, ViolationLogsReportAndEndsProcess) {
    EXPECT_DEATH(common::raise_contract_violation("x > 0", "m", "f", 7),
                 "\\[qor/error\\] common::ContractViolationHandler::handle_violation: \n"
                 "Contract violation\\. m\nf:7 \"x > 0\"");
}

TEST_F(ContractDeathTest, ExpectsMacroNamesConditionAndLocation) {
    const int count = 0;
    EXPECT_DEATH(QOR_EXPECTS(count > 0, "need reads"),
                 "Contract violation\\. need reads\n.*logger_test\\.cpp:[0-9]+ \"count > 0\"");
}

TEST(ContractWithoutConfigurationDeathTest, ViolationIsReportedBeforeLoggingIsConfigured) {
    // Runs in a fresh child: nothing configured logging there.
    EXPECT_DEATH(QOR_CONTRACT_VIOLATION("unreachable", "bad state"), "Contract violation\\. bad state");
}
