#include "common/runtime/diagnostics/json_formatter.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "common/runtime/diagnostics/state_logger.h"
#include "common/runtime/diagnostics/state_provider.h"

using common::diagnostics::state::ChildSection;
using common::diagnostics::state::JsonFormatter;
using common::diagnostics::state::StateEntry;
using common::diagnostics::state::StateLogger;
using common::diagnostics::state::StateProvider;
using common::diagnostics::state::StateTable;

namespace {

class Engine : public StateProvider {
public:
    void log_state(StateLogger& logger) const override {
        logger.add("status", "connected");
        logger.add("reads_out", 3u);
        {
            auto buffer = logger.child_section("read_buffer");
            logger.add("queued", -2);
            auto nested = logger.child_section("limits");
            logger.add("ratio", 0.5f);
        }
        logger.add("healthy", true);
    }
};

std::string report(const StateProvider& provider) {
    StateTable table;
    StateLogger logger(table);
    provider.log_state(logger);
    return JsonFormatter()(table);
}

}  // namespace

TEST(JsonFormatterTest, EmptyTableIsAnEmptyObject) { EXPECT_EQ(JsonFormatter()(StateTable()), "\n{}"); }

TEST(JsonFormatterTest, ProviderReportNestsSectionsInWritingOrder) {
    EXPECT_EQ(report(Engine()),
              "\n{\n"
              "    \"status\": \"connected\",\n"
              "    \"reads_out\": 3,\n"
              "    \"read_buffer\": {\n"
              "        \"queued\": -2,\n"
              "        \"limits\": {\n"
              "            \"ratio\": 0.5\n"
              "        }\n"
              "    },\n"
              "    \"healthy\": true\n"
              "}");
}

TEST(JsonFormatterTest, TablesGiveTheExpectedObjects) {
    struct Row {
        const char* what;
        StateTable table;
        std::string json;
    };
    const Row rows[] = {
        {"section between values",
         {{0, "a", std::int64_t(1)}, {1, "s", {}}, {0, "b", true}, {2, "s", {}}, {0, "c", std::string("x")}},
         "\n{\n    \"a\": 1,\n    \"s\": {\n        \"b\": true\n    },\n    \"c\": \"x\"\n}"},
        {"repeated key keeps its first place",
         {{0, "a", std::int64_t(1)}, {0, "b", false}, {0, "a", std::string("two")}},
         "\n{\n    \"a\": \"two\",\n    \"b\": false\n}"},
        {"section replaces a value of its name",
         {{0, "s", std::int64_t(1)}, {0, "t", std::int64_t(2)}, {1, "s", {}}, {2, "s", {}}},
         "\n{\n    \"s\": {},\n    \"t\": 2\n}"},
        {"open section runs to the end", {{1, "s", {}}, {0, "a", std::uint64_t(18446744073709551615u)}},
         "\n{\n    \"s\": {\n        \"a\": 18446744073709551615\n    }\n}"},
        {"null, negative and non-finite values",
         {{0, "n", {}}, {0, "i", std::int64_t(-9)}, {0, "nan", std::numeric_limits<double>::quiet_NaN()}},
         "\n{\n    \"n\": null,\n    \"i\": -9,\n    \"nan\": null\n}"},
        {"text needing escapes", {{0, "q", std::string("a \"b\"\n")}},
         "\n{\n    \"q\": \"a \\\"b\\\"\\n\"\n}"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(JsonFormatter()(row.table), row.json);
    }
}

TEST(JsonFormatterTest, RejectsMalformedTablesAndUnsupportedValues) {
    struct Row {
        const char* what;
        StateTable table;
        std::string message;
    };
    const Row rows[] = {
        {"only an end entry", {{2, "s", {}}}, "malformed state_table"},
        {"surplus end entry", {{1, "s", {}}, {2, "s", {}}, {0, "a", true}, {2, "s", {}}}, "malformed state_table"},
        {"unsupported type", {{0, "f", 1.5f}}, "invalid type held as state record value: float"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        try {
            JsonFormatter()(row.table);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), row.message);
        }
    }
}

TEST(ChildSectionTest, MovedSectionClosesOnce) {
    StateTable table;
    {
        ChildSection first(table, "s");
        ChildSection second(std::move(first));
    }
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].kind, StateEntry::section_start);
    EXPECT_EQ(table[1].kind, StateEntry::section_end);
}

TEST(StateRegistryTest, NameHoldsSeveralProvidersAndHandlesUnregister) {
    using namespace common::diagnostics::state;
    Engine a;
    Engine b;
    const std::string name = "RegistryTestName";
    {
        StateProviderRegistration first(&a, name);
        StateProviderRegistration second(&b, name);
        EXPECT_EQ(registered_providers(name), (std::vector<StateProvider*>{&a, &b}));
        {
            StateProviderRegistration moved(std::move(first));
            EXPECT_EQ(registered_providers(name).size(), 2u);
        }
        EXPECT_EQ(registered_providers(name), std::vector<StateProvider*>{&b});
        unregister_provider(&a, name);  // no longer registered: nothing changes
        unregister_provider(&b, "UnknownName");
        EXPECT_EQ(registered_providers(name), std::vector<StateProvider*>{&b});
    }
    EXPECT_TRUE(registered_providers(name).empty());
}
