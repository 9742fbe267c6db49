#include "common/runtime/diagnostics/trace_configuration.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/runtime/diagnostics/active_trace_context.h"
#include "common/runtime/diagnostics/trace_contexts.h"
#include "common/runtime/logger.h"

namespace common::diagnostics::tracing {

namespace {

constexpr std::string_view high_frequency_prefix = "hftrace::";

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

TraceMode trace_mode_from_keyword(std::string_view keyword) noexcept {
    struct Entry {
        std::string_view keyword;
        TraceMode mode;
    };
    static constexpr Entry entries[] = {
        {"verbose_log", TraceMode::verbose_log}, {"trace_file", TraceMode::trace_file},
        {"stdout", TraceMode::std_out},          {"stderr", TraceMode::std_err},
        {"win_dbg_out", TraceMode::win_dbg_out}, {"custom", TraceMode::custom},
        {"exclude", TraceMode::exclude},
    };
    for (const auto& entry : entries) {
        if (entry.keyword == keyword) {
            return entry.mode;
        }
    }
    return TraceMode::none;
}

TraceConfiguration& TraceConfiguration::instance() {
    static TraceConfiguration configuration(std::getenv("QOR_BASECALL_TRACE_CONFIG"));
    return configuration;
}

TraceConfiguration::TraceConfiguration(const char* file_path)
    : m_disabled(std::make_shared<details::DisabledTraceContext>()) {
    // A file that cannot be opened here is ignored: tracing stays off.
    if (file_path) {
        read_file(file_path);
    }
}

bool TraceConfiguration::read_file(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return false;
    }
    read(file);
    return true;
}

void TraceConfiguration::read(std::istream& text) {
    std::lock_guard lock(m_mutex);
    if (m_exact.empty() && m_prefixes.empty() && m_excluded_prefixes.empty() && m_excluded_names.empty()) {
        read_locked(text);
    }
}

bool TraceConfiguration::has_rules() const {
    std::lock_guard lock(m_mutex);
    return !(m_exact.empty() && m_prefixes.empty() && m_excluded_prefixes.empty() && m_excluded_names.empty());
}

void TraceConfiguration::read_locked(std::istream& text) {
    std::string line;
    while (std::getline(text, line)) {
        std::istringstream words_of(line);
        std::vector<std::string> words;
        for (std::string word; words.size() < 2 && words_of >> word;) {
            words.push_back(word);
        }
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        const std::string& pattern = words[0];
        TraceMode mode = m_default_mode;
        if (words.size() > 1 && words[1][0] != '#') {
            mode = trace_mode_from_keyword(words[1]);
            if (mode == TraceMode::none) {
                continue;
            }
        }
        const bool is_prefix = pattern.back() == '*';
        const std::string name = is_prefix ? pattern.substr(0, pattern.size() - 1) : pattern;
        if (mode == TraceMode::exclude) {
            (is_prefix ? m_excluded_prefixes : m_excluded_names).insert(name);
        } else {
            // emplace keeps the mode of the first line naming a pattern.
            (is_prefix ? m_prefixes : m_exact).emplace(name, mode);
        }
    }
}

void TraceConfiguration::set_default_mode(TraceMode mode) {
    std::lock_guard lock(m_mutex);
    m_default_mode = mode;
}

TraceMode TraceConfiguration::mode_of(std::string_view domain) const {
    std::lock_guard lock(m_mutex);
    return mode_of_locked(domain);
}

TraceMode TraceConfiguration::mode_of_locked(std::string_view domain) const {
    for (const auto& prefix : m_excluded_prefixes) {
        if (starts_with(domain, prefix)) {
            return TraceMode::none;
        }
    }
    if (m_excluded_names.contains(domain)) {
        return TraceMode::none;
    }
    if (const auto exact = m_exact.find(domain); exact != m_exact.end()) {
        return exact->second;
    }
    if (starts_with(domain, high_frequency_prefix)) {
        return TraceMode::none;
    }
    // Ascending order puts the shortest of nested prefixes first.
    for (const auto& [prefix, mode] : m_prefixes) {
        if (starts_with(domain, prefix)) {
            return mode;
        }
    }
    return TraceMode::none;
}

std::shared_ptr<details::TraceContext> TraceConfiguration::context_for(const std::string& domain) {
    const auto mode = mode_of(domain);
    switch (mode) {
    case TraceMode::none:
    case TraceMode::exclude:
        return m_disabled;
    case TraceMode::verbose_log:
        if (!logging::is_accepted(logging::attributes::SeverityLevel::verbose)) {
            return m_disabled;
        }
        break;
    default:
        break;
    }
    return std::make_shared<details::EnabledTraceContext>(domain, mode, ActiveTraceContext::instance());
}

}  // namespace common::diagnostics::tracing
