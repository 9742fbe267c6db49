// The module's bindings. Each block names the Python tests that use it; the
// behaviour lives in the conversion and client files beside this one.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <apps/client/read.h>
#include <apps/client/result_codes.h>

#include "python/conversion_test_helpers.h"
#include "python/corvane_py.h"
#include "python/docstrings.h"
#include "python/read_conversion.h"
#include "python/read_text.h"
#include "python/server_queries.h"

namespace py = pybind11;

PYBIND11_MODULE(tavrix, m) {
    m.doc() = tavrix::doc::module;
    tavrix::register_align_results_dtype();

    py::class_<tavrix::CorvanePy> corvane(m, "Corvane", tavrix::doc::corvane_class);

    // test_enums.py::test_members_and_values, test_enums.py::test_members_are_class_attributes
    py::enum_<apps::ConnectionStatus>(corvane, "status", tavrix::doc::status_enum)
        .value("disconnected", apps::ConnectionStatus::disconnected, "No connection.")
        .value("preparing_connection", apps::ConnectionStatus::preparing_connection, "Setting up the connection.")
        .value("loading_config", apps::ConnectionStatus::loading_config, "The server is loading the configuration.")
        .value("loading_alignment_index", apps::ConnectionStatus::loading_alignment_index,
               "The server is loading the alignment index.")
        .value("loading_bed_file", apps::ConnectionStatus::loading_bed_file, "The server is loading the bed file.")
        .value("connecting", apps::ConnectionStatus::connecting, "Registering with the server.")
        .value("connected", apps::ConnectionStatus::connected, "Connected: reads may be passed.")
        .value("error_state", apps::ConnectionStatus::error, "The connection failed; see get_error_message().")
        .export_values();

    py::enum_<apps::Result>(corvane, "result", tavrix::doc::result_enum)
        .value("success", apps::Result::success, "The operation did what was asked.")
        .value("no_connection", apps::Result::no_connection, "The client has no live connection.")
        .value("already_connected", apps::Result::already_connected, "Only allowed while disconnected.")
        .value("not_ready", apps::Result::not_ready, "Finishing timed out; the client is now disconnected.")
        .value("timed_out", apps::Result::timed_out, "The server did not answer in time.")
        .value("invalid_response", apps::Result::invalid_response, "The server's reply was unusable.")
        .value("basecall_config_unavailable", apps::Result::basecall_config_unavailable,
               "The server failed to load the configuration.")
        .value("barcode_kit_unavailable", apps::Result::barcode_kit_unavailable,
               "The server does not know a requested barcode kit.")
        .value("align_index_unavailable", apps::Result::align_index_unavailable,
               "The server failed to load the alignment index.")
        .value("bed_file_unavailable", apps::Result::bed_file_unavailable, "The server failed to load the bed file.")
        .value("file_load_timeout", apps::Result::file_load_timeout,
               "The server did not finish loading a file in time.")
        .value("failed", apps::Result::failed, "Any other failure.")
        .value("bad_request", apps::Result::bad_request, "The server rejected a request as malformed.")
        .value("bad_reply", apps::Result::bad_reply, "The server's reply was malformed.")
        .value("invalid_aligner_options", apps::Result::invalid_aligner_options,
               "The server rejected the aligner option string.")
        .export_values();

    py::enum_<apps::PassReadResult>(corvane, "pass_read_result", tavrix::doc::pass_read_result_enum)
        .value("read_accepted", apps::PassReadResult::success, "All reads were queued.")
        .value("not_accepting_reads", apps::PassReadResult::not_accepting_reads,
               "No connection, error state, or no longer accepting reads.")
        .value("queue_full", apps::PassReadResult::queue_full, "The read queue stayed full for the whole wait.")
        .value("bad_read", apps::PassReadResult::bad_read, "A read is not valid; nothing was queued.")
        .export_values();

    py::enum_<apps::Read::Priority>(corvane, "read_priority", tavrix::doc::read_priority_enum)
        .value("high_priority", apps::Read::Priority::HIGH_PRIORITY, "Processed before the others.")
        .value("medium_priority", apps::Read::Priority::MEDIUM_PRIORITY, "The default.")
        .value("low_priority", apps::Read::Priority::LOW_PRIORITY, "Processed after the others.")
        .export_values();

    // test_client.py
    corvane
        .def(py::init<const std::string&, const std::string&, int>(), py::arg("address"), py::arg("config"),
             py::arg("num_threads") = 1, tavrix::doc::constructor)
        .def("set_params", &tavrix::CorvanePy::set_params, py::arg("params"), tavrix::doc::set_params)
        .def("get_status", &tavrix::CorvanePy::get_status, tavrix::doc::get_status)
        .def("get_error_message", &tavrix::CorvanePy::get_error_message, tavrix::doc::get_error_message)
        .def("get_internal_state", &tavrix::CorvanePy::get_internal_state, tavrix::doc::get_internal_state)
        .def("connect", &tavrix::CorvanePy::connect, py::call_guard<py::gil_scoped_release>(),
             tavrix::doc::connect)
        .def("get_address", &tavrix::CorvanePy::get_address, tavrix::doc::get_address)
        .def("pass_read", &tavrix::CorvanePy::pass_read, py::arg("read"), py::arg("wait_duration_ms") = 0,
             tavrix::doc::pass_read)
        .def("pass_reads", &tavrix::CorvanePy::pass_reads, py::arg("reads"), py::arg("wait_duration_ms") = 0,
             tavrix::doc::pass_read)
        .def("get_completed_reads", &tavrix::CorvanePy::get_completed_reads, tavrix::doc::get_completed_reads)
        .def("finish", &tavrix::CorvanePy::finish, py::arg("timeout") = 0, py::call_guard<py::gil_scoped_release>(),
             tavrix::doc::finish)
        .def("disconnect", &tavrix::CorvanePy::disconnect, py::call_guard<py::gil_scoped_release>(),
             tavrix::doc::disconnect)
        .def("get_basecalling_config", &tavrix::CorvanePy::get_basecalling_config,
             tavrix::doc::get_basecalling_config)
        .def("get_alignment_sam_header", &tavrix::CorvanePy::get_alignment_sam_header,
             tavrix::doc::get_alignment_sam_header)
        .def("validate_read", &tavrix::CorvanePy::validate_read, py::arg("read"), tavrix::doc::validate_read)
        .def("__repr__", &tavrix::CorvanePy::repr, tavrix::doc::repr);

    // test_queries.py
    corvane
        .def_static("get_barcode_kits", &tavrix::get_barcode_kits, py::arg("address"), py::arg("timeout"),
                    tavrix::doc::get_barcode_kits)
        .def_static("get_server_stats", &tavrix::get_server_stats, py::arg("address"), py::arg("timeout"),
                    tavrix::doc::get_server_stats)
        .def_static("get_server_information", &tavrix::get_server_information, py::arg("address"),
                    py::arg("timeout"), tavrix::doc::get_server_information)
        .def_static("get_server_internal_state", &tavrix::get_server_internal_state, py::arg("address"),
                    py::arg("timeout"), tavrix::doc::get_server_internal_state)
        .def_static("get_software_version", &tavrix::get_software_version, tavrix::doc::get_software_version)
        .def_static("get_protocol_version", &tavrix::get_protocol_version, tavrix::doc::get_protocol_version);

    // test_read_text.py
    m.def("fastq_header_line", &tavrix::fastq_header_line, py::arg("read"), py::arg("include_move_table") = false,
          tavrix::doc::fastq_header_line);
    m.def("sam_records", &tavrix::sam_records, py::arg("read"), tavrix::doc::sam_records);

    // test_read_conversion.py, test_param_conversion.py
    m.def("test_metadata_to_dict", &tavrix::test_metadata_to_dict, tavrix::doc::test_metadata_to_dict);
    m.def("test_datasets_to_dict", &tavrix::test_datasets_to_dict, tavrix::doc::test_datasets_to_dict);
    m.def("test_dict_to_readholder", &tavrix::test_dict_to_readholder, tavrix::doc::test_dict_to_readholder);
    m.def("test_readholder_to_dict", &tavrix::test_readholder_to_dict, tavrix::doc::test_readholder_to_dict);
    m.def("test_str_list_concat", &tavrix::test_str_list_concat, py::arg("items"),
          tavrix::doc::test_str_list_concat);
    m.def("test_config_details_to_dict", &tavrix::test_config_details_to_dict,
          tavrix::doc::test_config_details_to_dict);
}
