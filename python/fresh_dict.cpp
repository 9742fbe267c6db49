#include "python/fresh_dict.h"

#include <cstdint>

namespace tavrix {

using fresh_dict_detail::UnicodeEntry;

namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define TAVRIX_DICT_LAYOUT_KNOWN 1

// The head of a dict's keys table as CPython 3.11 to 3.13 lay it out
// (Include/internal/pycore_dict.h): the index table follows it, then the
// entries.
struct KeysHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(KeysHead) == 4 * sizeof(Py_ssize_t));

// The table's kind whose entries are key and value, every key a str.
constexpr std::uint8_t unicode_keys = 1;

// The entries of a combined table of str keys owned by this dict alone, and
// their number; null otherwise.
UnicodeEntry* own_entries(PyObject* dict, std::size_t& count) {
    auto* object = reinterpret_cast<PyDictObject*>(dict);
    if (object->ma_values != nullptr) {
        return nullptr;
    }
    auto* head = reinterpret_cast<KeysHead*>(object->ma_keys);
    if (head->refcnt != 1 || head->kind != unicode_keys || head->nentries < 0 || head->log2_index_bytes > 40) {
        return nullptr;
    }
    count = static_cast<std::size_t>(head->nentries);
    auto* indices = reinterpret_cast<char*>(head) + sizeof(KeysHead);
    return reinterpret_cast<UnicodeEntry*>(indices + (std::size_t{1} << head->log2_index_bytes));
}

// A copy of a dict of three str keys has them, in order, where
// own_entries finds them.
bool probe_layout() {
    PyObject* keys[3] = {PyUnicode_InternFromString("tavrix_probe_a"), PyUnicode_InternFromString("tavrix_probe_b"),
                         PyUnicode_InternFromString("tavrix_probe_c")};
    PyObject* original = PyDict_New();
    bool known = original != nullptr;
    for (PyObject* key : keys) {
        known = known && key != nullptr && PyDict_SetItem(original, key, Py_None) == 0;
    }
    PyObject* copy = known ? PyDict_Copy(original) : nullptr;
    std::size_t count = 0;
    const UnicodeEntry* entries = copy != nullptr ? own_entries(copy, count) : nullptr;
    known = entries != nullptr && count == 3;
    for (std::size_t i = 0; known && i < 3; ++i) {
        known = entries[i].key == keys[i] && entries[i].value == Py_None;
    }
    Py_XDECREF(copy);
    Py_XDECREF(original);
    for (PyObject* key : keys) {
        Py_XDECREF(key);
    }
    PyErr_Clear();
    return known;
}

bool layout_known() {
    static const bool known = probe_layout();  // under the interpreter lock
    return known;
}
#endif

}  // namespace

FreshDict::FreshDict(PyObject* copy) : m_dict(copy) {
#ifdef TAVRIX_DICT_LAYOUT_KNOWN
    if (layout_known()) {
        m_entries = own_entries(copy, m_count);
    }
#endif
    if (m_entries == nullptr) {
        m_count = 0;
    }
}

FreshDict::~FreshDict() {
    // What PyDict_SetItem does for a new value: a dict holding something
    // that may take part in a reference cycle is tracked.
    if (m_holds_collectable && !PyObject_GC_IsTracked(m_dict)) {
        PyObject_GC_Track(m_dict);
    }
}

bool FreshDict::writes_in_place() {
#ifdef TAVRIX_DICT_LAYOUT_KNOWN
    return layout_known();
#else
    return false;
#endif
}

}  // namespace tavrix
