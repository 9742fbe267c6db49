#pragma once

// Layout of the align_results data set: one 320-byte row per alignment of
// a read. The Python module and every reader of the table rely on the row
// size and offsets, so they are checked at compile time against the same
// layout rules DataTable applies.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "data_wrappers/data_table.h"
#include "data_wrappers/data_type.h"

namespace common {

struct AlignResultsField {
    std::string_view name;
    vesk::data_wrappers::v2::DataType type;
    std::uint64_t size;
};

// Reference names longer than this do not fit the Genome field.
inline constexpr std::uint64_t align_results_genome_capacity = 253;
inline constexpr std::uint64_t align_results_max_genome_length = align_results_genome_capacity - 1;

inline constexpr std::array<AlignResultsField, 19> align_results_fields = {{
    {"Genome", vesk::data_wrappers::v2::DataType::fixed_string, align_results_genome_capacity},
    {"Direction", vesk::data_wrappers::v2::DataType::int8, 1},
    {"GenomeStart", vesk::data_wrappers::v2::DataType::int32, 4},
    {"GenomeEnd", vesk::data_wrappers::v2::DataType::int32, 4},
    {"StrandStart", vesk::data_wrappers::v2::DataType::int32, 4},
    {"StrandEnd", vesk::data_wrappers::v2::DataType::int32, 4},
    {"NumEvents", vesk::data_wrappers::v2::DataType::int32, 4},
    {"NumInsertions", vesk::data_wrappers::v2::DataType::int32, 4},
    {"NumDeletions", vesk::data_wrappers::v2::DataType::int32, 4},
    {"NumAligned", vesk::data_wrappers::v2::DataType::int32, 4},
    {"NumCorrect", vesk::data_wrappers::v2::DataType::int32, 4},
    {"Coverage", vesk::data_wrappers::v2::DataType::float32, 4},
    {"Identity", vesk::data_wrappers::v2::DataType::float32, 4},
    {"Accuracy", vesk::data_wrappers::v2::DataType::float32, 4},
    {"StrandScore", vesk::data_wrappers::v2::DataType::int32, 4},
    {"BedHits", vesk::data_wrappers::v2::DataType::int32, 4},
    {"MappingQuality", vesk::data_wrappers::v2::DataType::int32, 4},
    {"IsSecondary", vesk::data_wrappers::v2::DataType::uint8, 1},
    {"IsSupplementary", vesk::data_wrappers::v2::DataType::uint8, 1},
}};

struct AlignResultsLayout {
    std::array<std::uint64_t, align_results_fields.size()> offsets{};
    std::uint64_t row_size = 0;            // after the last field
    std::uint64_t allocated_row_size = 0;  // padded, as stored
};

constexpr AlignResultsLayout align_results_layout() noexcept {
    using namespace vesk::data_wrappers::v2;
    AlignResultsLayout layout;
    for (std::size_t i = 0; i < align_results_fields.size(); ++i) {
        const AlignResultsField& field = align_results_fields[i];
        layout.offsets[i] = round_up(layout.row_size, field_alignment(field.type, field.size));
        layout.row_size = layout.offsets[i] + field_footprint(field.type, field.size);
    }
    layout.allocated_row_size = allocated_row_size(layout.row_size);
    return layout;
}

inline constexpr AlignResultsLayout align_results_row = align_results_layout();

// The columns of align_results_fields, in the same order: address the
// table by these, never by bare numbers.
enum class AlignResultsColumn : std::size_t {
    genome,
    direction,
    genome_start,
    genome_end,
    strand_start,
    strand_end,
    num_events,
    num_insertions,
    num_deletions,
    num_aligned,
    num_correct,
    coverage,
    identity,
    accuracy,
    strand_score,
    bed_hits,
    mapping_quality,
    is_secondary,
    is_supplementary,
    count
};

constexpr const AlignResultsField& align_results_field(AlignResultsColumn column) noexcept {
    return align_results_fields[static_cast<std::size_t>(column)];
}

constexpr std::uint64_t align_results_offset(AlignResultsColumn column) noexcept {
    return align_results_row.offsets[static_cast<std::size_t>(column)];
}

static_assert(align_results_row.row_size == 318);
static_assert(align_results_row.allocated_row_size == 320);
static_assert(align_results_row.offsets ==
              std::array<std::uint64_t, 19>{0, 254, 256, 260, 264, 268, 272, 276, 280, 284, 288, 292, 296, 300, 304,
                                            308, 312, 316, 317});
static_assert(static_cast<std::size_t>(AlignResultsColumn::count) == align_results_fields.size());
static_assert(align_results_field(AlignResultsColumn::genome).name == "Genome");
static_assert(align_results_field(AlignResultsColumn::direction).name == "Direction");
static_assert(align_results_field(AlignResultsColumn::genome_start).name == "GenomeStart");
static_assert(align_results_field(AlignResultsColumn::genome_end).name == "GenomeEnd");
static_assert(align_results_field(AlignResultsColumn::strand_start).name == "StrandStart");
static_assert(align_results_field(AlignResultsColumn::strand_end).name == "StrandEnd");
static_assert(align_results_field(AlignResultsColumn::num_events).name == "NumEvents");
static_assert(align_results_field(AlignResultsColumn::num_insertions).name == "NumInsertions");
static_assert(align_results_field(AlignResultsColumn::num_deletions).name == "NumDeletions");
static_assert(align_results_field(AlignResultsColumn::num_aligned).name == "NumAligned");
static_assert(align_results_field(AlignResultsColumn::num_correct).name == "NumCorrect");
static_assert(align_results_field(AlignResultsColumn::coverage).name == "Coverage");
static_assert(align_results_field(AlignResultsColumn::identity).name == "Identity");
static_assert(align_results_field(AlignResultsColumn::accuracy).name == "Accuracy");
static_assert(align_results_field(AlignResultsColumn::strand_score).name == "StrandScore");
static_assert(align_results_field(AlignResultsColumn::bed_hits).name == "BedHits");
static_assert(align_results_field(AlignResultsColumn::mapping_quality).name == "MappingQuality");
static_assert(align_results_field(AlignResultsColumn::is_secondary).name == "IsSecondary");
static_assert(align_results_field(AlignResultsColumn::is_supplementary).name == "IsSupplementary");

// An empty alignment table with num_rows zeroed rows.
vesk::data_wrappers::v2::DataTable make_align_results_table(std::uint64_t num_rows);

}  // namespace common
