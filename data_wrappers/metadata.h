#pragma once

// An ordered, typed key/value record: client parameters, configuration
// details and data set attributes. Header-only and built from standard
// types alone, so that applications and the Python module can build records
// themselves and hand them to the library. Not synchronised: a record is
// used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vesk::data_wrappers::v3 {

// The alternative index is part of a value: typed lookups compare it and
// never convert between widths or signedness.
using MetadataValue = std::variant<bool,
                                   std::int8_t,
                                   std::uint8_t,
                                   std::int16_t,
                                   std::uint16_t,
                                   std::int32_t,
                                   std::uint32_t,
                                   std::int64_t,
                                   std::uint64_t,
                                   float,
                                   double,
                                   std::string>;

// Names the alternative a value holds; the numbers are the variant indices.
enum class MetadataType : std::uint8_t {
    boolean = 0,
    int8 = 1,
    uint8 = 2,
    int16 = 3,
    uint16 = 4,
    int32 = 5,
    uint32 = 6,
    int64 = 7,
    uint64 = 8,
    float32 = 9,
    float64 = 10,
    string = 11,
};

namespace detail {
template <class T, class Variant>
struct AlternativeIndex;
template <class T, class... Ts>
struct AlternativeIndex<T, std::variant<Ts...>> {
    static constexpr std::size_t matches = (std::size_t{std::is_same_v<T, Ts>} + ...);
    static constexpr std::size_t value = [] {
        constexpr bool same[] = {std::is_same_v<T, Ts>...};
        for (std::size_t i = 0; i < sizeof...(Ts); ++i) {
            if (same[i]) {
                return i;
            }
        }
        return sizeof...(Ts);
    }();
};
}  // namespace detail

// Whether T is one of the twelve value types.
template <class T>
inline constexpr bool is_metadata_type = detail::AlternativeIndex<T, MetadataValue>::matches == 1;

template <class T>
inline constexpr MetadataType metadata_type_of =
    static_cast<MetadataType>(detail::AlternativeIndex<T, MetadataValue>::value);

// Keys order by unsigned bytes, a prefix before the longer key; std::less
// on std::string happens to agree on common platforms, but the order is a
// published property, so it is spelled out.
struct ByteLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        const std::size_t common = a.size() < b.size() ? a.size() : b.size();
        const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
        return order != 0 ? order < 0 : a.size() < b.size();
    }
};

class Metadata {
public:
    using Map = std::map<std::string, MetadataValue, ByteLess>;

    Metadata() = default;
    Metadata(const Metadata& other) : m_values(other.m_values ? std::make_unique<Map>(*other.m_values) : nullptr) {}
    Metadata(Metadata&&) noexcept = default;
    Metadata& operator=(const Metadata& other) {
        if (this != &other) {
            m_values = other.m_values ? std::make_unique<Map>(*other.m_values) : nullptr;
        }
        return *this;
    }
    Metadata& operator=(Metadata&&) noexcept = default;
    ~Metadata() = default;

    // Stores the value with alternative T, replacing whatever the key held.
    template <class T>
    void set(std::string_view key, T value) {
        static_assert(is_metadata_type<T>, "Metadata holds only its twelve value types");
        auto& values = map();
        auto found = values.find(key);
        if (found == values.end()) {
            values.emplace(std::string(key), MetadataValue(std::in_place_type<T>, std::move(value)));
        } else {
            found->second.template emplace<T>(std::move(value));
        }
    }
    // A text literal is a string value, not a pointer (which would otherwise
    // be stored as a bool).
    void set(std::string_view key, const char* text) { set<std::string>(key, std::string(text)); }

    // The value when the key exists and holds exactly alternative T.
    template <class T>
    const T* find(std::string_view key) const noexcept {
        static_assert(is_metadata_type<T>, "Metadata holds only its twelve value types");
        const MetadataValue* value = find_value(key);
        return value ? std::get_if<T>(value) : nullptr;
    }
    template <class T>
    T* find(std::string_view key) noexcept {
        return const_cast<T*>(std::as_const(*this).template find<T>(key));
    }

    bool has(std::string_view key) const noexcept { return find_value(key) != nullptr; }

    // The held value, whatever its alternative; null when the key is absent.
    const MetadataValue* find_value(std::string_view key) const noexcept {
        if (!m_values) {
            return nullptr;
        }
        auto found = m_values->find(key);
        return found == m_values->end() ? nullptr : &found->second;
    }

    bool empty() const noexcept { return !m_values || m_values->empty(); }
    std::size_t size() const noexcept { return m_values ? m_values->size() : 0; }
    void clear() noexcept {
        if (m_values) {
            m_values->clear();
        }
    }

    // Text form: integers in decimal, bool as 1 or 0, floating point as
    // printf "%f", strings unchanged.
    // Throws std::out_of_range for a missing key and std::bad_variant_access
    // for a value left empty by a failed assignment.
    std::string value_as_string(std::string_view key) const {
        const MetadataValue* value = find_value(key);
        if (!value) {
            throw std::out_of_range("Key '" + std::string(key) + "' not found.");
        }
        return std::visit([](const auto& held) { return text_of(held); }, *value);
    }

    // Every key with the alternative it holds, in key order.
    std::vector<std::pair<std::string, MetadataType>> key_types() const {
        std::vector<std::pair<std::string, MetadataType>> result;
        if (m_values) {
            result.reserve(m_values->size());
            for (const auto& [key, value] : *m_values) {
                result.emplace_back(key, static_cast<MetadataType>(value.index()));
            }
        }
        return result;
    }

    // Every entry of other overwrites or joins this record; keys only here stay.
    void merge(const Metadata& other) {
        if (!other.m_values || other.m_values == m_values) {
            return;
        }
        auto& values = map();
        for (const auto& [key, value] : *other.m_values) {
            values.insert_or_assign(key, value);
        }
    }

    // Read-only walk over the entries in key order.
    Map::const_iterator begin() const noexcept { return m_values ? m_values->cbegin() : empty_map().cbegin(); }
    Map::const_iterator end() const noexcept { return m_values ? m_values->cend() : empty_map().cend(); }

private:
    // A moved-from record has no map and reads as empty; the map is created
    // on the first write.
    Map& map() {
        if (!m_values) {
            m_values = std::make_unique<Map>();
        }
        return *m_values;
    }
    static const Map& empty_map() noexcept {
        static const Map none;
        return none;
    }

    static std::string text_of(bool value) { return value ? "1" : "0"; }
    static std::string text_of(const std::string& value) { return value; }
    static std::string text_of(float value) { return fixed_text(static_cast<double>(value)); }
    static std::string text_of(double value) { return fixed_text(value); }
    template <class Integer>
    static std::string text_of(Integer value) {
        // Widened so that 8-bit values print as numbers, not characters.
        if constexpr (std::is_signed_v<Integer>) {
            return std::to_string(static_cast<long long>(value));
        } else {
            return std::to_string(static_cast<unsigned long long>(value));
        }
    }
    static std::string fixed_text(double value) {
        const int length = std::snprintf(nullptr, 0, "%f", value);
        std::string text(static_cast<std::size_t>(length), '\0');
        std::snprintf(text.data(), text.size() + 1, "%f", value);
        return text;
    }

    std::unique_ptr<Map> m_values;
};

}  // namespace vesk::data_wrappers::v3
