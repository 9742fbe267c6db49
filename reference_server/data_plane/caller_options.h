#pragma once

// What the data plane calls a completed read with: the options its client's
// configuration and CONNECT parameters give, and the basecaller itself,
// which the server is given (the stand-in caller of model/basecaller.h, or
// a test's own).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "reference_server/data_plane/called_result.h"
#include "reference_server/data_plane/read_assembler.h"
#include "reference_server/settings/server_settings.h"

namespace reference_server {

struct CallerOptions {
    // From the configuration and the CONNECT parameters.
    bool moves = false;
    bool modified_bases = false;            // base-mod probabilities for the motif C in CG
    std::vector<std::string> barcode_kits;  // from CONNECT barcode_kits
    bool estimate_poly_a = false;
    bool duplex = false;  // duplex configuration
    std::uint32_t stride = 5;

    bool split_reads = true;  // false: a gap is skipped and the read stays whole
    // A read splits into this many pieces at most; the rest of the read,
    // gaps and all, is the last piece.
    std::uint32_t max_pieces = 256;
    bool rna = false;         // call U instead of T
    std::string model_version_id;
    std::string modbase_model_version_id;
    // Definitions of the kits barcode_kits may name, from the settings;
    // empty means the built-in kits of default_settings().
    std::vector<BarcodeKitSetting> kit_definitions;
    // Reads with fewer samples after trimming come back without bases.
    std::uint32_t min_samples = 0;
};

// The basecaller the data plane calls each completed read with: all results
// for the read, pieces of a split read first, then the parent.
using CallRead = std::function<std::vector<CalledResult>(const ReceivedRead&, const CallerOptions&)>;

}  // namespace reference_server
