#pragma once

// Client parameters from a Python dict. The client looks each key up with
// exactly one value type, so the conversion knows per key which type to
// make. Interpreter lock held.

#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include <apps/client/read.h>
#include <data_wrappers/metadata.h>

namespace tavrix {

namespace py = pybind11;

struct ParamsConversion {
    vesk::data_wrappers::v3::Metadata params;
    std::optional<apps::Read::Priority> priority;  // "priority" is not a parameter of the record
    std::string unknown_key;                       // set when the walk stopped at a key no table knows
};

// Walks the dict in order. Stops at the first key no table knows (and
// reports it); raises for a key that is not a str, a priority that is not a
// read_priority member, or a value that does not convert to its key's type.
ParamsConversion params_dict_to_metadata(const py::dict& params);

// Joins the items of a list of str with single blanks into `out`. False at
// the first item that is not a str, leaving what was built so far.
bool str_list_to_std_string(const py::list& items, std::string& out);

}  // namespace tavrix
