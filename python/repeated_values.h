#pragma once

// Python objects for values that repeat from read to read: the model, the
// sampling rate, the scaling, the stride. Per key it keeps the object made
// last, and a value equal to that one gets the same object again rather
// than a new one. Only for immutable objects (int, float, str), where a
// shared object is as good as a copy. The objects are handed out borrowed:
// each stays alive here at least until the next call for the same key.
//
// Threads: the interpreter lock guards everything; hold it for every call.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>

namespace tavrix {

namespace py = pybind11;

class RepeatedValues {
public:
    explicit RepeatedValues(std::size_t keys) : m_last(keys) {}
    // The objects are dropped with the interpreter lock held.
    ~RepeatedValues() {
        for (const Last& last : m_last) {
            Py_XDECREF(last.object);
        }
    }
    RepeatedValues(const RepeatedValues&) = delete;
    RepeatedValues& operator=(const RepeatedValues&) = delete;

    // The object kept for key when it was made for the same bits of a
    // number (so 0.0 and -0.0 stay apart), else null.
    PyObject* same_number(std::size_t key, std::uint64_t bits) const {
        const Last& last = m_last[key];
        return last.object != nullptr && last.bits == bits ? last.object : nullptr;
    }

    // The object kept for key when it is the ASCII text value, else null.
    PyObject* same_text(std::size_t key, std::string_view value) const {
        const Last& last = m_last[key];
        if (last.object != nullptr && PyUnicode_IS_COMPACT_ASCII(last.object) &&
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(last.object)) == value.size() &&
            std::memcmp(PyUnicode_DATA(last.object), value.data(), value.size()) == 0) {
            return last.object;
        }
        return nullptr;
    }

    // Keeps made as key's object, for the bits of the number it was made
    // for (0 for text), in place of the one before; returns it.
    PyObject* keep(std::size_t key, py::object made, std::uint64_t bits) {
        Last& last = m_last[key];
        PyObject* previous = last.object;
        last.object = made.release().ptr();
        last.bits = bits;
        Py_XDECREF(previous);
        return last.object;
    }

private:
    struct Last {
        PyObject* object = nullptr;  // a reference of our own, or null
        std::uint64_t bits = 0;      // of the number it was made for
    };

    std::vector<Last> m_last;
};

}  // namespace tavrix
