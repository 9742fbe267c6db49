#pragma once

// Reads between Python and the library: a read dict handed to pass_read
// becomes an apps::Read, and a returned read becomes a dict of plain values
// and NumPy arrays. Every function taking or returning Python objects must
// run with the interpreter lock held; build_sam_record touches none and may
// run without it.

#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <apps/client/read.h>

namespace tavrix {

namespace py = pybind11;

// Key of a returned read's "metadata" dict that carries why part of the read
// could not be converted (its SAM text, say); the rest of the dict is kept.
inline constexpr const char* conversion_error_key = "conversion_error";

// Registers the NumPy record type of alignment result rows. Module
// initialisation only.
void register_align_results_dtype();

// Fills a fresh handle from a read dict, its keys as read_dict_keys.def
// lists them. False when the dict is not a complete read (a recognised key
// with a value of the wrong type, a read tag out of range, an empty read
// id, samples that are not a one-dimensional int16 array, or a required key
// missing). A key that is not a str, or an integer of the right type that
// does not fit its field, raises the cast error instead. The dict and its
// arrays are only read.
bool dict_to_read(const py::dict& read_dict, apps::Read& read);

// dict_to_read that says why: empty when the dict is a complete read, else
// the key at fault and what it must hold. Raises nothing for a bad value.
std::string read_dict_problem(const py::dict& read_dict, apps::Read& read);

// A read dict as read_to_dict makes it, back in a fresh handle as far as the
// read's text needs it: the metadata by name, the moves and, when asked,
// the sequence and quality string. A value of a type its field cannot take
// raises TypeError.
void returned_dict_to_read(const py::dict& read_dict, apps::Read& read, bool with_sequence);

// The modified-base threshold, in percent, of the SAM text of returned reads.
inline constexpr float sam_modbase_threshold_percent = 5.0f;

// "read_tag", "sub_tag", "priority", "metadata" and "datasets", in that order.
py::dict read_to_dict(const apps::Read& read);

// One entry per metadata value of the read that is present, in published
// key order.
py::dict metadata_to_py_dict(const apps::Read& read);

// One entry per data set of a known kind, in key order: text as str, the
// rest as NumPy arrays holding copies of the data.
py::dict datasets_to_dict(const apps::Read::DatasetMap& datasets);

// A new array holding a copy of a numeric or alignment table data set; an
// empty one-dimensional uint8 array for the other kinds.
py::array dataset_to_array(const vesk::data_wrappers::v2::DataSetData& data_set);

// The SAM text of a returned read, for reads with an alignment table or
// modified-base probabilities (`wanted`): the SAM lines joined by "\n", or
// why they could not be built.
struct SamRecord {
    bool wanted = false;
    bool built = false;
    std::string text;   // when built
    std::string error;  // when wanted but not built
};
SamRecord build_sam_record(const apps::Read& read);

// Stores the read's SAM text as "alignment_sam_record" in the dict's
// "metadata" when the read has one. Raises what building the text raises.
void add_alignment_sam_record(py::dict& read_dict, const apps::Read& read);

// read_to_dict plus the SAM text built beforehand, for a read a client
// returned. The arrays take over the read's numeric data sets instead of
// copying them, so the read is left without them. Never costs the caller
// the read: a failure is stored under conversion_error_key in the dict's
// "metadata", with everything else that could be converted.
py::dict completed_read_to_dict(apps::Read& read, const SamRecord& sam);

}  // namespace tavrix
