#include "apps/client/server_query.h"

#include <cctype>
#include <stdexcept>
#include <utility>

namespace apps::server_query {

struct KitDefinitionImpl {
    std::string kit_name;
    std::int32_t first_index;
    std::int32_t last_index;
    bool is_both_ends;
    bool has_barcode12a;
    std::string normalised_pattern;
};

namespace {

// A width beyond this is no barcode name; it would only make the formatted
// text absurdly large.
constexpr std::size_t max_field_width = 256;

struct Conversion {
    std::size_t percent;  // position of '%'
    std::size_t end;      // position after the 'i'
};

// The one conversion of a pattern: '%', decimal digits, 'i'.
Conversion find_conversion(const std::string& pattern) {
    const auto percent = pattern.find('%');
    if (percent == std::string::npos || pattern.find('%', percent + 1) != std::string::npos) {
        throw std::runtime_error("Invalid normalised pattern: " + pattern);
    }
    auto position = percent + 1;
    while (position < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[position]))) {
        ++position;
    }
    if (position >= pattern.size() || pattern[position] != 'i') {
        throw std::runtime_error("Invalid normalised pattern: " + pattern);
    }
    return {percent, position + 1};
}

// printf's "%<digits>i" for a non-negative value, without handing a pattern
// that came over the wire to printf itself.
std::string format_index(const std::string& digits, int index) {
    const bool zero_padded = !digits.empty() && digits.front() == '0';
    std::size_t width = 0;
    for (const char digit : digits) {
        width = width * 10 + static_cast<std::size_t>(digit - '0');
        if (width > max_field_width) {
            throw std::runtime_error("Error during formatting.");
        }
    }
    const std::string number = std::to_string(index);
    if (number.size() >= width) {
        return number;
    }
    const std::size_t padding = width - number.size();
    if (zero_padded && index < 0) {
        return "-" + std::string(padding, '0') + number.substr(1);
    }
    return std::string(padding, zero_padded ? '0' : ' ') + number;
}

}  // namespace

BarcodeKitDefinition::BarcodeKitDefinition(std::string kit_name,
                                           std::int32_t first_index,
                                           std::int32_t last_index,
                                           bool is_both_ends,
                                           bool has_barcode12a,
                                           std::string normalised_pattern)
    : m_impl(std::make_shared<const KitDefinitionImpl>(KitDefinitionImpl{std::move(kit_name),
                                                                         first_index,
                                                                         last_index,
                                                                         is_both_ends,
                                                                         has_barcode12a,
                                                                         std::move(normalised_pattern)})) {}

BarcodeKitDefinition::BarcodeKitDefinition(const BarcodeKitDefinition& other) = default;
BarcodeKitDefinition::BarcodeKitDefinition(BarcodeKitDefinition&& other) noexcept = default;
BarcodeKitDefinition& BarcodeKitDefinition::operator=(const BarcodeKitDefinition& other) = default;
BarcodeKitDefinition& BarcodeKitDefinition::operator=(BarcodeKitDefinition&& other) noexcept = default;
BarcodeKitDefinition::~BarcodeKitDefinition() = default;

std::string BarcodeKitDefinition::kit_name() const { return m_impl->kit_name; }
int BarcodeKitDefinition::first_index() const { return m_impl->first_index; }
int BarcodeKitDefinition::last_index() const { return m_impl->last_index; }
bool BarcodeKitDefinition::is_both_ends() const { return m_impl->is_both_ends; }
bool BarcodeKitDefinition::has_barcode12a() const { return m_impl->has_barcode12a; }
std::string BarcodeKitDefinition::normalised_pattern() const { return m_impl->normalised_pattern; }

std::string BarcodeKitDefinition::generate_barcode_name(int index, int) const {
    const auto& kit = *m_impl;
    const bool has_range = kit.first_index >= 0 && kit.last_index >= kit.first_index;
    if (!has_range) {
        return kit.normalised_pattern;
    }
    if (index < kit.first_index || index > kit.last_index) {
        throw std::out_of_range("get_outer_barcode index " + std::to_string(index) + " out of range [" +
                                std::to_string(kit.first_index) + " .. " + std::to_string(kit.last_index) + "]");
    }
    const auto conversion = find_conversion(kit.normalised_pattern);
    const auto& pattern = kit.normalised_pattern;
    std::string name = pattern.substr(0, conversion.percent) +
                       format_index(pattern.substr(conversion.percent + 1, conversion.end - conversion.percent - 2),
                                    index) +
                       pattern.substr(conversion.end);
    if (kit.has_barcode12a && index == 12) {
        name += "a";
    }
    return name;
}

}  // namespace apps::server_query
