#include "reference_server/alignment/bed_regions.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace reference_server {

namespace {

bool parse_coordinate(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) {
        return false;
    }
    value = std::stoll(text);
    return true;
}

}  // namespace

BedRegions BedRegions::read(std::istream& in) {
    BedRegions bed;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#' || line.rfind("track", first) == first ||
            line.rfind("browser", first) == first) {
            continue;
        }
        std::istringstream fields(line);
        std::string genome;
        std::string start_text;
        std::string end_text;
        fields >> genome >> start_text >> end_text;
        Region region;
        if (!parse_coordinate(start_text, region.start) || !parse_coordinate(end_text, region.end) ||
            region.end < region.start) {
            // The line itself stays out of the message: it goes back to
            // whichever client named the file, which may not be one of ours.
            throw std::runtime_error("BED line " + std::to_string(number) + " is not a region");
        }
        region.order = bed.m_size++;
        region.line = line;
        auto& longest = bed.m_longest[genome];
        longest = std::max(longest, region.end - region.start);
        bed.m_regions[genome].push_back(std::move(region));
    }
    for (auto& [genome, regions] : bed.m_regions) {
        std::stable_sort(regions.begin(), regions.end(),
                         [](const Region& a, const Region& b) { return a.start < b.start; });
    }
    return bed;
}

BedRegions BedRegions::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read the BED file " + path);
    }
    return read(in);
}

std::vector<std::string> BedRegions::hits(const std::string& genome, std::int64_t start, std::int64_t end) const {
    std::vector<std::string> lines;
    const auto regions = m_regions.find(genome);
    if (regions == m_regions.end() || end <= start) {
        return lines;
    }
    const std::vector<Region>& list = regions->second;
    // No region starting before start - longest can reach start.
    const std::int64_t earliest = start - m_longest.at(genome);
    auto it = std::lower_bound(list.begin(), list.end(), earliest,
                               [](const Region& region, std::int64_t at) { return region.start < at; });
    std::vector<const Region*> found;
    for (; it != list.end() && it->start < end; ++it) {
        if (it->end > start) {
            found.push_back(&*it);
        }
    }
    std::sort(found.begin(), found.end(), [](const Region* a, const Region* b) { return a->order < b->order; });
    for (const Region* region : found) {
        lines.push_back(region->line);
    }
    return lines;
}

}  // namespace reference_server
