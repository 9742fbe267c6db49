#pragma once

// The modified-base tags of a called read: MM (which positions carry each
// modification), ML (their probabilities) and MN (the sequence length they
// were counted over).

#include <string>
#include <string_view>
#include <vector>

#include "common/read_model/tag_text.h"

namespace common {

struct ReadHolder;

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

// The read's MM/ML/MN tags from its base_mod_probs data set and basecall
// group; empty when it has no probabilities. Throws std::runtime_error
// "generate_modbase_string failed: ..." when they cannot be written.
std::string modified_base_tags(const ReadHolder& read, unsigned threshold);

}  // namespace common
