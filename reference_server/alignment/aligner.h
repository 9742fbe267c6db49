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
// An AlignmentIndex is loaded once (slow for a large FASTA) and shared by
// the aligners of every option text that builds the same index; align()
// may then be called from any thread, each call with a buffer of its own.
//
// A server built without the minimap2 library links a stand-in whose
// available() is false and whose constructors throw.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference_server/data_plane/called_result.h"

namespace reference_server {

// Aligner options minimap2 refuses; what() is the message it gives.
class AlignerOptionsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An index loaded from a minimap2 index file or built from a FASTA or FASTQ
// file (plain or gzip-compressed) with the indexing options of an option
// text. Its sequences are checked as SAM headers and clients need them:
// each has bases and a name of 1 to 252 printable characters, no two of
// one name. Immutable once loaded; any thread.
class AlignmentIndex {
public:
    // Throws AlignerOptionsError for refused options and std::runtime_error,
    // saying what is wrong, for a file that cannot be made an index.
    AlignmentIndex(const std::string& path, const std::string& options);
    ~AlignmentIndex();
    AlignmentIndex(const AlignmentIndex&) = delete;
    AlignmentIndex& operator=(const AlignmentIndex&) = delete;

    // What an index of this file with these options depends on: the file's
    // identity (device, inode, size, modification and change times) and,
    // unless it is an index minimap2 wrote (which keeps its own), the
    // indexing options. Option texts of one key build the same index, and
    // a changed file makes another key. Throws as the constructor does for
    // options, and std::runtime_error when the file cannot be examined.
    static std::string key(const std::string& path, const std::string& options);

    // @SQ lines of the index's sequences and a @PG line for the aligner.
    const std::string& sam_header() const { return m_sam_header; }

private:
    friend class Aligner;
    struct State;
    std::unique_ptr<State> m_state;
    std::string m_sam_header;
};

class Aligner {
public:
    // The mapping options of `options` on a loaded index. Throws
    // AlignerOptionsError for refused options.
    Aligner(std::shared_ptr<const AlignmentIndex> index, const std::string& options);
    // Loads an index of its own, as AlignmentIndex does.
    Aligner(const std::string& index_path, const std::string& options);
    ~Aligner();
    Aligner(const Aligner&) = delete;
    Aligner& operator=(const Aligner&) = delete;

    const std::string& sam_header() const { return m_index->sam_header(); }

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
    std::shared_ptr<const AlignmentIndex> m_index;
    std::unique_ptr<State> m_state;
};

}  // namespace reference_server
