#include "common/read_model/align_results_table.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "data_wrappers/data_set_data.h"

using vesk::data_wrappers::v2::DataType;

TEST(AlignResultsTableTest, RowIs320BytesWithTheFixedOffsets) {
    struct Row {
        const char* name;
        DataType type;
        std::uint64_t size;
        std::uint64_t offset;
    };
    const Row rows[] = {
        {"Genome", DataType::fixed_string, 253, 0},  {"Direction", DataType::int8, 1, 254},
        {"GenomeStart", DataType::int32, 4, 256},    {"GenomeEnd", DataType::int32, 4, 260},
        {"StrandStart", DataType::int32, 4, 264},    {"StrandEnd", DataType::int32, 4, 268},
        {"NumEvents", DataType::int32, 4, 272},      {"NumInsertions", DataType::int32, 4, 276},
        {"NumDeletions", DataType::int32, 4, 280},   {"NumAligned", DataType::int32, 4, 284},
        {"NumCorrect", DataType::int32, 4, 288},     {"Coverage", DataType::float32, 4, 292},
        {"Identity", DataType::float32, 4, 296},     {"Accuracy", DataType::float32, 4, 300},
        {"StrandScore", DataType::int32, 4, 304},    {"BedHits", DataType::int32, 4, 308},
        {"MappingQuality", DataType::int32, 4, 312}, {"IsSecondary", DataType::uint8, 1, 316},
        {"IsSupplementary", DataType::uint8, 1, 317},
    };

    auto table = common::make_align_results_table(3);
    EXPECT_EQ(table.row_size(), 320u);
    EXPECT_EQ(table.num_rows(), 3u);
    ASSERT_EQ(table.fields().size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        const auto& field = table.fields()[i];
        EXPECT_EQ(field.name, rows[i].name);
        EXPECT_EQ(field.type, rows[i].type);
        EXPECT_EQ(field.size, rows[i].size);
        EXPECT_EQ(field.offset, rows[i].offset);
    }

    // Columns of the stored rows read back through their views.
    table.field_view<std::int32_t>("GenomeStart")[2] = 1234;
    table.field_view<std::uint8_t>("IsSupplementary")[1] = 1;
    const vesk::data_wrappers::v2::DataSetData data_set(std::move(table));
    EXPECT_EQ(data_set.element_size(), 320u);
    EXPECT_EQ(data_set.count(), 3u);
    const vesk::data_wrappers::v2::DataTable copy(data_set);
    EXPECT_EQ(copy.field_view<std::int32_t>("GenomeStart")[2], 1234);
    EXPECT_EQ(copy.field_view<std::uint8_t>("IsSupplementary")[1], 1);
    EXPECT_EQ(copy.field_view<std::uint8_t>("IsSupplementary")[0], 0);

    EXPECT_EQ(common::make_align_results_table(0).row_size(), 320u);
}
