#pragma once

// The reference server's stand-in basecaller: it inverts the signal model
// (signal_model.h), so the sequence it calls from a simulated signal is the
// sequence the signal was made from.
//
// Calling a read: the open-pore lead-in is trimmed (trimmed_samples); then
// each window of `stride` samples is read back into the level nearest its
// first sample (the model's noise never takes a sample nearer another level,
// so one sample per window is enough and the work is per window). A start
// level begins a base (move 1), a stay level extends the base before it
// (move 0). A base's quality comes from the mean distance d of its windows'
// first samples to their level: q = 50 - round(0.9 d), at least 1. Median and
// median absolute deviation are those of the trimmed samples (at most
// max_scaling_samples evenly spaced ones of a longer read).
//
// Optional results, each switched by CallerOptions:
// - split reads: an open-pore run inside the signal ends a piece (up to
//   max_pieces; later gaps stay inside the last one). A read of
//   several pieces gives one result per piece (sub_tag 1, 2, ...; a strand id
//   of its own; split_point = its first sample in the read; its own duration
//   and trimmed samples), then the parent (sub_tag 0), which carries the
//   whole call: the pieces' bases, with a 0 move for each whole window of a
//   gap.
// - duplex: in a duplex configuration, a read of two pieces whose second
//   piece is the reverse complement of the first, and that came with its
//   pairing information, is a template and its complement: both pieces are
//   marked duplex parents, and a duplex result (sub_tag 3, strand pair =
//   the pieces' strand ids, the template's bases, the better quality of the
//   two strands per base) follows them, before the parent.
// - modified bases: 5mC probabilities for C in CG, alphabet "C m", context
//   "_:XG:_:_", with the per-base context mask; the probability of each
//   candidate is a hash of the read id and the position.
// - barcodes: the start of the sequence is matched against the barcodes of
//   the kits named (barcode_sequence() below; both ends for a both-ends
//   kit); an unmatched read is "unclassified".
// - poly tail: a run of at least min_poly_tail A at the end of the sequence
//   (strand +) or T at its start (strand -), in sample positions.
//
// Linear in the windows; no allocation per sample. Pure function; any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "reference_server/data_plane/called_result.h"
#include "reference_server/data_plane/caller_options.h"
#include "reference_server/data_plane/read_assembler.h"

namespace reference_server {

constexpr std::size_t barcode_length = 24;
// Scaling is estimated from this many evenly spaced samples at most: enough
// for a median and a spread, and a small part of calling a short read.
constexpr std::size_t max_scaling_samples = 1000;
constexpr std::size_t min_poly_tail = 10;
constexpr std::uint32_t duplex_sub_tag = 3;

// All results for one received read: pieces of a split read first (own
// strand ids, sub_tag != 0), then the parent; usually one result.
std::vector<CalledResult> call_read(const ReceivedRead& read, const CallerOptions& options);

// A result of `read` before anything is called: its tags, strand id,
// timing and split point, and the model's stride and version ids.
CalledResult uncalled_result(const ReceivedRead& read, const CallerOptions& options);

// The barcode of an index (1-based): barcode_length bases, the same in every
// kit, drawn from a stream seeded by the index.
std::string barcode_sequence(std::int32_t index);

// The strand id of piece `piece` (1-based) of a split read: a UUID-shaped
// text derived from the parent's read id.
std::string piece_strand_id(const std::string& read_id, std::uint32_t piece);

}  // namespace reference_server
