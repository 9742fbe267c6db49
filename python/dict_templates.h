#pragma once

// Dicts over one fixed list of keys, where each dict holds some of the keys
// and successive dicts nearly always hold the same ones: a returned read's
// metadata, its data sets, the read itself. Inserting the keys one by one
// into a new dict is most of what such a dict costs; copying a dict whose
// keys are already laid out costs one block copy, and writing a value into
// a copy no one has seen yet costs next to nothing (FreshDict). So per
// set of present keys a template dict is kept, and a new dict is a copy of
// it with the values that differ from the template's written in.
//
// A template either keeps the values of the first dict made with its keys
// (TemplateValues::kept), for dicts whose values mostly repeat (by
// identity: equal values should be passed as the same object, see
// repeated_values.h), or holds None for each (TemplateValues::none), for
// dicts whose values are new each time and must not be kept alive. The
// values are immutable or handed over whole, so a dict sharing them with
// the template is as good as one of its own.
//
// Threads: the interpreter lock guards everything; hold it for every call.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "python/fresh_dict.h"

namespace tavrix {

namespace py = pybind11;

// Whether a template keeps the values of the dict it was made for.
enum class TemplateValues { kept, none };

template <std::size_t Keys>
class DictTemplates {
public:
    // The values of one dict: borrowed objects, null for a key left out.
    class Values {
    public:
        // value is not null.
        void set(std::size_t index, PyObject* value) {
            m_values[index] = value;
            m_present[index / 64] |= std::uint64_t{1} << (index % 64);
        }
        PyObject* operator[](std::size_t index) const { return m_values[index]; }

    private:
        friend class DictTemplates;
        std::array<PyObject*, Keys> m_values{};
        std::array<std::uint64_t, (Keys + 63) / 64> m_present{};  // bit i: m_values[i] is set
    };

    // names[i] is the key object of index i, kept alive by the caller for as
    // long as this object lives. Indexes with equal names must share one
    // object (interned strings do). At most max_templates (at least one)
    // sets of present keys are kept; the one used longest ago makes room
    // for a new set.
    DictTemplates(const std::array<PyObject*, Keys>& names, std::size_t max_templates, TemplateValues kept)
        : m_names(names), m_max_templates(max_templates), m_kept(kept) {}
    // The templates are dropped with the interpreter lock held.
    ~DictTemplates() {
        for (Template& kept : m_templates) {
            Py_XDECREF(kept.dict);
        }
    }
    DictTemplates(const DictTemplates&) = delete;
    DictTemplates& operator=(const DictTemplates&) = delete;

    // A new dict holding names[i]: values[i] for every i whose value is not
    // null, equal to the dict made by inserting them one by one in index
    // order: where indexes share a name, the first present one places the
    // key and the last present one gives the value.
    py::dict make(const Values& values) {
        const Template& used = template_for(values);
        auto copy = py::reinterpret_steal<py::dict>(PyDict_Copy(used.dict));
        if (!copy) {
            throw py::error_already_set();
        }
        FreshDict fresh(copy.ptr());
        for (std::size_t position = 0; position < used.entries.size(); ++position) {
            const Entry& entry = used.entries[position];
            PyObject* value = values[entry.source];
            if (value != entry.value) {
                fresh.set(position, entry.name, value);
            }
        }
        return copy;
    }

private:
    using Presence = decltype(Values::m_present);

    struct Entry {
        PyObject* name;
        std::size_t source;  // the last present index with this name
        PyObject* value;     // the template's, by identity; it holds the reference
    };

    struct Template {
        Presence present;
        PyObject* dict = nullptr;  // a reference of our own; never handed out
        std::vector<Entry> entries;  // in the dict's order
        std::uint64_t last_used = 0;
    };

    Template& template_for(const Values& values) {
        ++m_uses;
        for (Template& kept : m_templates) {
            if (kept.present == values.m_present) {
                kept.last_used = m_uses;
                return kept;
            }
        }
        Template made = build(values);
        made.last_used = m_uses;
        if (m_templates.size() < m_max_templates) {
            m_templates.push_back(std::move(made));
            return m_templates.back();
        }
        auto oldest = std::min_element(m_templates.begin(), m_templates.end(),
                                       [](const Template& a, const Template& b) { return a.last_used < b.last_used; });
        Py_XDECREF(oldest->dict);
        *oldest = std::move(made);
        return *oldest;
    }

    // The template inserted key by key, holding the given values or None.
    // They are held here first: making the dict may run the garbage
    // collector (before Python 3.12), and with it code that could let go
    // of them.
    Template build(const Values& values) const {
        std::vector<py::object> held;
        for (std::size_t i = 0; i < Keys; ++i) {
            if (values[i] != nullptr) {
                held.push_back(py::reinterpret_borrow<py::object>(values[i]));
            }
        }
        py::dict dict;
        Template made;
        made.present = values.m_present;
        for (std::size_t i = 0; i < Keys; ++i) {
            if (values[i] == nullptr) {
                continue;
            }
            PyObject* value = m_kept == TemplateValues::kept ? values[i] : Py_None;
            if (PyDict_SetItem(dict.ptr(), m_names[i], value) != 0) {
                throw py::error_already_set();
            }
            auto same_name = std::find_if(made.entries.begin(), made.entries.end(),
                                          [&](const Entry& entry) { return entry.name == m_names[i]; });
            if (same_name == made.entries.end()) {
                made.entries.push_back({m_names[i], i, value});
            } else {
                same_name->source = i;
                same_name->value = value;
            }
        }
        made.dict = dict.release().ptr();
        return made;
    }

    std::array<PyObject*, Keys> m_names;
    std::size_t m_max_templates;
    TemplateValues m_kept;
    std::vector<Template> m_templates;
    std::uint64_t m_uses = 0;
};

}  // namespace tavrix
