#pragma once

// The alignment indices and BED files a reference server really loads: a
// LOAD_INDEX or LOAD_BED naming a file that exists is loaded from it (an
// index from a FASTA or a minimap2 index file, built with the request's
// aligner options, on a thread of its own), while names of files that do
// not exist are left to the settings, which describe simulated ones.
//
// Loads are keyed like the server state's: the normal path, and for an
// index its aligner options too, since they may change the index (-k, -w).
// A client that connects naming a loaded index (and BED file) gets a
// ReadAligner for its results.
//
// In a build without the minimap2 library no index is loaded here; BED
// files still are.
//
// Server thread only (the load threads are its own).

#include <memory>
#include <optional>
#include <string>

#include "reference_server/aligner.h"
#include "reference_server/background_loads.h"
#include "reference_server/bed_regions.h"
#include "reference_server/read_aligner.h"
#include "reference_server/server_state.h"

namespace reference_server {

struct AlignmentLoadReply {
    LoadOutcome outcome = LoadOutcome::loading;
    // Why, for invalid_options (minimap2's message) and unknown (the load failed).
    std::string text;
};

class AlignmentService {
public:
    // Nothing when there is no such file: the settings decide.
    std::optional<AlignmentLoadReply> load_index(const std::string& path, const std::string& aligner_options);
    std::optional<AlignmentLoadReply> load_bed(const std::string& path);

    // The SAM header of an index load_index reported loaded; empty otherwise.
    std::string index_header(const std::string& path, const std::string& aligner_options) const;

    // minimap2's complaint about aligner options, when it has one.
    static std::optional<std::string> options_error(const std::string& aligner_options);

    // The alignment step for a client that connected with these files; null
    // when its index is not one loaded here.
    std::shared_ptr<const ReadAligner> aligner_for(const ConnectRequest& request) const;

private:
    BackgroundLoads<Aligner> m_indices;  // by normal path and options joined by '\n'
    BackgroundLoads<BedRegions> m_beds;  // by normal path
};

}  // namespace reference_server
