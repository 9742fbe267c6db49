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

namespace common {

// Outcome of the tag and line generators: on failure `text` is empty and
// `error` says why.
struct GeneratedText {
    bool success = false;
    std::string text;
    std::string error;
};

// Borrowed strided run of bytes: element i is data[i * stride].
struct ByteView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t stride = 1;

    std::uint8_t operator[](std::size_t index) const { return data[index * stride]; }
};

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

// Shortest decimal text that reads back as the same float.
std::string float_tag_text(float value);

}  // namespace common
