#include "python/config_conversion.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace tavrix {

namespace {

using vesk::data_wrappers::v3::Metadata;
using vesk::data_wrappers::v3::MetadataType;

template <class T>
py::object value_of(const Metadata& details, const std::string& key) {
    const T* value = details.find<T>(key);
    if (value == nullptr) {
        throw std::out_of_range("Could not find key '" + key + "' in map.");
    }
    if constexpr (std::is_same_v<T, bool>) {
        return py::bool_(*value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return py::str(*value);
    } else if constexpr (std::is_floating_point_v<T>) {
        return py::float_(static_cast<double>(*value));
    } else {
        return py::int_(*value);
    }
}

py::object value_of(const Metadata& details, const std::string& key, MetadataType type) {
    switch (type) {
    case MetadataType::boolean: return value_of<bool>(details, key);
    case MetadataType::int8: return value_of<std::int8_t>(details, key);
    case MetadataType::uint8: return value_of<std::uint8_t>(details, key);
    case MetadataType::int16: return value_of<std::int16_t>(details, key);
    case MetadataType::uint16: return value_of<std::uint16_t>(details, key);
    case MetadataType::int32: return value_of<std::int32_t>(details, key);
    case MetadataType::uint32: return value_of<std::uint32_t>(details, key);
    case MetadataType::int64: return value_of<std::int64_t>(details, key);
    case MetadataType::uint64: return value_of<std::uint64_t>(details, key);
    case MetadataType::float32: return value_of<float>(details, key);
    case MetadataType::float64: return value_of<double>(details, key);
    case MetadataType::string: return value_of<std::string>(details, key);
    }
    return py::object();
}

}  // namespace

py::dict config_details_to_dict(const Metadata& details) {
    py::dict result;
    for (const auto& [key, type] : details.key_types()) {
        py::object value = value_of(details, key, type);
        if (value) {
            result[py::str(key)] = value;
        }
    }
    return result;
}

}  // namespace tavrix
