#pragma once

// Where a trace domain's lines go, and the keywords that name each mode in
// the trace configuration file.

#include <cstdint>
#include <string_view>

namespace common::diagnostics::tracing {

enum class TraceMode : std::int32_t {
    none = 0,
    verbose_log = 1,  // "verbose_log": the verbose logger
    trace_file = 2,   // "trace_file": the rotating .trace files
    std_out = 3,      // "stdout"
    std_err = 4,      // "stderr"
    win_dbg_out = 5,  // "win_dbg_out": the system log on this platform
    custom = 6,       // "custom": the application's output function
    exclude = 7,      // "exclude": never a domain's mode, marks untraced names
};

// The mode a configuration keyword names; none for an unknown keyword.
TraceMode trace_mode_from_keyword(std::string_view keyword) noexcept;

}  // namespace common::diagnostics::tracing
