#pragma once

// Whole lines on the process's console streams. Log sinks and trace output
// write standard output and standard error from different threads; each
// line goes out through here, so lines from both never merge.

#include <ostream>
#include <string_view>

namespace common {

// Any thread. Writes `line` and a newline (unless the line already ends in
// one) to `stream` in one call and flushes it, under the lock that every
// writer of that stream through here shares: one for std::cout, one for
// std::cerr, one for every other stream.
void write_console_line(std::ostream& stream, std::string_view line);

}  // namespace common
