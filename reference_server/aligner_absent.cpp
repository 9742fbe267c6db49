// The aligner of a server built without the minimap2 library: nothing loads,
// so every index the settings do not describe stays unknown.

#include "reference_server/aligner.h"

#include <iterator>
#include <sstream>

namespace reference_server {

struct Aligner::State {};

std::vector<std::string> Aligner::split_options(const std::string& options) {
    std::istringstream in(options);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

void Aligner::check_options(const std::string&) {}

bool Aligner::available() { return false; }

Aligner::Aligner(const std::string& index_path, const std::string&) {
    throw std::runtime_error("this server was built without alignment and cannot load " + index_path);
}

Aligner::~Aligner() = default;

std::vector<AlignmentHit> Aligner::align(const std::string&, const std::string&, const std::string&) const {
    return {};
}

}  // namespace reference_server
