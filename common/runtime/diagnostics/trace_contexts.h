#pragma once

// The two trace contexts behind every domain: the shared disabled one, and
// the enabled one that turns each operation into a line for the writer.

#include <cstdint>
#include <memory>
#include <string>

#include "common/runtime/diagnostics/trace_mode.h"
#include "common/runtime/diagnostics/tracing.h"

namespace common::diagnostics::tracing {

class ActiveTraceContext;

namespace details {

// Does nothing and builds no text; one instance serves every untraced domain.
class DisabledTraceContext final : public TraceContext {
public:
    void enter(std::string_view) override {}
    void leave(std::string_view, std::int64_t) override {}
    void leave(std::string_view) override {}
    void trace(std::string_view, std::string_view, std::int64_t) override {}
    void trace(std::string_view, std::function<std::string()>) override {}
    void trace(std::string_view, std::string_view) override {}
    bool is_enabled() const override { return false; }
};

// Builds each line on the calling thread (time, thread id, domain and
// operation, tag) and posts it with its mode to the writer. Any thread.
class EnabledTraceContext final : public TraceContext {
public:
    EnabledTraceContext(const std::string& domain_name, TraceMode mode,
                        std::shared_ptr<ActiveTraceContext> writer);

    void enter(std::string_view name) override;
    void leave(std::string_view name, std::int64_t elapsed_ns) override;
    void leave(std::string_view name) override;
    void trace(std::string_view name, std::string_view text, std::int64_t value_ns) override;
    void trace(std::string_view name, std::function<std::string()> make_text) override;
    void trace(std::string_view name, std::string_view text) override;
    bool is_enabled() const override { return true; }

    TraceMode mode() const { return m_mode; }

private:
    std::string start_line(std::string_view name, std::string_view tag) const;
    void post(std::string line);

    std::string m_prefix;  // domain name + "::"
    TraceMode m_mode;
    std::shared_ptr<ActiveTraceContext> m_writer;
};

// A nanosecond count as milliseconds with three decimals and "ms ":
// 1234567 gives "1.234ms ".
std::string format_trace_time(std::int64_t ns);

}  // namespace details

}  // namespace common::diagnostics::tracing
