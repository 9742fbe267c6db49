#pragma once

// Client texts are bytes: these make them safe to put where text is
// expected, a JSON report or a line of the request log.
//
// Pure functions; any thread.

#include <cstddef>
#include <string>

namespace reference_server {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
std::size_t utf8_sequence_length(const std::string& text, std::size_t i);

// The text with each byte that starts no well-formed sequence replaced by
// U+FFFD, so that a report stays readable and the rest of the text survives.
std::string valid_utf8(const std::string& text);

// The text as one line a terminal shows as it is: control characters (C0,
// DEL and C1, ESC included), bytes that start no well-formed sequence,
// the backslash and the double quote are written as escapes (\n, \t, \r,
// \\, \", \x1b, \u009b), so that no client text can end a log line, forge
// another, or drive the terminal.
std::string escaped_for_log(const std::string& text);

}  // namespace reference_server
