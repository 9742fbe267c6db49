#include "common/runtime/diagnostics/tracing.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/diagnostics/active_trace_context.h"
#include "common/runtime/diagnostics/context_builder.h"
#include "support/temp_dir.h"
#include "support/trace_lines.h"

// Tracing reads its environment and configuration once per process, so each
// case runs in a fresh child process (the "threadsafe" death-test style
// re-executes the test binary) and reports through its exit code and
// standard error.

namespace tracing = common::diagnostics::tracing;

namespace probe {

class Widget : public tracing::TraceDomain<Widget> {
public:
    static bool run() {
        tracing::TraceScope scope(trace_context(), "run", true);
        scope.trace("hello");
        trace_context().trace("run", "took", 1234567);
        bool built = false;
        scope.trace([&built] {
            built = true;
            return std::string("lazy");
        });
        return built;
    }
    static bool run_per_read() {
        tracing::TraceScope scope(hf_trace_context(), "per_read");
        bool built = false;
        scope.trace([&built] {
            built = true;
            return std::string("lazy");
        });
        return built;
    }
};

struct Gadget : tracing::TraceDomain<Gadget> {
    static void run() { tracing::TraceScope scope(trace_context(), "run"); }
};

}  // namespace probe

namespace {

void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

int fail(const std::string& why) {
    std::cerr << "child failed: " << why << std::endl;
    return 1;
}

class TracingTest : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ::unsetenv("QOR_BASECALL_TRACE_CONFIG");
        ::unsetenv("QOR_BASECALL_TRACE_FOLDER");
    }
    test_support::TempDir m_dir;
};

}  // namespace

TEST_F(TracingTest, NothingIsTracedWithoutConfiguration) {
    EXPECT_EXIT(
        {
            if (probe::Widget::trace_context().is_enabled() || probe::Widget::hf_trace_context().is_enabled()) {
                std::exit(fail("a domain is enabled"));
            }
            if (probe::Widget::run() || probe::Widget::run_per_read()) {
                std::exit(fail("a trace text was built"));
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}

TEST_F(TracingTest, PrefixRuleWritesLinesToStandardErrorButNotHighFrequency) {
    write_file(m_dir.path() / "trace.cfg", "# probes\nprobe::* stderr\n");
    ::setenv("QOR_BASECALL_TRACE_CONFIG", m_dir.file("trace.cfg").c_str(), 1);
    const std::string time = "[0-9]+\\.[0-9]{3}ms  thread:[0-9]+ ";
    EXPECT_EXIT(
        {
            if (!probe::Widget::run()) {
                std::exit(fail("the lazy text was not built"));
            }
            if (probe::Widget::run_per_read()) {
                std::exit(fail("the high-frequency domain is traced"));
            }
            tracing::ActiveTraceContext::instance()->flush();
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "^" + time + "probe::Widget::run \\[ENTER\\] \n" +
            time + "probe::Widget::run \\[TRACE\\]  hello\n" +
            time + "probe::Widget::run \\[TRACE\\]  took 1\\.234ms \n" +
            time + "probe::Widget::run \\[TRACE\\]  lazy\n" +
            time + "probe::Widget::run \\[LEAVE\\]  [0-9]+\\.[0-9]{3}ms \n$");
}

TEST_F(TracingTest, ExactRuleTracesTheHighFrequencyDomain) {
    write_file(m_dir.path() / "trace.cfg", "probe::* exclude\nhftrace::probe::Widget stderr\n");
    ::setenv("QOR_BASECALL_TRACE_CONFIG", m_dir.file("trace.cfg").c_str(), 1);
    EXPECT_EXIT(
        {
            probe::Widget::run();
            probe::Widget::run_per_read();
            tracing::ActiveTraceContext::instance()->flush();
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "^[^\n]* hftrace::probe::Widget::per_read \\[ENTER\\] \n"
        "[^\n]* hftrace::probe::Widget::per_read \\[TRACE\\]  lazy\n"
        "[^\n]* hftrace::probe::Widget::per_read \\[LEAVE\\] \n$");
}

TEST_F(TracingTest, BuilderConfiguresCustomOutputFolderAndNameTag) {
    write_file(m_dir.path() / "trace.cfg", "probe::Widget custom\nprobe::Gadget trace_file\n");
    ::setenv("QOR_BASECALL_TRACE_FOLDER", (m_dir.path() / "from_env").c_str(), 1);
    EXPECT_EXIT(
        {
            test_support::catch_trace_lines(m_dir.path() / "trace.cfg");
            auto& builder = tracing::ContextBuilder::instance();
            builder.set_trace_folder(m_dir.path() / "from_builder");
            builder.set_name("client_1");
            builder.set_name("client 2");  // not portable: ignored
            builder.set_name(-3);          // negative: ignored
            builder.initialise();
            builder.set_name(7);
            builder.initialise();  // only the first call counts
            probe::Widget::run();
            probe::Gadget::run();
            tracing::ActiveTraceContext::instance()->flush();
            const std::vector<std::string> lines = test_support::caught_trace_lines();
            if (lines.size() != 5 || lines[0].find(" probe::Widget::run [ENTER] ") == std::string::npos) {
                std::exit(fail("custom output saw " + std::to_string(lines.size()) + " lines"));
            }
            if (std::filesystem::exists(m_dir.path() / "from_builder")) {
                std::exit(fail("the builder's folder replaced the environment's"));
            }
            const auto stem = std::filesystem::read_symlink("/proc/self/exe").stem().string();
            int files = 0;
            for (const auto& entry : std::filesystem::directory_iterator(m_dir.path() / "from_env")) {
                ++files;
                const auto name = entry.path().filename().string();
                if (name.rfind(stem + "_client_1_", 0) != 0 || name.size() < 9 ||
                    name.substr(name.size() - 8) != "_0.trace") {
                    std::exit(fail("unexpected trace file " + name));
                }
            }
            std::exit(files == 1 ? 0 : fail("expected one trace file"));
        },
        testing::ExitedWithCode(0), "^$");
}

TEST(PortableNameTagTest, AcceptsOnlyPortableFileNameCharacters) {
    struct Row {
        const char* name;
        bool accepted;
    };
    const Row rows[] = {
        {"client_1", true}, {"a.b-c", true},      {"-lead", true},    {".dot", true},
        {"", true},         {"client 1", false},  {"a/b", false},     {"a:b", false},
        {"caf\xc3\xa9", false}, {"a*b", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(tracing::is_portable_name_tag(row.name), row.accepted);
    }
}
