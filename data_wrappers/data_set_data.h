#pragma once

// One typed, self-describing data set: the signal or one result array of a
// read. The data set owns its storage through a type-erased owner and points
// into it, so bulk data moves from producer to consumer without a copy.
// Not synchronised: a data set travels between threads only inside a read
// that is moved whole.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "data_wrappers/data_table.h"
#include "data_wrappers/data_type.h"
#include "data_wrappers/metadata.h"
#include "data_wrappers/vec_view.h"

namespace vesk::data_wrappers::v2 {

class DataSetData {
public:
    // Holds the object a data set points into.
    class OwnerBase {
    public:
        virtual ~OwnerBase() = default;
        // A new owner holding a deep copy of the stored object.
        virtual std::unique_ptr<OwnerBase> clone() const = 0;
        // The first payload byte: text characters, first element, first row.
        virtual void* data_address() noexcept = 0;
    };

    template <class T>
    class OwnerType final : public OwnerBase {
    public:
        explicit OwnerType(T&& value) : m_value(std::move(value)) {}
        std::unique_ptr<OwnerBase> clone() const override {
            T copy(m_value);
            return std::make_unique<OwnerType<T>>(std::move(copy));
        }
        void* data_address() noexcept override { return static_cast<void*>(m_value.data()); }
        T& value() noexcept { return m_value; }

    private:
        T m_value;
    };

    DataSetData() = default;

    // A one-dimensional data set holding a copy of count elements from
    // first, in one allocation with its owner. For the element types the
    // vector constructors take.
    template <class Element>
    static DataSetData copy_of(const Element* first, std::size_t count) {
        static_assert(std::is_same_v<Element, std::int16_t> || std::is_same_v<Element, std::uint8_t>,
                      "copied data sets hold int16 samples or uint8 bytes");
        auto owner = ArrayOwner<Element>::make(count);
        if (count != 0) {
            std::memcpy(owner->elements(), first, count * sizeof(Element));
        }
        DataSetData made;
        made.m_type = data_type_of<Element>;
        made.m_element_size = sizeof(Element);
        made.m_count = count;
        made.take(std::move(owner));
        return made;
    }

    // Text is held in the data set itself rather than behind an owner: a
    // returned read carries two texts, and each would otherwise cost an
    // allocation more than its characters.
    explicit DataSetData(std::string&& text)
        : m_type(DataType::string), m_element_size(text.size() + 1), m_count(1), m_text(std::move(text)) {
        m_data = m_text.data();
    }

    explicit DataSetData(std::vector<std::uint8_t>&& bytes) { take_vector(std::move(bytes), DataType::uint8); }

    explicit DataSetData(std::vector<std::int16_t>&& samples) { take_vector(std::move(samples), DataType::int16); }

    // Rows x columns bytes, row after row. A shape that does not cover the
    // bytes exactly would let readers run past the storage, so it is refused.
    DataSetData(std::vector<std::uint8_t>&& bytes, const VecView2D<std::uint8_t>& shape) {
        const std::uint64_t rows = shape.rows();
        const std::uint64_t columns = shape.columns();
        if (rows * columns != bytes.size()) {
            throw std::runtime_error("Data set shape does not match its data size.");
        }
        take_vector(std::move(bytes), DataType::uint8);
        m_shape = {rows, columns};
    }

    explicit DataSetData(DataTable&& table) {
        m_type = DataType::table;
        m_element_size = table.row_size();
        m_count = table.num_rows();
        m_fields = table.fields();
        take(std::make_unique<OwnerType<DataTable>>(std::move(table)));
    }

    // A copy owns a clone of the source's storage; a source that owns
    // nothing is copied pointer for pointer.
    DataSetData(const DataSetData& other)
        : m_data(other.m_data),
          m_type(other.m_type),
          m_element_size(other.m_element_size),
          m_count(other.m_count),
          m_shape(other.m_shape),
          m_fields(other.m_fields),
          m_attributes(other.m_attributes),
          m_text(other.m_text) {
        if (other.m_owner) {
            take(other.m_owner->clone());
        } else if (m_type == DataType::string) {
            m_data = m_text.data();
        }
    }

    DataSetData(DataSetData&& other) noexcept { steal(other); }

    DataSetData& operator=(const DataSetData& other) {
        if (this != &other) {
            DataSetData copy(other);
            reset();
            steal(copy);
        }
        return *this;
    }

    DataSetData& operator=(DataSetData&& other) noexcept {
        if (this != &other) {
            reset();
            steal(other);
        }
        return *this;
    }

    ~DataSetData() = default;

    void reset() noexcept {
        if (m_type == DataType::string) {
            m_text = std::string();
        }
        m_data = nullptr;
        m_type = DataType::none;
        m_element_size = 0;
        m_count = 0;
        m_shape = {0, 0};
        m_fields.clear();
        m_owner.reset();
        m_attributes.clear();
    }

    // All count elements as T, stride 1.
    template <class T>
    VecView<T> view() {
        if (m_type != data_type_of<T>) {
            throw std::runtime_error("Invalid array type requested.");
        }
        return VecView<T>(static_cast<T*>(m_data), static_cast<std::size_t>(m_count));
    }
    template <class T>
    VecView<const T> view() const {
        return const_cast<DataSetData&>(*this).view<const T>();
    }

    const std::string& string_value() const {
        if (m_type != DataType::string) {
            throw std::runtime_error("Data does not view string data.");
        }
        return m_text;
    }

    DataType type() const noexcept { return m_type; }
    // Bytes per element: per row for a table, text length plus terminator
    // for a string.
    std::uint64_t element_size() const noexcept { return m_element_size; }
    // Elements: rows for a table, 1 for a string.
    std::uint64_t count() const noexcept { return m_count; }
    // (rows, columns) of two-dimensional data; both 0 otherwise.
    const std::array<std::uint64_t, 2>& shape() const noexcept { return m_shape; }
    const std::vector<FieldInfo>& fields() const noexcept { return m_fields; }
    const void* data() const noexcept { return m_data; }
    void* data() noexcept { return m_data; }
    bool owns_data() const noexcept { return m_owner != nullptr || m_type == DataType::string; }

    // Free-form attributes; nothing in the library fills them.
    v3::Metadata& attributes() noexcept { return m_attributes; }
    const v3::Metadata& attributes() const noexcept { return m_attributes; }

private:
    // Elements stored right behind the owner, in the same allocation, so
    // that a data set of copied values costs one allocation, not two.
    template <class Element>
    class ArrayOwner final : public OwnerBase {
    public:
        static_assert(alignof(Element) <= alignof(std::max_align_t));

        // An owner of count elements whose values are left to the caller.
        static std::unique_ptr<ArrayOwner> make(std::size_t count) {
            static_assert(sizeof(ArrayOwner) <= storage_offset);
            if (count > (std::numeric_limits<std::size_t>::max() - storage_offset) / sizeof(Element)) {
                throw std::bad_array_new_length();
            }
            void* block = ::operator new(storage_offset + count * sizeof(Element));
            return std::unique_ptr<ArrayOwner>(::new (block) ArrayOwner(count));
        }
        // The block came from the global operator new, sized for the
        // elements too: it goes back whole, without a size.
        static void operator delete(void* block) { ::operator delete(block); }

        std::unique_ptr<OwnerBase> clone() const override {
            auto copy = make(m_count);
            if (m_count != 0) {
                std::memcpy(copy->elements(), elements(), m_count * sizeof(Element));
            }
            return copy;
        }
        void* data_address() noexcept override { return elements(); }
        Element* elements() noexcept { return std::launder(reinterpret_cast<Element*>(storage())); }
        const Element* elements() const noexcept {
            return std::launder(reinterpret_cast<const Element*>(const_cast<ArrayOwner*>(this)->storage()));
        }

    private:
        static constexpr std::size_t storage_offset =
            (sizeof(OwnerBase) + sizeof(std::size_t) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
            alignof(std::max_align_t);

        explicit ArrayOwner(std::size_t count) noexcept : m_count(count) {}
        unsigned char* storage() noexcept { return reinterpret_cast<unsigned char*>(this) + storage_offset; }

        std::size_t m_count;
    };

    void take(std::unique_ptr<OwnerBase> owner) noexcept {
        m_owner = std::move(owner);
        m_data = m_owner->data_address();
    }

    template <class Element>
    void take_vector(std::vector<Element>&& values, DataType type) {
        m_type = type;
        m_element_size = sizeof(Element);
        m_count = values.size();
        take(std::make_unique<OwnerType<std::vector<Element>>>(std::move(values)));
    }

    void steal(DataSetData& other) noexcept {
        m_data = std::exchange(other.m_data, nullptr);
        m_type = std::exchange(other.m_type, DataType::none);
        m_element_size = std::exchange(other.m_element_size, 0);
        m_count = std::exchange(other.m_count, 0);
        m_shape = std::exchange(other.m_shape, {0, 0});
        m_fields = std::move(other.m_fields);
        other.m_fields.clear();
        m_owner = std::move(other.m_owner);
        m_attributes = std::move(other.m_attributes);
        other.m_attributes.clear();
        // Only string data sets hold text; any other leaves m_text empty.
        if (m_type == DataType::string) {
            m_text = std::move(other.m_text);
            other.m_text.clear();
            m_data = m_text.data();  // short text lives inside the string object
        }
    }

    void* m_data = nullptr;
    DataType m_type = DataType::none;
    std::uint64_t m_element_size = 0;
    std::uint64_t m_count = 0;
    std::array<std::uint64_t, 2> m_shape{0, 0};
    std::vector<FieldInfo> m_fields;
    std::unique_ptr<OwnerBase> m_owner;
    v3::Metadata m_attributes;
    std::string m_text;  // a string data set's text; m_data points into it
};

inline DataTable::DataTable(const DataSetData& data_set) {
    if (data_set.type() != DataType::table) {
        throw std::runtime_error("Invalid array type requested.");
    }
    for (const FieldInfo& info : data_set.fields()) {
        add_field(info.name, info.type, info.size);
    }
    allocate(data_set.count());
    // A data set whose rows are laid out differently from its field list
    // cannot be copied row for row without reading past its storage.
    if (m_num_rows != 0 && (data_set.element_size() != m_row_size || data_set.data() == nullptr)) {
        throw std::runtime_error("Data set rows do not match its table fields.");
    }
    if (!m_rows.empty()) {
        std::memcpy(m_rows.data(), data_set.data(), m_rows.size());
    }
}

}  // namespace vesk::data_wrappers::v2
