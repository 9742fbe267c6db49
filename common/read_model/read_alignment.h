#pragma once

// Output text of a called read, for callers that use all of it: the
// modified-base tags, the SAM and FASTQ text, the server's per-alignment
// records with their BED lines, and the alignment summary.

#include "common/read_model/aligned_lines.h"
#include "common/read_model/alignment_summary.h"
#include "common/read_model/modified_base_tags.h"
#include "common/read_model/read_text.h"
