#pragma once

// A table of fixed-size rows with named, typed fields, kept as one block of
// row bytes; columns are read through strided views instead of per-field
// vectors.

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data_wrappers/data_type.h"
#include "data_wrappers/vec_view.h"

namespace vesk::data_wrappers::v2 {

class DataSetData;

struct FieldInfo {
    std::string name;
    DataType type = DataType::none;
    std::uint64_t size = 0;    // element size, or the capacity of a fixed string
    std::uint64_t offset = 0;  // byte offset inside a row

    friend bool operator==(const FieldInfo&, const FieldInfo&) = default;
};

class DataTable {
public:
    DataTable() = default;
    // Rebuilds a table from a table data set: same fields, same rows.
    // Defined in data_set_data.h, which needs this class complete.
    explicit DataTable(const DataSetData& data_set);

    // Appends a field after the current ones; a size of 0 stands for the
    // type's own size. Add every field before allocate: a field added to a
    // table that already has rows would no longer fit the row bytes, so that
    // is refused.
    void add_field(std::string_view name, DataType type, std::uint64_t size = 0) {
        if (!is_table_field_type(type)) {
            throw std::runtime_error("Invalid data type for data table field.");
        }
        const std::uint64_t type_size = data_type_size(type);
        if (size != 0 && type_size != 0 && size != type_size) {
            throw std::runtime_error("Specified type size does not match actual type size.");
        }
        if (size == 0 && type_size == 0) {
            throw std::runtime_error("Must specify a size for string fields.");
        }
        if (m_num_rows != 0) {
            throw std::runtime_error("Cannot add a field to a data table that has rows.");
        }
        const std::uint64_t field_size = size != 0 ? size : type_size;
        const std::uint64_t offset = round_up(m_row_size, field_alignment(type, field_size));
        m_fields.push_back(FieldInfo{std::string(name), type, field_size, offset});
        m_row_size = offset + field_footprint(type, field_size);
        // A repeated name now finds the newest field.
        m_field_index.insert_or_assign(std::string(name), m_fields.size() - 1);
    }

    // Sizes the table for num_rows zeroed rows, padding the row to 8 bytes.
    void allocate(std::uint64_t num_rows) {
        m_row_size = allocated_row_size(m_row_size);
        m_num_rows = num_rows;
        m_rows.assign(static_cast<std::size_t>(m_row_size * m_num_rows), 0);
    }

    // One column as a view of T; only the sizes of T and the field are
    // compared, so a float32 column can be read as int32.
    template <class T>
    VecView<T> field_view(std::string_view name) {
        const FieldInfo& info = field(name);
        if (info.size != sizeof(T)) {
            throw std::runtime_error("VecView type not compatible with field type.");
        }
        std::uint8_t* start = m_rows.empty() ? nullptr : m_rows.data() + info.offset;
        return VecView<T>(reinterpret_cast<T*>(start), static_cast<std::size_t>(m_num_rows),
                          static_cast<std::size_t>(m_row_size / sizeof(T)));
    }
    template <class T>
    VecView<const T> field_view(std::string_view name) const {
        return const_cast<DataTable&>(*this).field_view<const T>(name);
    }

    const FieldInfo& field(std::string_view name) const { return m_fields[field_position(name)]; }
    bool has_field(std::string_view name) const { return m_field_index.find(name) != m_field_index.end(); }
    std::uint64_t field_offset(std::string_view name) const { return field(name).offset; }
    // Distance between a field's values in consecutive rows, counted in
    // elements of the field (bytes for a fixed string).
    std::uint64_t field_stride(std::string_view name) const {
        const FieldInfo& info = field(name);
        return info.type == DataType::fixed_string ? m_row_size : m_row_size / info.size;
    }

    const std::vector<FieldInfo>& fields() const noexcept { return m_fields; }
    std::uint64_t row_size() const noexcept { return m_row_size; }
    std::uint64_t num_rows() const noexcept { return m_num_rows; }

    // The row bytes, row_size x num_rows of them; null when there are none.
    std::uint8_t* data() noexcept { return m_rows.empty() ? nullptr : m_rows.data(); }
    const std::uint8_t* data() const noexcept { return m_rows.empty() ? nullptr : m_rows.data(); }
    // The first byte of one row.
    std::uint8_t* row(std::uint64_t index) { return m_rows.data() + checked_row(index) * m_row_size; }
    const std::uint8_t* row(std::uint64_t index) const { return m_rows.data() + checked_row(index) * m_row_size; }

private:
    std::size_t field_position(std::string_view name) const {
        auto found = m_field_index.find(name);
        if (found == m_field_index.end()) {
            // The text is the one users of these tables have always matched on.
            throw std::out_of_range("invalid map<K, T> key");
        }
        return found->second;
    }
    std::uint64_t checked_row(std::uint64_t index) const {
        if (index >= m_num_rows) {
            throw std::out_of_range("Row index out of range.");
        }
        return index;
    }

    std::vector<std::uint8_t> m_rows;
    std::vector<FieldInfo> m_fields;
    std::map<std::string, std::size_t, std::less<>> m_field_index;
    std::uint64_t m_row_size = 0;
    std::uint64_t m_num_rows = 0;
};

}  // namespace vesk::data_wrappers::v2
