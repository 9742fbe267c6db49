#pragma once

// Called reads as the client hands them back, built directly so that text
// output can be tested without a server.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/read_model/align_results_table.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/dataset.h"
#include "interfaces/read_metadata.h"

namespace test_support {

namespace dw = vesk::data_wrappers::v2;

// A read named `id` (strand and read id) with text sequence and qstring.
inline common::ReadHolder called_read(const std::string& id, std::string sequence, std::string qstring) {
    common::ReadHolder read;
    read.metadata->read_id = id;
    read.metadata->strand_id = id;
    read.datasets.emplace(dw::sequence, dw::DataSetData(std::move(sequence)));
    read.datasets.emplace(dw::qstring, dw::DataSetData(std::move(qstring)));
    return read;
}

// Adds modified-base probabilities (rows = bases, one column per alphabet
// entry) and the basecall group that describes them.
inline void add_modbase_probs(common::ReadHolder& read, const std::string& alphabet, std::vector<std::uint8_t> probs,
                              std::size_t rows, std::size_t columns, const std::string& context = "") {
    auto& basecall = read.metadata->basecall_data;
    if (!basecall) {
        basecall.emplace();
    }
    basecall->base_mod_alphabet = alphabet;
    basecall->base_mod_context = context;
    read.datasets[dw::base_mod_probs] =
        dw::DataSetData(std::move(probs), dw::VecView2D<std::uint8_t>(nullptr, rows, columns));
}

struct AlignmentRow {
    std::string genome;
    char direction;
    std::int32_t genome_start;
    std::int32_t genome_end;
    std::int32_t bed_hits;
    std::uint8_t is_secondary = 0;
    std::uint8_t is_supplementary = 0;
    float identity = 0.0f;
    std::int32_t mapping_quality = 0;
};

// Stores an alignment table with the given rows plus the server's SAM
// records and BED lines.
inline void add_alignments(common::ReadHolder& read, const std::vector<AlignmentRow>& rows,
                           const std::string& sam_record, const std::string& bed_lines) {
    dw::DataTable table = common::make_align_results_table(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const AlignmentRow& row = rows[i];
        std::memcpy(table.row(i) + table.field_offset("Genome"), row.genome.data(), row.genome.size());
        table.field_view<std::int8_t>("Direction")[i] = static_cast<std::int8_t>(row.direction);
        table.field_view<std::int32_t>("GenomeStart")[i] = row.genome_start;
        table.field_view<std::int32_t>("GenomeEnd")[i] = row.genome_end;
        table.field_view<std::int32_t>("BedHits")[i] = row.bed_hits;
        table.field_view<std::uint8_t>("IsSecondary")[i] = row.is_secondary;
        table.field_view<std::uint8_t>("IsSupplementary")[i] = row.is_supplementary;
        table.field_view<float>("Identity")[i] = row.identity;
        table.field_view<std::int32_t>("MappingQuality")[i] = row.mapping_quality;
    }
    read.datasets[dw::align_results] = dw::DataSetData(std::move(table));
    read.metadata->sam_record = sam_record;
    read.metadata->bed_lines = bed_lines;
}

}  // namespace test_support
