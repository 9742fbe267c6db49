// Log records and console trace lines written at once from many threads:
// every line must reach the stream whole, in one write, never split or
// merged with another.

#include "common/runtime/console_output.h"

#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/diagnostics/active_trace_context.h"
#include "common/runtime/logger.h"

using common::diagnostics::tracing::ActiveTraceContext;
using common::diagnostics::tracing::TraceMode;

namespace {

constexpr int threads_per_path = 4;
constexpr int lines_per_thread = 150;
const std::string filler(120, 'x');

std::string body(char path, int thread, int line) {
    return std::string(1, path) + std::to_string(thread) + "-" + std::to_string(line) + " " + filler;
}

// Stands in for a console stream's buffer and keeps every write it is
// given as one piece, as a pipe or terminal would see it. No put area, so
// each character written alone arrives as a piece of its own.
class PieceRecorder : public std::streambuf {
public:
    std::vector<std::string> pieces() const {
        std::lock_guard lock(m_mutex);
        return m_pieces;
    }

protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        std::lock_guard lock(m_mutex);
        m_pieces.emplace_back(text, static_cast<std::size_t>(count));
        return count;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            std::lock_guard lock(m_mutex);
            m_pieces.emplace_back(1, traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_pieces;  // guarded by m_mutex
};

}  // namespace

namespace console_probe {

void log_line(TraceMode mode, const std::string& text) {
    if (mode == TraceMode::std_err) {
        QOR_LOG_WARNING(text);
    } else {
        QOR_LOG_MESSAGE(text);
    }
}

}  // namespace console_probe

TEST(ConsoleOutputTest, LogAndTraceLinesNeverMergeOnOneStream) {
    common::logging::initialise_logging();
    struct Row {
        TraceMode mode;
        std::ostream* stream;
        std::string log_prefix;  // what the log sink puts before the text
    };
    const Row rows[] = {
        {TraceMode::std_err, &std::cerr, "[qor/warning] console_probe::log_line: "},
        {TraceMode::std_out, &std::cout, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode == TraceMode::std_err ? "standard error" : "standard output");
        PieceRecorder recorder;
        std::streambuf* const console = row.stream->rdbuf(&recorder);
        {
            ActiveTraceContext tracer{std::filesystem::path()};
            std::vector<std::thread> writers;
            for (int t = 0; t < threads_per_path; ++t) {
                writers.emplace_back([&tracer, &row, t] {
                    for (int i = 0; i < lines_per_thread; ++i) {
                        tracer.post(row.mode, body('T', t, i));
                    }
                });
                writers.emplace_back([&row, t] {
                    for (int i = 0; i < lines_per_thread; ++i) {
                        console_probe::log_line(row.mode, body('L', t, i));
                    }
                });
            }
            for (auto& writer : writers) {
                writer.join();
            }
            tracer.flush();
        }
        row.stream->rdbuf(console);
        std::multiset<std::string> expected;
        for (int t = 0; t < threads_per_path; ++t) {
            for (int i = 0; i < lines_per_thread; ++i) {
                expected.insert(body('T', t, i));
                expected.insert(row.log_prefix + body('L', t, i));
            }
        }
        int broken = 0;
        for (const auto& piece : recorder.pieces()) {
            const auto found = piece.empty() || piece.back() != '\n'
                                   ? expected.end()
                                   : expected.find(piece.substr(0, piece.size() - 1));
            if (found != expected.end()) {
                expected.erase(found);
            } else if (++broken <= 3) {
                ADD_FAILURE() << "not one whole line: \"" << piece << "\"";
            }
        }
        EXPECT_EQ(broken, 0);
        EXPECT_TRUE(expected.empty()) << expected.size() << " lines missing";
    }
}
