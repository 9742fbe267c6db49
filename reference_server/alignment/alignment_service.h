#pragma once

// The alignment indices and BED files a reference server really loads: a
// LOAD_INDEX or LOAD_BED naming a file that exists is loaded from it (an
// index from a FASTA or a minimap2 index file, built with the request's
// aligner options, on a thread of its own), while names of files that do
// not exist are left to the settings, which describe simulated ones.
//
// An index is kept by what it is made of (AlignmentIndex::key: the file's
// identity and the indexing options), so option texts that build the same
// index ("-a", "-a -a", "-t 1") and links to one file share one copy.
// What a client loaded is remembered by the path as it wrote it and the
// option text it gave, which CONNECT and GET_INDICES name: each such
// request holds an aligner on a kept index. Indices and BED files are
// background loads (background_loads.h): a few load at once, a few are
// kept, the least recently used one is unloaded to make room, a failure
// is answered again for a while instead of loading again, and a load's
// thread is joined when it ends. The service tells the server state which
// indices it holds, for GET_INDICES and the internal state.
//
// In a build without the minimap2 library no index is loaded here; BED
// files still are.
//
// Server thread only (the load threads are its own).

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "reference_server/alignment/aligner.h"
#include "reference_server/alignment/background_loads.h"
#include "reference_server/alignment/bed_regions.h"
#include "reference_server/alignment/read_aligner.h"
#include "reference_server/settings/server_state.h"

namespace reference_server {

struct AlignmentLoadReply {
    LoadOutcome outcome = LoadOutcome::loading;
    // Why, for invalid_options (minimap2's message) and unknown (the load failed).
    std::string text;
};

class AlignmentService {
public:
    // BED files kept loaded, a fixed number: they are small beside indices.
    static constexpr std::size_t max_loaded_bed_files = 16;
    // Option texts and path spellings remembered per kept index.
    static constexpr std::size_t max_requests_per_index = 16;
    static constexpr std::size_t max_names_per_request = 8;

    // Limits from the settings; the state learns which indices are held.
    AlignmentService(const ServerSettings& settings, std::shared_ptr<ServerState> state);

    // Nothing when there is no such file: the settings decide. A path that
    // is there but no regular file is refused.
    std::optional<AlignmentLoadReply> load_index(const std::string& path, const std::string& aligner_options);
    std::optional<AlignmentLoadReply> load_bed(const std::string& path);

    // Whether a file may be read for a client: the data root, when one is
    // set, holds it.
    bool may_read(const std::string& path) const;

    // minimap2's complaint about aligner options, when it has one.
    static std::optional<std::string> options_error(const std::string& aligner_options);

    // Whether a client connecting with these files has them loaded here
    // (rather than among the simulated ones of the settings).
    bool holds_index(const ConnectRequest& request) const;
    bool holds_bed(const std::string& path) const;

    // The alignment step for a client that connected with these files; null
    // when its index is not one loaded here.
    std::shared_ptr<const ReadAligner> aligner_for(const ConnectRequest& request);

    // Unloads every index loaded from the file at `path`, whatever the
    // options; returns how many indices went.
    std::size_t unload_index(const std::string& path);

    // Indices held, and loads (of indices and BED files) whose threads run.
    std::size_t loaded_indices() const { return m_indices.loaded(); }
    std::size_t running_loads() const { return m_indices.running() + m_beds.running(); }

private:
    // A LOAD_INDEX that succeeded: a normal path and an option text.
    struct IndexRequest {
        std::string index_key;  // of the kept index
        std::shared_ptr<const Aligner> aligner;
        std::deque<std::string> names;  // the path as clients wrote it, latest last
        std::uint64_t last_used = 0;
    };

    // Forgets the requests of unloaded indices and tells the state.
    void forget_indices(const std::vector<std::string>& index_keys);
    void remember_request(const std::string& path,
                          const std::string& aligner_options,
                          const std::string& index_key,
                          std::shared_ptr<const AlignmentIndex> index);
    void publish_indices();

    std::shared_ptr<ServerState> m_state;
    const std::string m_data_root;
    BackgroundLoads<AlignmentIndex> m_indices;  // by AlignmentIndex::key
    BackgroundLoads<BedRegions> m_beds;         // by file identity
    std::map<std::string, IndexRequest> m_index_requests;  // by index_key(path, options)
    std::map<std::string, std::string> m_bed_keys;         // normal path -> key of its load
    std::uint64_t m_use_count = 0;
};

}  // namespace reference_server
