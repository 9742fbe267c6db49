#pragma once

// Turns a state table into indented JSON text, keys in the order written:
// "\n" followed by the pretty-printed object.

#include <string>

#include "common/runtime/diagnostics/state_logger.h"
#include "common/runtime/diagnostics/tracing.h"

namespace common::diagnostics::state {

// Throws std::runtime_error for a value of an unsupported type
// ("invalid type held as state record value: " + type) and for a section
// end without a start ("malformed state_table"). A section left open runs
// to the end of the table.
class JsonFormatter : public tracing::TraceDomain<JsonFormatter> {
public:
    std::string operator()(const StateTable& table) const;
};

}  // namespace common::diagnostics::state
