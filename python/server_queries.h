#pragma once

// The server queries and version numbers as the Corvane class's static
// methods return them. Called with the interpreter lock held; each query
// releases it while it waits for the server.

#include <pybind11/pybind11.h>

namespace tavrix {

namespace py = pybind11;

// (list of kit dicts or None, result)
py::tuple get_barcode_kits(const std::string& address, unsigned int timeout);
// (dict or None, result)
py::tuple get_server_stats(const std::string& address, unsigned int timeout);
// (text, result); the text is "No information available" without an answer.
py::tuple get_server_information(const std::string& address, unsigned int timeout);
// (text or None, result)
py::tuple get_server_internal_state(const std::string& address, unsigned int timeout);
// (major, minor, patch)
py::tuple get_software_version();
py::tuple get_protocol_version();

}  // namespace tavrix
