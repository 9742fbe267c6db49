#pragma once

// The module's test helpers: each runs one conversion on fixed inputs and
// returns its output, so Python tests reach the conversions directly.

#include <pybind11/pybind11.h>

namespace tavrix {

namespace py = pybind11;

py::dict test_metadata_to_dict();
py::dict test_datasets_to_dict();
py::dict test_dict_to_readholder();
py::dict test_readholder_to_dict();
py::tuple test_str_list_concat(const py::list& items);
py::dict test_config_details_to_dict();

}  // namespace tavrix
