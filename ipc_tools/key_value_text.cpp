#include "ipc_tools/key_value_text.h"

#include <algorithm>
#include <stdexcept>

namespace ipc_tools {

std::optional<std::string> value_refusal(std::string_view key, std::string_view value) {
    if (value.find('>') != std::string_view::npos) {
        return std::string(key) + " must not contain '>', which separates the items of a connection text";
    }
    return std::nullopt;
}

std::string key_value_text(std::string_view key, std::string_view value) {
    if (key.empty() || key.find_first_of(">=") != std::string_view::npos) {
        throw std::invalid_argument("invalid connection text key: \"" + std::string(key) + "\"");
    }
    if (auto refusal = value_refusal(key, value)) {
        throw std::invalid_argument(*refusal);
    }
    std::string text;
    text.reserve(key.size() + value.size() + 2);
    text += '>';
    text += key;
    text += '=';
    text += value;
    return text;
}

std::optional<std::map<std::string, std::string>> parse_key_values(std::string_view text) {
    std::map<std::string, std::string> items;
    if (text.empty()) {
        return items;
    }
    if (text.front() != '>' || text.find('=') == std::string_view::npos) {
        return std::nullopt;
    }

    // Each item runs from just after a '>' to the next '>' or the end; a
    // final '>' opens no item.
    std::size_t start = 1;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('>', start), text.size());
        const std::string_view item = text.substr(start, end - start);
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            return std::nullopt;
        }
        items.insert_or_assign(std::string(item.substr(0, equals)), std::string(item.substr(equals + 1)));
        start = end + 1;
    }
    return items;
}

}  // namespace ipc_tools
