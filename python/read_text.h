#pragma once

// The library's text forms of a read dict as get_completed_reads returns
// it: its FASTQ header line and its SAM records. Interpreter lock held.

#include <string>

#include <pybind11/pybind11.h>

namespace tavrix {

namespace py = pybind11;

// "@" + read name + tags, no terminator; with include_move_table the
// move-table tag when the read has moves. Raises RuntimeError for a read
// the library cannot write (a name no record holds, malformed data) and
// TypeError for a dict whose values are not of their fields' types.
std::string fastq_header_line(const py::dict& read_dict, bool include_move_table);

// One str per SAM record, no terminators. For a read with an alignment
// table or modified-base probabilities these are the records the library
// built when the read was collected ("alignment_sam_record"); for any other
// read the one unmapped record, built now. Raises as fastq_header_line, and
// RuntimeError with the collection's "conversion_error" when the records
// could not be built then.
py::list sam_records(const py::dict& read_dict);

}  // namespace tavrix
