#pragma once

// JSON from outside the server (settings files, control commands, simulated
// reads) parsed with a bound on its nesting. RapidJSON's parser recurses
// once per level, and so do the writers and readers that walk a document:
// a few hundred kilobytes of '[' would overflow the stack. The text is
// first read without building anything and without recursion, counting
// the depth, and only a text within the bound becomes a document.
//
// Pure functions; any thread.

#include <cstddef>
#include <string>

#include <rapidjson/document.h>

namespace reference_server {

// Deeper than any text the server reads needs.
constexpr std::size_t max_json_depth = 64;

// Why a text is not taken, and where in it that was found.
struct JsonRefusal {
    std::string reason;  // "nested deeper than 64 levels", or RapidJSON's own
    std::size_t offset = 0;
};

// Parses `text` into `document`; an empty reason when it was taken.
JsonRefusal parse_bounded_json(const std::string& text, rapidjson::Document& document);

}  // namespace reference_server
