#include "reference_server/alignment_service.h"

#include <filesystem>
#include <system_error>

namespace reference_server {

namespace {

bool is_file(const std::string& path) {
    std::error_code ignored;
    return !path.empty() && std::filesystem::is_regular_file(path, ignored);
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

std::optional<std::string> AlignmentService::options_error(const std::string& aligner_options) {
    try {
        Aligner::check_options(aligner_options);
    } catch (const AlignerOptionsError& error) {
        return std::string(error.what());
    }
    return std::nullopt;
}

std::optional<AlignmentLoadReply> AlignmentService::load_index(const std::string& path,
                                                               const std::string& aligner_options) {
    if (!Aligner::available() || !is_file(path)) {
        return std::nullopt;
    }
    if (auto error = options_error(aligner_options)) {
        return AlignmentLoadReply{LoadOutcome::invalid_options, std::move(*error)};
    }
    const auto status = m_indices.poll(index_key(path, aligner_options), [path, aligner_options] {
        return std::make_shared<const Aligner>(path, aligner_options);
    });
    return reply_of<Aligner>(status);
}

std::optional<AlignmentLoadReply> AlignmentService::load_bed(const std::string& path) {
    if (!is_file(path)) {
        return std::nullopt;
    }
    const auto status =
        m_beds.poll(normal_path(path), [path] { return std::make_shared<const BedRegions>(BedRegions::load(path)); });
    return reply_of<BedRegions>(status);
}

std::string AlignmentService::index_header(const std::string& path, const std::string& aligner_options) const {
    const auto aligner = m_indices.find(index_key(path, aligner_options));
    return aligner ? aligner->sam_header() : std::string();
}

std::shared_ptr<const ReadAligner> AlignmentService::aligner_for(const ConnectRequest& request) const {
    if (request.align_ref.empty()) {
        return nullptr;
    }
    auto aligner = m_indices.find(index_key(request.align_ref, request.minimap_opt_string));
    if (!aligner) {
        return nullptr;
    }
    auto bed = request.bed_file.empty() ? nullptr : m_beds.find(normal_path(request.bed_file));
    return std::make_shared<const ReadAligner>(std::move(aligner), std::move(bed));
}

}  // namespace reference_server
