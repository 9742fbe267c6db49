#pragma once

// JSON from another process (a server's state report, a client's control
// command, a settings file) parsed with a bound on its nesting. RapidJSON's
// parser recurses once per level, and so do the writers and readers that
// walk a document: a few hundred kilobytes of '[' would overflow the stack.
// The text is first read without building anything and without recursion,
// counting the depth, and only a text within the bound becomes a document.
//
// Pure functions; any thread.

#include <cstddef>
#include <string_view>
#include <string>

#include <rapidjson/document.h>

namespace ipc_tools {

// Deeper than any state report a server has reason to send.
constexpr std::size_t max_state_report_depth = 256;

// Why a text is not taken, and where in it that was found.
struct JsonRefusal {
    std::string reason;  // "nested deeper than N levels", or RapidJSON's own
    std::size_t offset = 0;
};

// Parses `text` into `document`, refusing one that nests deeper than
// `max_depth` objects and arrays; an empty reason when it was taken.
JsonRefusal parse_bounded_json(std::string_view text, rapidjson::Document& document, std::size_t max_depth);

}  // namespace ipc_tools
