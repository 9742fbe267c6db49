#include "common/runtime/diagnostics/active_trace_context.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/logger.h"
#include "support/temp_dir.h"

using common::diagnostics::tracing::ActiveTraceContext;
using common::diagnostics::tracing::TraceMode;

namespace {

std::vector<std::filesystem::path> trace_files(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::exists(folder)) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            files.push_back(entry.path());
        }
    }
    // Sorted by counter, which the names end with.
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        const auto counter = [](const std::filesystem::path& p) {
            const auto stem = p.stem().string();
            return std::stoi(stem.substr(stem.rfind('_') + 1));
        };
        return counter(a) < counter(b);
    });
    return files;
}

std::vector<std::string> lines_of(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// "2024-05-06_T07-08-09": digits where the shape has "d".
bool is_utc_time_text(const std::string& text) {
    const std::string shape = "dddd-dd-dd_Tdd-dd-dd";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0 : text[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string executable_stem() { return std::filesystem::read_symlink("/proc/self/exe").stem().string(); }

}  // namespace

TEST(ActiveTraceContextTest, RotatesTraceFilesAtTheSizeLimit) {
    test_support::TempDir dir;
    std::vector<std::string> written;
    {
        ActiveTraceContext writer(dir.path(), 1000);
        for (int i = 0; i < 100; ++i) {
            written.push_back("line " + std::to_string(i) + std::string(40, '.'));
            writer.post(TraceMode::trace_file, written.back());
        }
    }
    const auto files = trace_files(dir.path());
    ASSERT_GE(files.size(), 4u);
    const auto first = files.front().filename().string();
    const auto base = first.substr(0, first.rfind('_'));
    const auto prefix = executable_stem() + "_";
    ASSERT_EQ(base.rfind(prefix, 0), 0u) << base;
    EXPECT_TRUE(is_utc_time_text(base.substr(prefix.size()))) << base;
    std::vector<std::string> read_back;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto file_name = files[i].filename().string();
        SCOPED_TRACE(file_name);
        EXPECT_EQ(file_name, base + "_" + std::to_string(i) + ".trace");
        const auto size = std::filesystem::file_size(files[i]);
        if (i + 1 < files.size()) {
            // A file is full once it reaches the limit; the next line opens a new one.
            EXPECT_GE(size, 1000u);
            EXPECT_LT(size, 1000u + written.front().size() + 1);
        }
        for (auto& line : lines_of(files[i])) {
            read_back.push_back(std::move(line));
        }
    }
    EXPECT_EQ(read_back, written);
}

TEST(ActiveTraceContextTest, FolderAndNameTagGivenLaterNameTheFiles) {
    test_support::TempDir dir;
    {
        ActiveTraceContext writer({});
        writer.post(TraceMode::trace_file, "dropped: no folder yet");
        writer.set_folder_and_name(dir.path() / "traces", "client_1");
        writer.set_folder_and_name(dir.path() / "ignored", "client_2");
        writer.post(TraceMode::trace_file, "kept");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "ignored"));
    const auto files = trace_files(dir.path() / "traces");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().rfind(executable_stem() + "_client_2_", 0), 0u)
        << files[0].filename();
    EXPECT_EQ(lines_of(files[0]), std::vector<std::string>{"kept"});
}

TEST(ActiveTraceContextTest, CreatesNoFileWithoutTraceFileLines) {
    test_support::TempDir dir;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    {
        ActiveTraceContext writer(dir.path());
        writer.post(TraceMode::std_err, "to stderr");
        writer.post(TraceMode::std_out, "to stdout");
        writer.post(TraceMode::none, "nowhere");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to stdout\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
    EXPECT_TRUE(trace_files(dir.path()).empty());
}

TEST(ActiveTraceContextTest, CustomOutputReceivesLinesInPostingOrder) {
    std::vector<std::string> seen;
    {
        ActiveTraceContext writer({});
        writer.post(TraceMode::custom, "before any function: dropped");
        writer.set_custom_output([&seen](const std::string& line) { seen.push_back(line); });
        for (int i = 0; i < 50; ++i) {
            writer.post(TraceMode::custom, std::to_string(i));
        }
        writer.flush();
        EXPECT_EQ(seen.size(), 50u);
    }
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(seen[i], std::to_string(i));
    }
}

TEST(ActiveTraceContextTest, EachWriterWarnsOnceWhenItCannotOpenItsFile) {
    common::logging::initialise_logging();
    test_support::TempDir dir;
    // A folder below a plain file can be made by nobody, root included.
    const std::filesystem::path blocker = dir.file("blocker");
    std::ofstream(blocker) << "not a folder";

    testing::internal::CaptureStderr();
    {
        ActiveTraceContext first(blocker / "first");
        ActiveTraceContext second(blocker / "second");
        for (int i = 0; i < 3; ++i) {
            first.post(TraceMode::trace_file, "line");
            second.post(TraceMode::trace_file, "line");
        }
        first.flush();
        second.flush();
    }
    const std::string text = testing::internal::GetCapturedStderr();
    for (const char* name : {"first", "second"}) {
        SCOPED_TRACE(name);
        const std::string warning = "Could not open trace file " + (blocker / name).string();
        const auto at = text.find(warning);
        EXPECT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.find(warning, at + 1), std::string::npos) << text;
    }
}
