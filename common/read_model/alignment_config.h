#pragma once

// The alignment settings an embedding application may attach to reads
// through their target configurations. The library only asks whether a BED
// file is in use, which decides whether SAM records carry the "bh:i:" tag.

#include <string>

namespace common {

struct AlignmentConfig {
    std::string index_file;
    std::string bed_file;  // empty: no BED file

    bool has_bed_file() const { return !bed_file.empty(); }
};

}  // namespace common
