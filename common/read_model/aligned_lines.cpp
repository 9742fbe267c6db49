#include "common/read_model/aligned_lines.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/read_model/align_results_table.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/data_table.h"
#include "interfaces/read_metadata.h"

namespace common {

namespace {

namespace dw = vesk::data_wrappers::v2;

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (text.empty()) {
        return lines;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return lines;
        }
        start = end + 1;
    }
}

// The server's records, one per row of the alignment table, each with as
// many BED lines as that row's BedHits.
std::vector<interfaces::AlignmentSamLine> alignment_sam_lines(const ReadHolder& read, const dw::DataSetData& results) {
    const dw::DataTable table(results);
    const auto bed_hits = table.field_view<const std::int32_t>(align_results_field(AlignResultsColumn::bed_hits).name);
    const interfaces::ReadMetadata& metadata = metadata_of(read);
    const std::vector<std::string_view> sam_records = split_lines(metadata.sam_record);
    const std::vector<std::string_view> bed_lines = split_lines(metadata.bed_lines);

    std::vector<interfaces::AlignmentSamLine> lines;
    lines.reserve(bed_hits.size());
    std::size_t next_bed_line = 0;
    for (std::size_t row = 0; row < bed_hits.size(); ++row) {
        // Server text that does not cover its own table is malformed; say
        // so rather than write records that lose alignments.
        if (row >= sam_records.size()) {
            throw std::runtime_error("Read " + metadata.read_id + " has " + std::to_string(bed_hits.size()) +
                                     " alignments but only " + std::to_string(sam_records.size()) +
                                     " SAM records.");
        }
        interfaces::AlignmentSamLine line;
        line.sam_line = std::string(sam_records[row]);
        const std::size_t hits = bed_hits[row] > 0 ? static_cast<std::size_t>(bed_hits[row]) : 0;
        if (hits > bed_lines.size() - next_bed_line) {
            throw std::runtime_error("Read " + metadata.read_id + " reports more BED hits than BED lines.");
        }
        line.bed_lines.reserve(hits);
        for (std::size_t k = 0; k < hits; ++k) {
            line.bed_lines.emplace_back(bed_lines[next_bed_line++]);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace

std::vector<interfaces::AlignmentSamLine> aligned_lines(const ReadHolder& read) {
    const dw::DataSetData* results = find_dataset(read, dw::align_results);
    if (results == nullptr) {
        return {};
    }
    std::vector<interfaces::AlignmentSamLine> lines = alignment_sam_lines(read, *results);
    if (lines.empty()) {
        return lines;
    }
    const std::string& first = lines.front().sam_line;
    std::size_t tabs = 0;
    std::size_t reference_start = 0;
    std::size_t reference_end = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (first[i] != '\t') {
            continue;
        }
        ++tabs;
        if (tabs == 2) {
            reference_start = i + 1;
        } else if (tabs == 3) {
            reference_end = i;
        }
    }
    if (tabs < 10) {
        throw std::runtime_error("Malformed alignment SAM line: \n" + first);
    }
    if (std::string_view(first).substr(reference_start, reference_end - reference_start) == "*") {
        lines.clear();
    }
    return lines;
}

}  // namespace common
