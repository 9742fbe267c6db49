#include "common/runtime/console_output.h"

#include <iostream>
#include <mutex>
#include <string>

namespace common {

namespace {

std::mutex& lock_of(const std::ostream& stream) {
    static std::mutex out_mutex;    // guards writes to std::cout
    static std::mutex err_mutex;    // guards writes to std::cerr
    static std::mutex other_mutex;  // guards writes to every other stream
    if (&stream == &std::cout) {
        return out_mutex;
    }
    if (&stream == &std::cerr) {
        return err_mutex;
    }
    return other_mutex;
}

}  // namespace

void write_console_line(std::ostream& stream, std::string_view line) {
    // One write of the whole line: an unbuffered stream passes each call
    // straight to the file, where other processes' lines may fall between.
    std::string text;
    text.reserve(line.size() + 1);
    text += line;
    if (text.empty() || text.back() != '\n') {
        text += '\n';
    }
    std::lock_guard lock(lock_of(stream));
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    stream.flush();
}

}  // namespace common
