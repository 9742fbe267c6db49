#pragma once

// Replacing values in a dict that was just copied and that no one else has
// seen yet. PyDict_SetItem looks the key up again and keeps the dict's
// bookkeeping for observers the copy cannot have; where the interpreter's
// dicts are laid out as this module knows them (CPython 3.11 to 3.13 with
// the interpreter lock, checked once on a probe dict), the value is written
// into its entry instead. Each write is checked against the entry's key,
// and anything unexpected takes PyDict_SetItem, so the dict made is the
// same either way.
//
// Threads: the interpreter lock guards everything; hold it for every call.

#include <cstddef>

#include <pybind11/pybind11.h>

namespace tavrix {

namespace py = pybind11;

namespace fresh_dict_detail {

// An entry of a table whose keys are all str: key and value.
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

}  // namespace fresh_dict_detail

class FreshDict {
public:
    // copy: a dict returned by PyDict_Copy moments ago, borrowed.
    explicit FreshDict(PyObject* copy);
    // Keeps the garbage collector's view of the dict right for what was
    // written in place.
    ~FreshDict();
    FreshDict(const FreshDict&) = delete;
    FreshDict& operator=(const FreshDict&) = delete;

    // Sets the value of the entry at `position` (insertion order, counting
    // from 0), whose key is `key`. `value` is borrowed. Raises what
    // PyDict_SetItem raises.
    void set(std::size_t position, PyObject* key, PyObject* value) {
        if (position < m_count && m_entries[position].key == key) {
            fresh_dict_detail::UnicodeEntry& entry = m_entries[position];
            PyObject* previous = entry.value;
            Py_INCREF(value);
            entry.value = value;
            m_holds_collectable = m_holds_collectable || PyType_IS_GC(Py_TYPE(value));
            Py_XDECREF(previous);
            return;
        }
        if (PyDict_SetItem(m_dict, key, value) != 0) {
            throw py::error_already_set();
        }
    }

    // Whether values are written in place on this interpreter.
    static bool writes_in_place();

private:
    PyObject* m_dict;
    fresh_dict_detail::UnicodeEntry* m_entries = nullptr;  // null when written through PyDict_SetItem
    std::size_t m_count = 0;                               // entries at m_entries
    bool m_holds_collectable = false;                      // a value written in place may be in a cycle
};

}  // namespace tavrix
