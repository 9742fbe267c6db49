#pragma once

// The alignment step of the reference server's data plane: the called
// results of a client that connected with an alignment index get the
// alignments of their sequences, and with a BED file the regions each
// alignment hits.
//
// Per result with bases, in the order the aligner gives them (primary
// first): one AlignmentHit with its genuine SAM record, or for a sequence
// that maps nowhere one unmapped hit (genome "*", an unmapped SAM record),
// so that every aligned read says where it went. Per hit, bed_hits counts
// the BED regions it overlaps and bed_lines holds their lines, joined by
// "\n". A result's SAM records name it by its strand id (both strand ids,
// joined by ';', for a duplex result).
//
// Immutable; align() may be called from any thread.

#include <memory>
#include <vector>

#include "reference_server/data_plane/called_result.h"
#include "reference_server/data_plane/result_aligner.h"

namespace reference_server {

class Aligner;
class BedRegions;

class ReadAligner final : public ResultAligner {
public:
    // `bed` may be null: then no hit counts regions.
    ReadAligner(std::shared_ptr<const Aligner> aligner, std::shared_ptr<const BedRegions> bed);

    void align(CalledResult& result) const;
    void align(std::vector<CalledResult>& results) const override;

private:
    std::shared_ptr<const Aligner> m_aligner;
    std::shared_ptr<const BedRegions> m_bed;
};

// The SAM record of a sequence that maps nowhere.
std::string unmapped_sam_record(const std::string& name, const std::string& sequence, const std::string& qstring);

}  // namespace reference_server
