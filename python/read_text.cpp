#include "python/read_text.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include <apps/client/read.h>

#include "python/read_conversion.h"

namespace tavrix {

namespace {

// The metadata of a read whose SAM text get_completed_reads built (one with
// an alignment table or modified-base probabilities); null for the others.
// The items are borrowed.
PyObject* collected_metadata(const py::dict& read_dict) {
    PyObject* datasets = PyDict_GetItemString(read_dict.ptr(), "datasets");
    if (datasets == nullptr || !PyDict_Check(datasets)) {
        return nullptr;
    }
    if (PyDict_GetItemString(datasets, "align_results") == nullptr &&
        PyDict_GetItemString(datasets, "base_mod_probs") == nullptr) {
        return nullptr;
    }
    PyObject* metadata = PyDict_GetItemString(read_dict.ptr(), "metadata");
    return metadata != nullptr && PyDict_Check(metadata) ? metadata : nullptr;
}

py::list split_lines(std::string_view text) {
    py::list lines;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        const std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        lines.append(py::str(line.data(), line.size()));
        if (end == std::string_view::npos) {
            return lines;
        }
        start = end + 1;
    }
}

}  // namespace

std::string fastq_header_line(const py::dict& read_dict, bool include_move_table) {
    apps::Read read;
    returned_dict_to_read(read_dict, read, false);
    return read.extract_fastq_header_line(include_move_table);
}

py::list sam_records(const py::dict& read_dict) {
    if (PyObject* metadata = collected_metadata(read_dict)) {
        if (PyObject* error = PyDict_GetItemString(metadata, conversion_error_key)) {
            throw std::runtime_error(py::str(error).cast<std::string>());
        }
        PyObject* text = PyDict_GetItemString(metadata, "alignment_sam_record");
        if (text == nullptr || !PyUnicode_Check(text)) {
            throw py::type_error("read dict metadata \"alignment_sam_record\" is not a str");
        }
        return split_lines(py::str(text).cast<std::string>());
    }
    apps::Read read;
    returned_dict_to_read(read_dict, read, true);
    py::list records;
    for (const apps::Read::AlignmentSamLine& line : read.extract_sam_and_bed_lines(sam_modbase_threshold_percent)) {
        records.append(py::str(line.sam_line));
    }
    return records;
}

}  // namespace tavrix
