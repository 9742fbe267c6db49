#pragma once

// Output text of a called read: the FASTQ header line, SAM records with the
// per-read, modified-base (MM/ML/MN) and move-table (mv) tags, and the BED
// lines of each alignment. Also condenses a returned alignment table into
// the read's alignment metadata. Pure functions over one read; nothing is
// remembered between calls.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <apps/client/read.h>

#include "data_wrappers/vec_view.h"

namespace common {

struct ReadHolder;

// Outcome of the tag and line generators: on failure `text` is empty and
// `error` says why.
struct GeneratedText {
    bool success = false;
    std::string text;
    std::string error;
};

using ByteView = vesk::data_wrappers::v2::VecView<const std::uint8_t>;

// The probability threshold (0..256) for a threshold given in percent:
// the integer part of percent / 100 * 256. Negative thresholds select every
// position (0); 100 percent or more selects none (256, above any byte).
// A NaN threshold throws std::runtime_error.
unsigned modbase_threshold_from_percent(float percent);

// MM, ML and MN tags, tab-separated: "MM:Z:...\tML:B:C...\tMN:i:<length>".
// `alphabet` lists the probability columns, canonical bases followed by
// their modification codes ("A a C m"); `context` is empty or four
// ":"-separated motifs for A, C, G and T ("_" for none, "X" marks the
// modified base, e.g. "_:XG:_:_"). `base_flags`, when not null, replaces
// the motif search for the candidate positions of bases with a motif.
// `probabilities` holds sequence length x column count bytes, row per base.
// Bases without a motif are called modified where any of their columns is
// at least `threshold`.
// Throws std::runtime_error for a malformed context or a modification code
// before any canonical base, std::out_of_range for a motif letter outside
// the IUPAC codes; other failures are reported in the result.
GeneratedText generate_modbase_string(std::string_view sequence,
                                      std::string_view alphabet,
                                      std::string_view context,
                                      const std::vector<bool>* base_flags,
                                      ByteView probabilities,
                                      unsigned threshold);

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
std::vector<apps::Read::AlignmentSamLine> sam_and_bed_lines(const ReadHolder& read, float threshold_percent);

// Replaces the read's alignment_data group with a summary of its
// align_results table: the first row's values and counts over all rows.
// A table without rows leaves a default group. Throws std::runtime_error
// when the read has no table.
void update_alignment_metadata(ReadHolder& read);

// Shortest decimal text that reads back as the same float.
std::string float_tag_text(float value);

}  // namespace common
