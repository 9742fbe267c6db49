#pragma once

// The key/value grammar of the connection texts: items written as
// '>' + key + '=' + value with nothing between them, for example
// ">client_uid=7>server_version=1.2.3". Keys are non-empty and hold neither
// '>' nor '='; values hold no '>' and may be empty or hold '='.

#include <concepts>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace ipc_tools {

// Nothing when `value` can be written as the value of an item; else why
// not, naming the key and the character: a '>' in a value would start an
// item of its own on the reader's side.
std::optional<std::string> value_refusal(std::string_view key, std::string_view value);

// ">" + key + "=" + value. Throws std::invalid_argument, with the text of
// value_refusal, for a value that holds '>', and for a key that is empty or
// holds '>' or '='.
std::string key_value_text(std::string_view key, std::string_view value);

// An unsigned value is written in decimal.
template <std::unsigned_integral Unsigned>
std::string key_value_text(std::string_view key, Unsigned value) {
    return key_value_text(key, std::to_string(value));
}

// The items of a text by key; a later item replaces an earlier one of the
// same key. An empty text gives an empty map. Nothing when the text does
// not start with '>', holds no '=' at all, or holds an empty item or an
// item without a key and '=' (">a=1>>b=2", ">=1", ">a"). One trailing '>'
// is harmless.
std::optional<std::map<std::string, std::string>> parse_key_values(std::string_view text);

}  // namespace ipc_tools
