#pragma once

// The rules that decide, once per domain, where its trace lines go. Read
// from the file named by QOR_BASECALL_TRACE_CONFIG, one rule a line:
//
//   # comment
//   ipc_tools::*                            stderr
//   hftrace::ipc_tools::RequestBroker       trace_file
//   corvane::Client                         (no mode: the default mode)
//   corvane::ReadBuffer*                    exclude
//
// A pattern ending in "*" is a prefix; high-frequency ("hftrace::") domains
// match exact names only, so a broad prefix never turns on per-read tracing.

#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "common/runtime/diagnostics/trace_mode.h"
#include "common/runtime/diagnostics/tracing.h"

namespace common::diagnostics::tracing {

// Any thread.
class TraceConfiguration {
public:
    // The configuration of the process, read from QOR_BASECALL_TRACE_CONFIG
    // on first use when that names a readable file.
    static TraceConfiguration& instance();

    // Without rules unless file_path names a readable configuration file.
    explicit TraceConfiguration(const char* file_path = nullptr);
    TraceConfiguration(const TraceConfiguration&) = delete;
    TraceConfiguration& operator=(const TraceConfiguration&) = delete;

    // Adds the rules of a configuration text, only while there are none yet.
    void read(std::istream& text);
    // Same, from a file; false when it cannot be opened.
    bool read_file(const std::string& path);

    bool has_rules() const;
    void set_default_mode(TraceMode mode);

    // The mode the rules give a domain: none when excluded or unmatched.
    TraceMode mode_of(std::string_view domain) const;

    // The context for a domain: the shared disabled one when untraced, or
    // for the verbose log while verbose records are not accepted.
    std::shared_ptr<details::TraceContext> context_for(const std::string& domain);

private:
    void read_locked(std::istream& text);
    TraceMode mode_of_locked(std::string_view domain) const;

    mutable std::mutex m_mutex;
    // Guarded by m_mutex:
    std::map<std::string, TraceMode, std::less<>> m_exact;
    std::map<std::string, TraceMode, std::less<>> m_prefixes;
    std::set<std::string, std::less<>> m_excluded_prefixes;
    std::set<std::string, std::less<>> m_excluded_names;
    TraceMode m_default_mode = TraceMode::verbose_log;

    const std::shared_ptr<details::TraceContext> m_disabled;
};

}  // namespace common::diagnostics::tracing
