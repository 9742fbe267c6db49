#pragma once

// One SAM record of a called read and the BED lines of its alignment: the
// text a read handle gives (apps::Read::AlignmentSamLine), and what the
// library's SAM text functions build.

#include <string>
#include <vector>

namespace interfaces {

struct AlignmentSamLine {
    std::string sam_line;                // tab-separated, no line terminator
    std::vector<std::string> bed_lines;  // in order, no line terminators
};

}  // namespace interfaces
