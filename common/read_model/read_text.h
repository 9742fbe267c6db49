#pragma once

// The text an application writes for a called read: its FASTQ header line
// and its SAM records, each record with the BED lines of its alignment.
// The first record carries the modified-base, move-table and per-read tags
// derived from the metadata. Pure functions over one read.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <interfaces/alignment_sam_line.h>

#include "common/read_model/tag_text.h"

namespace common {

struct ReadHolder;

// "mv:B:c,<stride>,..." with move values above 127 written as runs of 127
// plus the remainder. Fails for an empty move table.
GeneratedText generate_move_table_string(ByteView moves, std::int8_t stride);

// The eleven columns of an unmapped SAM record, "*" standing for an empty
// sequence or quality string.
GeneratedText make_unmapped_sam_line(std::string_view read_name,
                                     std::string_view sequence,
                                     std::string_view qstring);

// The FASTQ header line of a called read: "@" + strand id, the per-read
// tags, the read-group tags and, when asked for and the read has moves, the
// move-table tag. No terminator. Throws std::runtime_error for malformed
// read data.
std::string fastq_header_line(const ReadHolder& read, bool include_move_table);

// One entry per SAM record: the read's alignments with their BED lines, or
// one unmapped record when it has none (or the server reported it
// unaligned). The first record gets the modified-base, move-table and
// per-read tags. `threshold_percent` as modbase_threshold_from_percent.
// Throws std::runtime_error for malformed read data.
std::vector<interfaces::AlignmentSamLine> sam_and_bed_lines(const ReadHolder& read, float threshold_percent);

// Shortest decimal text that reads back as the same float.
std::string float_tag_text(float value);

}  // namespace common
