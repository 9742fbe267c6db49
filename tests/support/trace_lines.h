#pragma once

// The trace lines of this process, caught through the tracing builder's
// custom output. Tracing reads its configuration once per process, so a
// test catches them in a child process of its own (a death test).

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/runtime/diagnostics/context_builder.h"

namespace test_support {

namespace trace_lines_detail {

inline std::mutex& mutex() {
    static std::mutex mutex;
    return mutex;
}

// Guarded by mutex().
inline std::vector<std::string>& lines() {
    static std::vector<std::string> lines;
    return lines;
}

}  // namespace trace_lines_detail

// Points the builder at `configuration` and catches the lines of its
// `custom` domains; the caller still initialises the builder.
inline void catch_trace_lines(const std::filesystem::path& configuration) {
    auto& builder = common::diagnostics::tracing::ContextBuilder::instance();
    builder.set_custom_output([](const std::string& line) {
        std::lock_guard lock(trace_lines_detail::mutex());
        trace_lines_detail::lines().push_back(line);
    });
    builder.set_configuration_file(configuration);
}

// The lines caught so far, oldest first.
inline std::vector<std::string> caught_trace_lines() {
    std::lock_guard lock(trace_lines_detail::mutex());
    return trace_lines_detail::lines();
}

}  // namespace test_support
