#pragma once

// Pieces shared by the writers of SAM tags and lines: the outcome of a
// generator and decimal integers written without a stream.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "data_wrappers/vec_view.h"

namespace common {

// Outcome of the tag and line generators: on failure `text` is empty and
// `error` says why.
struct GeneratedText {
    bool success = false;
    std::string text;
    std::string error;
};

using ByteView = vesk::data_wrappers::v2::VecView<const std::uint8_t>;

inline GeneratedText generation_failure(std::string error) {
    GeneratedText result;
    result.error = std::move(error);
    return result;
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
    char buffer[24];
    auto converted = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out.append(buffer, static_cast<std::size_t>(converted.ptr - buffer));
}

// Writes into a buffer sized beforehand; returns the end of the text.
inline char* write_unsigned(char* out, char* end, std::uint64_t value) {
    return std::to_chars(out, end, value).ptr;
}

}  // namespace common
