#pragma once

// Output text of a called read, for callers that use all of it: the
// modified-base tags, the SAM and FASTQ text, the server's per-alignment
// records with their BED lines, and the alignment summary.

#include "common/aligned_lines.h"
#include "common/alignment_summary.h"
#include "common/modified_base_tags.h"
#include "common/read_text.h"
