#pragma once

// Real alignment for the reference server, by the minimap2 library: an index
// loaded from a minimap2 index file or built from a FASTA file, aligner
// options given as minimap2's own command-line options, and for each called
// read its alignments with the SAM records minimap2 writes (CIGAR, MAPQ, NM,
// secondary and supplementary alignments).
//
// Options (the text of minimap_opt_string, split at blanks): -x PRESET,
// -k, -w, -H, -I (indexing; a prebuilt index keeps its own), -f, -g, -G,
// -F, -r, -n, -m, -N, -p, -M, -A, -B, -O, -E, -z, -s, -Y, -L, and
// --secondary=yes|no, --MD, --cs[=short|long], --eqx; -a, -c and -t are
// accepted and change nothing (records are always SAM with CIGAR; one thread
// per call). Anything else is refused with minimap2's message, as in
// "[ERROR] unknown option in \"-Z\"".
//
// Construction loads the index (slow for a large FASTA); align() may then be
// called from any thread, each call with a buffer of its own.
//
// A server built without the minimap2 library links a stand-in whose
// available() is false and whose constructor throws.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference_server/called_result.h"

namespace reference_server {

// Aligner options minimap2 refuses; what() is the message it gives.
class AlignerOptionsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Aligner {
public:
    // Throws AlignerOptionsError for refused options and std::runtime_error
    // for an index that cannot be read.
    Aligner(const std::string& index_path, const std::string& options);
    ~Aligner();
    Aligner(const Aligner&) = delete;
    Aligner& operator=(const Aligner&) = delete;

    // @SQ lines of the index's sequences and a @PG line for the aligner.
    const std::string& sam_header() const { return m_sam_header; }

    // The alignments of a read named `name`, primary first as minimap2
    // orders them; none when it does not map. qstring may be empty (the SAM
    // records then carry "*"), else it must be as long as the sequence.
    // Per hit: genome and genome_start/end (0-based, end exclusive),
    // strand_start/end on the read, num_events = read length,
    // num_aligned = alignment block length, num_correct = matching bases,
    // identity = num_correct / num_aligned, coverage = aligned share of the
    // read, accuracy = num_correct / aligned read bases, strand_score = DP
    // score, mapping_quality = MAPQ.
    std::vector<AlignmentHit> align(const std::string& name,
                                    const std::string& sequence,
                                    const std::string& qstring) const;

    // Splits an option text at blanks into minimap2's argument list.
    static std::vector<std::string> split_options(const std::string& options);

    // Throws AlignerOptionsError as the constructor would for these options.
    static void check_options(const std::string& options);

    // Whether this build aligns at all.
    static bool available();

private:
    struct State;
    std::unique_ptr<State> m_state;
    std::string m_sam_header;
};

}  // namespace reference_server
