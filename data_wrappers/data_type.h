#pragma once

// Element type codes of data sets and table fields, with the layout rules
// every table shares. The rules are constexpr so that fixed table layouts
// (the alignment result rows) can be checked by the compiler.

#include <cstdint>
#include <type_traits>

namespace vesk::data_wrappers::v2 {

// The numbers travel with data sets between the library and its users and
// never change.
enum class DataType : std::int32_t {
    int8 = 0,
    int16 = 1,
    int32 = 2,
    int64 = 3,
    uint8 = 4,
    uint16 = 5,
    uint32 = 6,
    uint64 = 7,
    float32 = 8,
    float64 = 9,
    fixed_string = 10,  // capacity declared per field
    string = 11,        // a whole text data set
    table = 12,         // a whole DataTable data set
    none = 13,          // an empty data set
};

// Bytes per element; 0 for the types whose size is not fixed by the type.
constexpr std::uint64_t data_type_size(DataType type) noexcept {
    switch (type) {
    case DataType::int8:
    case DataType::uint8:
        return 1;
    case DataType::int16:
    case DataType::uint16:
        return 2;
    case DataType::int32:
    case DataType::uint32:
    case DataType::float32:
        return 4;
    case DataType::int64:
    case DataType::uint64:
    case DataType::float64:
        return 8;
    default:
        return 0;
    }
}

// Only element types up to fixed_string can be table fields.
constexpr bool is_table_field_type(DataType type) noexcept {
    return static_cast<std::int32_t>(type) >= 0 &&
           static_cast<std::int32_t>(type) <= static_cast<std::int32_t>(DataType::fixed_string);
}

namespace detail {
template <class T>
struct DataTypeOf;
template <> struct DataTypeOf<std::int8_t> { static constexpr DataType value = DataType::int8; };
template <> struct DataTypeOf<std::int16_t> { static constexpr DataType value = DataType::int16; };
template <> struct DataTypeOf<std::int32_t> { static constexpr DataType value = DataType::int32; };
template <> struct DataTypeOf<std::int64_t> { static constexpr DataType value = DataType::int64; };
template <> struct DataTypeOf<std::uint8_t> { static constexpr DataType value = DataType::uint8; };
template <> struct DataTypeOf<std::uint16_t> { static constexpr DataType value = DataType::uint16; };
template <> struct DataTypeOf<std::uint32_t> { static constexpr DataType value = DataType::uint32; };
template <> struct DataTypeOf<std::uint64_t> { static constexpr DataType value = DataType::uint64; };
template <> struct DataTypeOf<float> { static constexpr DataType value = DataType::float32; };
template <> struct DataTypeOf<double> { static constexpr DataType value = DataType::float64; };
}  // namespace detail

// The type code of an element type; only the ten numeric types have one.
template <class T>
inline constexpr DataType data_type_of = detail::DataTypeOf<std::remove_cv_t<T>>::value;

// Table layout rules: a field starts at the row size so far rounded up to
// its alignment (4 for fixed strings, else its own size); a fixed string
// takes one byte more than its capacity for the terminator; allocation pads
// the row to a multiple of 8 so that every column stride is whole.
constexpr std::uint64_t round_up(std::uint64_t value, std::uint64_t multiple) noexcept {
    return multiple == 0 ? value : (value + multiple - 1) / multiple * multiple;
}

constexpr std::uint64_t field_alignment(DataType type, std::uint64_t field_size) noexcept {
    return type == DataType::fixed_string ? 4 : field_size;
}

constexpr std::uint64_t field_footprint(DataType type, std::uint64_t field_size) noexcept {
    return type == DataType::fixed_string ? field_size + 1 : field_size;
}

constexpr std::uint64_t allocated_row_size(std::uint64_t row_size) noexcept {
    return round_up(row_size, 8);
}

}  // namespace vesk::data_wrappers::v2
