#pragma once

// Strided views onto memory owned by a data set or table. A view borrows:
// it is invalid once its owner is moved, reset or destroyed.

#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <type_traits>

namespace vesk::data_wrappers::v2 {

// size elements of T, consecutive ones stride elements apart (a column of a
// table is a view whose stride is the row size).
template <class T>
class VecView {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::remove_cv_t<T>;
        using difference_type = std::ptrdiff_t;
        using pointer = T*;
        using reference = T&;

        iterator() = default;
        iterator(const VecView* view, std::size_t index) : m_view(view), m_index(index) {}
        reference operator*() const { return (*m_view)[m_index]; }
        iterator& operator++() {
            ++m_index;
            return *this;
        }
        iterator operator++(int) {
            iterator previous = *this;
            ++m_index;
            return previous;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.m_index == b.m_index; }

    private:
        const VecView* m_view = nullptr;
        std::size_t m_index = 0;
    };

    VecView() = default;

    // A stride of zero would make every element the same one, and a null
    // pointer with elements would be read anyway: both are refused.
    VecView(T* data, std::size_t size, std::size_t stride = 1) : m_data(data), m_size(size), m_stride(stride) {
        if (stride == 0) {
            throw std::runtime_error("Stride cannot be zero.");
        }
        if (data == nullptr && size > 0) {
            throw std::runtime_error("Cannot view nullptr with size > 0");
        }
    }

    // A view of T can be read as a view of const T.
    template <class U, class = std::enable_if_t<std::is_same_v<const U, T> && !std::is_same_v<U, T>>>
    VecView(const VecView<U>& other) noexcept : m_data(other.data()), m_size(other.size()), m_stride(other.stride()) {}

    T* data() const noexcept { return m_data; }
    std::size_t size() const noexcept { return m_size; }
    std::size_t stride() const noexcept { return m_stride; }
    bool empty() const noexcept { return m_size == 0; }

    T& operator[](std::size_t index) const noexcept { return m_data[index * m_stride]; }

    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, m_size); }

private:
    T* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_stride = 1;
};

// A row-major matrix view. It also serves as a plain shape description, so
// the constructor takes any pointer; the row stride is the column count (1
// when there are no columns) so that no stride is ever 0.
template <class T>
class VecView2D {
public:
    VecView2D() = default;
    VecView2D(T* data, std::size_t rows, std::size_t columns) noexcept
        : m_data(data), m_rows(rows), m_columns(columns), m_row_stride(columns == 0 ? 1 : columns) {}

    T* data() const noexcept { return m_data; }
    std::size_t rows() const noexcept { return m_rows; }
    std::size_t columns() const noexcept { return m_columns; }
    std::size_t row_stride() const noexcept { return m_row_stride; }
    std::size_t column_stride() const noexcept { return m_column_stride; }

    T& operator()(std::size_t row, std::size_t column) const noexcept {
        return m_data[row * m_row_stride + column * m_column_stride];
    }

private:
    T* m_data = nullptr;
    std::size_t m_rows = 0;
    std::size_t m_columns = 0;
    std::size_t m_row_stride = 1;
    std::size_t m_column_stride = 1;
};

}  // namespace vesk::data_wrappers::v2
