#include "reference_server/alignment/read_aligner.h"

#include <utility>

#include "reference_server/alignment/aligner.h"
#include "reference_server/alignment/bed_regions.h"

namespace reference_server {

std::string unmapped_sam_record(const std::string& name, const std::string& sequence, const std::string& qstring) {
    return name + "\t4\t*\t0\t0\t*\t*\t0\t0\t" + sequence + "\t" + (qstring.empty() ? std::string("*") : qstring);
}

ReadAligner::ReadAligner(std::shared_ptr<const Aligner> aligner, std::shared_ptr<const BedRegions> bed)
    : m_aligner(std::move(aligner)), m_bed(std::move(bed)) {}

void ReadAligner::align(CalledResult& result) const {
    if (result.sequence.empty()) {
        return;
    }
    const std::string name =
        result.duplex_strands ? result.duplex_strands->first + ";" + result.duplex_strands->second : result.strand_id;
    // A quality string of another length than the bases would make a broken record.
    const std::string& qstring = result.qstring.size() == result.sequence.size() ? result.qstring : std::string();
    std::vector<AlignmentHit> hits = m_aligner->align(name, result.sequence, qstring);
    if (hits.empty()) {
        AlignmentHit unmapped;
        unmapped.genome = "*";
        unmapped.direction = '*';
        unmapped.num_events = static_cast<std::int32_t>(result.sequence.size());
        unmapped.sam_record = unmapped_sam_record(name, result.sequence, qstring);
        hits.push_back(std::move(unmapped));
    } else if (m_bed) {
        for (AlignmentHit& hit : hits) {
            const std::vector<std::string> lines = m_bed->hits(hit.genome, hit.genome_start, hit.genome_end);
            hit.bed_hits = static_cast<std::int32_t>(lines.size());
            for (const std::string& line : lines) {
                if (!hit.bed_lines.empty()) {
                    hit.bed_lines += '\n';
                }
                hit.bed_lines += line;
            }
        }
    }
    for (AlignmentHit& hit : hits) {
        result.alignments.push_back(std::move(hit));
    }
}

void ReadAligner::align(std::vector<CalledResult>& results) const {
    for (CalledResult& result : results) {
        align(result);
    }
}

}  // namespace reference_server
