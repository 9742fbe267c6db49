#pragma once

// The data sets a read can carry, and the map that holds them.

#include <cstdint>
#include <map>

#include "data_wrappers/data_set_data.h"

namespace vesk::data_wrappers::v2 {

// The underlying type is fixed so that public headers can declare the
// enumeration without including this one.
enum dataset : std::int32_t {
    raw_data = 0,        // int16 samples, one-dimensional
    sequence = 1,        // text
    qstring = 2,         // text, one quality character per base
    movement = 3,        // uint8, one-dimensional
    base_mod_probs = 4,  // uint8, bases x channels
    align_results = 5,   // alignment result table
};

using DatasetMap = std::map<dataset, DataSetData>;

}  // namespace vesk::data_wrappers::v2
