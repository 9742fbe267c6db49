#include "common/read_model/alignment_summary.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "common/read_model/align_results_table.h"
#include "common/runtime/contract.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/data_table.h"
#include "interfaces/read_metadata.h"

namespace common {

namespace dw = vesk::data_wrappers::v2;

void update_alignment_metadata(ReadHolder& read) {
    const dw::DataSetData* results = find_dataset(read, dw::align_results);
    if (results == nullptr) {
        throw std::runtime_error("Could not find align results in read holder");
    }
    QOR_EXPECTS(read.metadata != nullptr, "Read record has no metadata: it was passed to a client");
    const dw::DataTable table(*results);
    interfaces::ReadMetadata& metadata = *read.metadata;
    auto& summary = metadata.alignment_data.emplace();
    if (table.num_rows() == 0) {
        return;
    }

    using Column = AlignResultsColumn;
    const auto int_column = [&table](Column column) {
        return table.field_view<const std::int32_t>(align_results_field(column).name);
    };
    const auto first_int = [&](Column column) { return int_column(column)[0]; };
    const auto first_float = [&table](Column column) {
        return table.field_view<const float>(align_results_field(column).name)[0];
    };
    const auto flag_column = [&table](Column column) {
        return table.field_view<const std::uint8_t>(align_results_field(column).name);
    };

    const dw::FieldInfo& genome = table.field(align_results_field(Column::genome).name);
    const char* genome_text = reinterpret_cast<const char*>(table.row(0) + genome.offset);
    summary.genome.assign(genome_text, strnlen(genome_text, static_cast<std::size_t>(genome.size)));
    summary.direction.assign(
        1, static_cast<char>(table.field_view<const std::int8_t>(align_results_field(Column::direction).name)[0]));
    summary.genome_start = first_int(Column::genome_start);
    summary.genome_end = first_int(Column::genome_end);
    summary.strand_start = first_int(Column::strand_start);
    summary.strand_end = first_int(Column::strand_end);
    summary.num_events = first_int(Column::num_events);
    summary.num_insertions = first_int(Column::num_insertions);
    summary.num_deletions = first_int(Column::num_deletions);
    summary.num_aligned = first_int(Column::num_aligned);
    summary.num_correct = first_int(Column::num_correct);
    summary.coverage = first_float(Column::coverage);
    summary.identity = first_float(Column::identity);
    summary.accuracy = first_float(Column::accuracy);
    summary.strand_score = first_int(Column::strand_score);
    summary.mapping_quality = first_int(Column::mapping_quality);
    summary.bed_hits = first_int(Column::bed_hits);

    const auto genome_starts = int_column(Column::genome_start);
    const auto secondary = flag_column(Column::is_secondary);
    const auto supplementary = flag_column(Column::is_supplementary);
    summary.num_alignments = static_cast<std::int32_t>(
        std::count_if(genome_starts.begin(), genome_starts.end(), [](std::int32_t start) { return start != 0; }));
    summary.num_secondary_alignments = static_cast<std::int32_t>(
        std::count_if(secondary.begin(), secondary.end(), [](std::uint8_t flag) { return flag != 0; }));
    summary.num_supplementary_alignments = static_cast<std::int32_t>(
        std::count_if(supplementary.begin(), supplementary.end(), [](std::uint8_t flag) { return flag != 0; }));
}

}  // namespace common
