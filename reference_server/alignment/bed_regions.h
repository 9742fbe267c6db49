#pragma once

// The regions of a BED file, for counting the regions an alignment hits.
//
// A line is "chrom<TAB>start<TAB>end[<TAB>more columns]" with 0-based,
// end-exclusive coordinates; blank lines, "#" comments and "track" or
// "browser" lines are skipped. Columns may also be separated by blanks. A
// region is hit by an alignment on the same sequence that shares at least
// one base with it; the hits are the region lines as the file gives them.
//
// Immutable once built; any thread.

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace reference_server {

class BedRegions {
public:
    // Throws std::runtime_error naming the line's number, never its text,
    // for a line that is not a region.
    static BedRegions read(std::istream& in);
    // Throws std::runtime_error when the file cannot be read or holds a bad line.
    static BedRegions load(const std::string& path);

    // The lines of the regions on `genome` that [start, end) overlaps, in file order.
    std::vector<std::string> hits(const std::string& genome, std::int64_t start, std::int64_t end) const;

    std::size_t size() const { return m_size; }

private:
    struct Region {
        std::int64_t start = 0;
        std::int64_t end = 0;
        std::size_t order = 0;  // line order in the file
        std::string line;
    };

    // By genome, each list sorted by start; m_longest bounds the search back.
    std::map<std::string, std::vector<Region>> m_regions;
    std::map<std::string, std::int64_t> m_longest;
    std::size_t m_size = 0;
};

}  // namespace reference_server
