#include "common/read_model/sam_text_rules.h"

#include <cstdio>

namespace common {

namespace {

bool is_printable(char c, bool space_allowed) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte > ' ' && byte <= '~') || (space_allowed && byte == ' ');
}

// "byte 0x09 at position 3"
std::string describe_byte(std::string_view text, std::size_t position) {
    char described[48];
    std::snprintf(described, sizeof described, "byte 0x%02X at position %zu",
                  static_cast<unsigned>(static_cast<unsigned char>(text[position])), position);
    return described;
}

std::size_t first_unprintable(std::string_view text, bool space_allowed, std::size_t from = 0) {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (!is_printable(text[i], space_allowed)) {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

std::string read_name_problem(std::string_view name) {
    if (name.empty()) {
        return "is empty";
    }
    if (name.size() > max_read_name_length) {
        return "has " + std::to_string(name.size()) + " characters, more than the " +
               std::to_string(max_read_name_length) + " a read name holds";
    }
    if (name.front() == '@') {
        return "starts with '@'";
    }
    const std::size_t bad = first_unprintable(name, false);
    if (bad != std::string_view::npos) {
        return "holds " + describe_byte(name, bad) + "; a read name takes printable ASCII without spaces";
    }
    return {};
}

bool is_tag_text(std::string_view text) {
    return first_unprintable(text, true) == std::string_view::npos;
}

std::string tag_text_problem(std::string_view text, std::size_t from) {
    const std::size_t bad = first_unprintable(text, true, from);
    if (bad == std::string_view::npos) {
        return {};
    }
    return "holds " + describe_byte(text, bad) + "; SAM and FASTQ text takes printable ASCII and spaces";
}

}  // namespace common
