#pragma once

// The basecall result of one read (or of one piece of a read the server
// split), and the replies that carry it back to a client:
//
//   RETURN_FIRST_CALLED_BLOCK, then RETURN_NEXT_CALLED_BLOCK for each further
//   block of a long result, answering GET_FIRST_CALLED_BLOCK and then
//   GET_NEXT_CALLED_BLOCK;
//   RETURN_COMPLETED_BATCH holding the first block of several results.
//
// A result is split by bases: every block carries its own stretch of the
// sequence, quality string, probabilities and context mask, and an equal
// share of the moves. The whole-read values (lengths, scores, metadata)
// travel with the first block only, which is all the client reads of them.
//
// Pure functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"

namespace reference_server {

struct ScalingResult {
    float median = 0.0f;
    float med_abs_dev = 0.0f;
    std::optional<std::string> version;
};

struct BaseModResult {
    std::string alphabet;  // channels separated by blanks
    std::string long_names;
    std::string context;
};

struct BarcodeEnd {
    float score = 0.0f;
    std::int32_t index = 0;
    std::int32_t foundseq_length = 0;
};

struct BarcodeResult {
    std::string arrangement;
    std::string kit;
    std::string variant;
    float score = 0.0f;
    std::optional<BarcodeEnd> front;
    std::optional<BarcodeEnd> rear;
};

struct BarcodeTrimResult {
    std::int32_t trim_front = 0;
    std::int32_t trim_rear = 0;
};

struct PolyTailResult {
    std::int32_t length = 0;
    std::int64_t anchor = 0;
    std::int64_t start_1 = 0;
    std::int64_t end_1 = 0;
    std::int64_t start_2 = 0;
    std::int64_t end_2 = 0;
};

struct AlignmentHit {
    std::string genome;
    std::int32_t genome_start = 0;
    std::int32_t genome_end = 0;
    std::int32_t strand_start = 0;
    std::int32_t strand_end = 0;
    std::int32_t num_events = 0;
    std::int32_t num_insertions = 0;
    std::int32_t num_deletions = 0;
    std::int32_t num_aligned = 0;
    std::int32_t num_correct = 0;
    float coverage = 0.0f;
    float identity = 0.0f;
    float accuracy = 0.0f;
    std::int32_t strand_score = 0;
    std::string sam_record;
    std::int32_t bed_hits = 0;
    std::string bed_lines;
    char direction = '+';
    std::int32_t mapping_quality = 0;
    bool is_secondary = false;
    bool is_supplementary = false;
};

struct CalledResult {
    // Which read this is: the tags the client sent, sub_tag non-zero for a
    // piece of a split read.
    std::uint32_t read_tag = 0;
    std::uint32_t sub_tag = 0;
    std::string strand_id;
    std::uint32_t duration = 0;  // samples the result covers
    std::uint64_t start_time = 0;
    std::uint64_t num_keldrow_events = 0;
    std::optional<std::int32_t> split_point;
    std::optional<std::pair<std::string, std::string>> duplex_strands;
    bool is_duplex_parent = false;

    std::string sequence;
    std::string qstring;
    std::optional<std::vector<std::uint8_t>> moves;  // absent when the client asked for none
    float mean_qscore = 0.0f;
    float median = 0.0f;
    float med_abs_dev = 0.0f;
    std::uint32_t model_stride = 5;
    std::uint32_t trimmed_samples = 0;
    std::string model_version_id;
    std::string modbase_model_version_id;
    std::int32_t strand_orientation_code = 0;
    std::optional<std::string> umi_tag_sequence;
    std::optional<ScalingResult> scaling;
    std::optional<BaseModResult> base_mod;
    // Bases x channels, row after row; sent with base_mod only.
    std::vector<std::uint8_t> base_mod_probs;
    std::optional<std::vector<bool>> base_mod_context_mask;  // one flag per base
    std::optional<BarcodeResult> barcode;
    std::optional<BarcodeTrimResult> barcode_trim;
    std::vector<AlignmentHit> alignments;
    std::optional<PolyTailResult> poly_tail;
};

// About the bytes a result holds (its texts, moves, probabilities and
// alignments), for the byte budget of its client.
std::size_t held_bytes(const CalledResult& result);

// The blocks of a result with at most max_bases_per_block bases each (at
// least 1; a result without bases is one block): the first a
// RETURN_FIRST_CALLED_BLOCK, the others RETURN_NEXT_CALLED_BLOCK, all
// carrying client_id.
std::vector<ipc_tools::Message> make_called_block_replies(const CalledResult& result,
                                                          const std::string& client_id,
                                                          std::uint32_t max_bases_per_block);

struct CompletedBatchReply {
    ipc_tools::Message batch;  // RETURN_COMPLETED_BATCH
    // Per result, in order: the RETURN_NEXT_CALLED_BLOCK replies that
    // continue its block in the batch (empty for a result in one block).
    std::vector<std::vector<ipc_tools::Message>> continuations;
};

// One RETURN_COMPLETED_BATCH holding the first block of every result.
CompletedBatchReply make_completed_batch_reply(const std::vector<CalledResult>& results,
                                               const std::string& client_id,
                                               std::uint32_t max_bases_per_block);

// The same batch marked with another kind: READ_BATCH makes the malformed
// reply of a fault, which classifies as PASS_READ_BATCH.
CompletedBatchReply make_completed_batch_reply(const std::vector<CalledResult>& results,
                                               const std::string& client_id,
                                               std::uint32_t max_bases_per_block,
                                               ipc_tools::wire::BatchKind kind);

}  // namespace reference_server
