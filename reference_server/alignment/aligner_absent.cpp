// The aligner of a server built without the minimap2 library: nothing loads,
// so every index the settings do not describe stays unknown.

#include "reference_server/alignment/aligner.h"

#include <iterator>
#include <sstream>

namespace reference_server {

struct AlignmentIndex::State {};
struct Aligner::State {};

std::vector<std::string> Aligner::split_options(const std::string& options) {
    std::istringstream in(options);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

void Aligner::check_options(const std::string&) {}

bool Aligner::available() { return false; }

std::string AlignmentIndex::key(const std::string& path, const std::string&) { return path; }

AlignmentIndex::AlignmentIndex(const std::string& path, const std::string&) {
    throw std::runtime_error("this server was built without alignment and cannot load " + path);
}

AlignmentIndex::~AlignmentIndex() = default;

Aligner::Aligner(std::shared_ptr<const AlignmentIndex> index, const std::string&) : m_index(std::move(index)) {}

Aligner::Aligner(const std::string& index_path, const std::string& options)
    : Aligner(std::make_shared<const AlignmentIndex>(index_path, options), options) {}

Aligner::~Aligner() = default;

std::vector<AlignmentHit> Aligner::align(const std::string&, const std::string&, const std::string&) const {
    return {};
}

}  // namespace reference_server
