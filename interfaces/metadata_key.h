#pragma once

// Keys of a read's metadata as the views take them: the key text plus its
// 32-bit FNV-1a hash. The hash is computed by the caller (at compile time
// for a literal key) and the library dispatches on it, so this function is
// part of the contract between the library and everyone who calls the
// views' entry points directly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace interfaces {

constexpr std::uint32_t metadata_key_hash(std::string_view key) noexcept {
    std::uint32_t hash = 2166136261u;
    for (const char byte : key) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 16777619u;
    }
    return hash;
}

// The value types the views read and write.
template <class T>
inline constexpr bool is_metadata_value_type =
    std::is_same_v<T, bool> || std::is_same_v<T, std::int8_t> || std::is_same_v<T, std::uint8_t> ||
    std::is_same_v<T, std::int16_t> || std::is_same_v<T, std::uint16_t> || std::is_same_v<T, std::int32_t> ||
    std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> ||
    std::is_same_v<T, float> || std::is_same_v<T, double> || std::is_same_v<T, std::string>;

// A key with its hash. A string literal is hashed at compile time; any
// other text (a std::string or std::string_view) is hashed when the key is
// made. The text is borrowed and must outlive the key.
class MetadataKey {
public:
    template <std::size_t N>
    consteval MetadataKey(const char (&text)[N]) noexcept
        : m_text(text, N - 1), m_hash(metadata_key_hash(std::string_view(text, N - 1))) {}
    constexpr MetadataKey(std::string_view text) noexcept : m_text(text), m_hash(metadata_key_hash(text)) {}
    MetadataKey(const std::string& text) noexcept : MetadataKey(std::string_view(text)) {}

    constexpr std::string_view text() const noexcept { return m_text; }
    constexpr std::uint32_t hash() const noexcept { return m_hash; }

private:
    std::string_view m_text;
    std::uint32_t m_hash;
};

}  // namespace interfaces
