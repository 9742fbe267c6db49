#include "common/runtime/diagnostics/trace_configuration.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/diagnostics/trace_contexts.h"

using common::diagnostics::tracing::TraceConfiguration;
using common::diagnostics::tracing::TraceMode;

TEST(TraceConfigurationTest, ResolvesDomainsByTheRules) {
    struct Row {
        const char* rules;
        const char* domain;
        TraceMode expected;
    };
    const Row rows[] = {
        {"", "ipc_tools::RequestBroker", TraceMode::none},
        {"ipc_tools::* stderr", "ipc_tools::RequestBroker", TraceMode::std_err},
        {"ipc_tools::* stderr", "hftrace::ipc_tools::RequestBroker", TraceMode::none},
        {"ipc_tools::* stderr\nhftrace::ipc_tools::RequestBroker stderr", "hftrace::ipc_tools::RequestBroker",
         TraceMode::std_err},
        {"hftrace::* stdout", "hftrace::ipc_tools::RequestBroker", TraceMode::none},
        {"ipc_tools::* stderr\n* exclude", "ipc_tools::RequestBroker", TraceMode::none},
        {"* exclude\nhftrace::corvane::Client custom", "hftrace::corvane::Client", TraceMode::none},
        {"corvane::* stdout\ncorvane::ReadBuffer exclude", "corvane::ReadBuffer", TraceMode::none},
        {"corvane::* stdout\ncorvane::ReadBuffer exclude", "corvane::Client", TraceMode::std_out},
        {"corvane::Client", "corvane::Client", TraceMode::verbose_log},
        {"corvane::Client # a comment", "corvane::Client", TraceMode::verbose_log},
        {"corvane::Client stdout\ncorvane::Client stderr", "corvane::Client", TraceMode::std_out},
        {"corvane::* stdout\ncorvane::* stderr", "corvane::Client", TraceMode::std_out},
        // Nested prefixes: the shortest wins.
        {"corvane::Cl* stderr\ncorvane::* custom", "corvane::Client", TraceMode::custom},
        // An exact rule beats a prefix rule.
        {"corvane::* stdout\ncorvane::Client trace_file", "corvane::Client", TraceMode::trace_file},
        {"corvane::Client loud", "corvane::Client", TraceMode::none},
        {"corvane::Client loud\ncorvane::Client stderr", "corvane::Client", TraceMode::std_err},
        {"# corvane::Client stderr", "corvane::Client", TraceMode::none},
        {"\n   \n\tcorvane::Client\twin_dbg_out extra words", "corvane::Client", TraceMode::win_dbg_out},
        {"corvane::Client stderr", "corvane::ClientX", TraceMode::none},
        {"* custom", "apps::CorvaneImpl", TraceMode::custom},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.rules) + " / " + row.domain);
        TraceConfiguration configuration;
        std::istringstream text(row.rules);
        configuration.read(text);
        EXPECT_EQ(configuration.mode_of(row.domain), row.expected);
    }
}

TEST(TraceConfigurationTest, ReadsRulesOnlyWhileItHasNone) {
    TraceConfiguration configuration;
    std::istringstream first("corvane::* stdout");
    std::istringstream second("corvane::Client stderr\napps::* stderr");
    configuration.read(first);
    configuration.read(second);
    EXPECT_EQ(configuration.mode_of("corvane::Client"), TraceMode::std_out);
    EXPECT_EQ(configuration.mode_of("apps::CorvaneImpl"), TraceMode::none);
}

TEST(TraceConfigurationTest, DefaultModeAppliesToLinesWithoutAMode) {
    TraceConfiguration configuration;
    configuration.set_default_mode(TraceMode::std_err);
    std::istringstream text("corvane::Client");
    configuration.read(text);
    EXPECT_EQ(configuration.mode_of("corvane::Client"), TraceMode::std_err);
}

TEST(TraceConfigurationTest, VerboseLogModeGivesTheDisabledContextWhileVerboseIsDropped) {
    TraceConfiguration configuration;
    std::istringstream text("corvane::Client\ncorvane::ReadBuffer stderr\nipc_tools::* exclude");
    configuration.read(text);
    const auto verbose = configuration.context_for("corvane::Client");
    const auto untraced = configuration.context_for("corvane::Other");
    const auto excluded = configuration.context_for("ipc_tools::RequestBroker");
    EXPECT_FALSE(verbose->is_enabled());
    EXPECT_EQ(verbose, untraced);
    EXPECT_EQ(verbose, excluded);
    EXPECT_TRUE(configuration.context_for("corvane::ReadBuffer")->is_enabled());
}

TEST(TraceConfigurationTest, MissingFileLeavesTracingOff) {
    TraceConfiguration configuration("/nonexistent/trace.cfg");
    EXPECT_FALSE(configuration.has_rules());
    EXPECT_FALSE(configuration.context_for("corvane::Client")->is_enabled());
}

TEST(TraceTimeTest, WritesMillisecondsWithThreeDecimals) {
    struct Row {
        std::int64_t ns;
        const char* text;
    };
    const Row rows[] = {
        {1234567, "1.234ms "},
        {1234005000, "1234.005ms "},
        {0, "0.000ms "},
        {999, "0.000ms "},
        {1000, "0.001ms "},
        {7000000000123, "7000000.000ms "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ns);
        EXPECT_EQ(common::diagnostics::tracing::details::format_trace_time(row.ns), row.text);
    }
}
