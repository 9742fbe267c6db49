#include "reference_server/alignment/alignment_service.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "reference_server/settings/server_files.h"

namespace reference_server {

namespace {

// How long a failed load is answered again before it is tried anew (at
// once when the file changes, which changes its key).
constexpr std::chrono::seconds failure_memory(10);

// Nothing when the path names nothing (the settings may describe it).
std::optional<std::filesystem::file_status> status_of(const std::string& path) {
    std::error_code ignored;
    const auto status = std::filesystem::status(path, ignored);
    if (path.empty() || !std::filesystem::exists(status)) {
        return std::nullopt;
    }
    return status;
}

AlignmentLoadReply not_a_file(const std::filesystem::file_status& status) {
    return {LoadOutcome::unknown,
            std::filesystem::is_directory(status) ? "it is a folder" : "it is not a regular file"};
}

template <typename T>
AlignmentLoadReply reply_of(const typename BackgroundLoads<T>::Status& status) {
    switch (status.state) {
    case BackgroundLoadState::loading:
        return {LoadOutcome::loading, {}};
    case BackgroundLoadState::loaded:
        return {LoadOutcome::loaded, {}};
    case BackgroundLoadState::failed:
        break;
    }
    return {LoadOutcome::unknown, status.error};
}

}  // namespace

AlignmentService::AlignmentService(const ServerSettings& settings, std::shared_ptr<ServerState> state)
    : m_state(std::move(state)),
      m_data_root(settings.data_root),
      m_indices({settings.max_loaded_indices, settings.max_index_loads, failure_memory}),
      m_beds({max_loaded_bed_files, settings.max_index_loads, failure_memory}) {}

std::optional<std::string> AlignmentService::options_error(const std::string& aligner_options) {
    try {
        Aligner::check_options(aligner_options);
    } catch (const AlignerOptionsError& error) {
        return std::string(error.what());
    }
    return std::nullopt;
}

bool AlignmentService::may_read(const std::string& path) const { return is_under_data_root(m_data_root, path); }

std::optional<AlignmentLoadReply> AlignmentService::load_index(const std::string& path,
                                                               const std::string& aligner_options) {
    if (!Aligner::available()) {
        return std::nullopt;
    }
    const auto status_on_disk = status_of(path);
    if (!status_on_disk) {
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(*status_on_disk)) {
        return not_a_file(*status_on_disk);
    }
    if (auto error = options_error(aligner_options)) {
        return AlignmentLoadReply{LoadOutcome::invalid_options, std::move(*error)};
    }
    std::string key;
    try {
        key = AlignmentIndex::key(path, aligner_options);
    } catch (const std::runtime_error& error) {
        return AlignmentLoadReply{LoadOutcome::unknown, error.what()};
    }
    const auto status = m_indices.poll(
        key, [path, aligner_options] { return std::make_shared<const AlignmentIndex>(path, aligner_options); });
    forget_indices(status.unloaded);
    if (status.state == BackgroundLoadState::loaded) {
        remember_request(path, aligner_options, key, status.value);
    }
    return reply_of<AlignmentIndex>(status);
}

std::optional<AlignmentLoadReply> AlignmentService::load_bed(const std::string& path) {
    const auto status_on_disk = status_of(path);
    if (!status_on_disk) {
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(*status_on_disk)) {
        return not_a_file(*status_on_disk);
    }
    std::string key;
    try {
        key = file_identity(path);
    } catch (const std::runtime_error& error) {
        return AlignmentLoadReply{LoadOutcome::unknown, error.what()};
    }
    const auto status = m_beds.poll(key, [path] { return std::make_shared<const BedRegions>(BedRegions::load(path)); });
    for (const std::string& unloaded : status.unloaded) {
        std::erase_if(m_bed_keys, [&](const auto& bed) { return bed.second == unloaded; });
    }
    if (status.state == BackgroundLoadState::loaded) {
        m_bed_keys[normal_path(path)] = key;
    }
    return reply_of<BedRegions>(status);
}

void AlignmentService::remember_request(const std::string& path,
                                        const std::string& aligner_options,
                                        const std::string& index_key,
                                        std::shared_ptr<const AlignmentIndex> index) {
    const std::string request_key = reference_server::index_key(path, aligner_options);
    IndexRequest& request = m_index_requests[request_key];
    bool changed = false;
    if (request.index_key != index_key || !request.aligner) {
        // Mapping options are read once per option text: an aligner
        // computes its occurrence threshold from the whole index.
        request.index_key = index_key;
        request.aligner = std::make_shared<const Aligner>(std::move(index), aligner_options);
        changed = true;
    }
    request.last_used = ++m_use_count;
    if (std::find(request.names.begin(), request.names.end(), path) == request.names.end()) {
        request.names.push_back(path);
        if (request.names.size() > max_names_per_request) {
            request.names.pop_front();
        }
        changed = true;
    }
    // A client writing ever new option texts for one index keeps only the
    // latest few.
    std::vector<std::map<std::string, IndexRequest>::iterator> same_index;
    for (auto other = m_index_requests.begin(); other != m_index_requests.end(); ++other) {
        if (other->second.index_key == index_key) {
            same_index.push_back(other);
        }
    }
    if (same_index.size() > max_requests_per_index) {
        const auto oldest = *std::min_element(same_index.begin(), same_index.end(), [](auto a, auto b) {
            return a->second.last_used < b->second.last_used;
        });
        m_index_requests.erase(oldest);
        changed = true;
    }
    if (changed) {
        publish_indices();
    }
}

void AlignmentService::forget_indices(const std::vector<std::string>& index_keys) {
    if (index_keys.empty()) {
        return;
    }
    std::erase_if(m_index_requests, [&](const auto& request) {
        return std::find(index_keys.begin(), index_keys.end(), request.second.index_key) != index_keys.end();
    });
    publish_indices();
}

void AlignmentService::publish_indices() {
    std::vector<IndexHeaderEntry> headers;
    for (const auto& [request_key, request] : m_index_requests) {
        for (const std::string& name : request.names) {
            headers.push_back({name, request.aligner->sam_header()});
        }
    }
    m_state->set_disk_index_headers(std::move(headers));
}

bool AlignmentService::holds_index(const ConnectRequest& request) const {
    return !request.align_ref.empty() &&
           m_index_requests.count(index_key(request.align_ref, request.minimap_opt_string)) != 0;
}

bool AlignmentService::holds_bed(const std::string& path) const {
    return !path.empty() && m_bed_keys.count(normal_path(path)) != 0;
}

std::shared_ptr<const ReadAligner> AlignmentService::aligner_for(const ConnectRequest& request) {
    if (request.align_ref.empty()) {
        return nullptr;
    }
    const auto found = m_index_requests.find(index_key(request.align_ref, request.minimap_opt_string));
    if (found == m_index_requests.end()) {
        return nullptr;
    }
    // A connection is a use: it keeps the index from being the first to go.
    m_indices.find(found->second.index_key);
    std::shared_ptr<const BedRegions> bed;
    if (const auto bed_key = m_bed_keys.find(normal_path(request.bed_file));
        !request.bed_file.empty() && bed_key != m_bed_keys.end()) {
        bed = m_beds.find(bed_key->second);
    }
    return std::make_shared<const ReadAligner>(found->second.aligner, std::move(bed));
}

std::size_t AlignmentService::unload_index(const std::string& path) {
    std::vector<std::string> keys;
    const std::string normal = normal_path(path);
    for (const auto& [request_key, request] : m_index_requests) {
        if (request_key.compare(0, normal.size() + 1, normal + '\n') == 0) {
            keys.push_back(request.index_key);
        }
    }
    const auto unloaded =
        m_indices.unload([&](const std::string& key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); });
    forget_indices(unloaded);
    return unloaded.size();
}

}  // namespace reference_server
