#pragma once

// The SAM records and BED lines the server wrote for an aligned read,
// shared out per alignment: each row of the align_results table takes the
// next SAM record and as many BED lines as its BedHits.

#include <vector>

#include <interfaces/alignment_sam_line.h>

namespace common {

struct ReadHolder;

// One entry per alignment, in table order; empty when the read has no
// table or the server reported it unaligned ("*" as the first record's
// reference name). Throws std::runtime_error "Malformed alignment SAM line:
// \n" + line when the first record has fewer than eleven columns, and when
// the texts do not cover the table.
std::vector<interfaces::AlignmentSamLine> aligned_lines(const ReadHolder& read);

}  // namespace common
