#pragma once

// A connected client's configuration details as a Python dict. Interpreter
// lock held.

#include <pybind11/pybind11.h>

#include <data_wrappers/metadata.h>

namespace tavrix {

namespace py = pybind11;

// One entry per key of the record, in key order, with the Python type of its
// value: bool, int, float or str.
py::dict config_details_to_dict(const vesk::data_wrappers::v3::Metadata& details);

}  // namespace tavrix
