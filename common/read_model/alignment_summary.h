#pragma once

// The alignment_data group of a called read, condensed from its
// align_results table when the read comes back from the server.

namespace common {

struct ReadHolder;

// Replaces the read's alignment_data group with a summary of its
// align_results table: the first row's values and counts over all rows.
// A table without rows leaves a default group. Throws std::runtime_error
// when the read has no table.
void update_alignment_metadata(ReadHolder& read);

}  // namespace common
