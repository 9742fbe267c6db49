#include "data_wrappers/data_table.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data_wrappers/data_set_data.h"

using vesk::data_wrappers::v2::DataSetData;
using vesk::data_wrappers::v2::DataTable;
using vesk::data_wrappers::v2::DataType;
using vesk::data_wrappers::v2::FieldInfo;
using vesk::data_wrappers::v2::VecView;
using vesk::data_wrappers::v2::VecView2D;

namespace {

template <class Error, class Action>
void expect_error(Action&& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "expected an error \"" << message << "\"";
    } catch (const Error& error) {
        EXPECT_EQ(error.what(), message);
    }
}

}  // namespace

TEST(DataTableTest, LaysOutFieldsAndPadsRowsOnAllocation) {
    DataTable table;
    table.add_field("Genome", DataType::fixed_string, 253);
    table.add_field("Direction", DataType::int8);
    EXPECT_EQ(table.field_offset("Genome"), 0u);
    EXPECT_EQ(table.field_offset("Direction"), 254u);
    EXPECT_EQ(table.row_size(), 255u);

    table.allocate(2);
    EXPECT_EQ(table.row_size(), 256u);
    EXPECT_EQ(table.num_rows(), 2u);
    ASSERT_NE(table.data(), nullptr);
    const std::vector<std::uint8_t> zeros(512, 0);
    EXPECT_EQ(std::memcmp(table.data(), zeros.data(), zeros.size()), 0);
    EXPECT_EQ(table.field_stride("Genome"), 256u);
    EXPECT_EQ(table.field_stride("Direction"), 256u);
}

TEST(DataTableTest, AlignsEachFieldToItsSize) {
    struct Row {
        DataType type;
        std::uint64_t size;
        std::uint64_t offset;
    };
    // Each field follows a one-byte field, so its offset shows its alignment.
    const Row rows[] = {
        {DataType::int8, 0, 1},    {DataType::uint16, 0, 2},  {DataType::int32, 4, 4},
        {DataType::float32, 0, 4}, {DataType::int64, 0, 8},   {DataType::float64, 8, 8},
        {DataType::uint64, 0, 8},  {DataType::fixed_string, 3, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.type));
        DataTable table;
        table.add_field("lead", DataType::uint8);
        table.add_field("field", row.type, row.size);
        EXPECT_EQ(table.field_offset("field"), row.offset);
        const FieldInfo info = table.field("field");
        EXPECT_EQ(info.size, row.size == 0 ? vesk::data_wrappers::v2::data_type_size(row.type) : row.size);
    }
}

TEST(DataTableTest, RejectsBadFieldsWithoutChangingTheTable) {
    struct Row {
        const char* what;
        DataType type;
        std::uint64_t size;
        const char* message;
    };
    const Row rows[] = {
        {"int32 declared as 8 bytes", DataType::int32, 8, "Specified type size does not match actual type size."},
        {"float64 declared as 4 bytes", DataType::float64, 4, "Specified type size does not match actual type size."},
        {"fixed string without size", DataType::fixed_string, 0, "Must specify a size for string fields."},
        {"whole-text type", DataType::string, 0, "Invalid data type for data table field."},
        {"table type", DataType::table, 8, "Invalid data type for data table field."},
        {"none type", DataType::none, 0, "Invalid data type for data table field."},
        {"negative code", static_cast<DataType>(-1), 1, "Invalid data type for data table field."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DataTable table;
        table.add_field("first", DataType::int16);
        expect_error<std::runtime_error>([&] { table.add_field("bad", row.type, row.size); }, row.message);
        EXPECT_EQ(table.fields().size(), 1u);
        EXPECT_EQ(table.row_size(), 2u);
        EXPECT_FALSE(table.has_field("bad"));
    }

    DataTable table;
    table.add_field("a", DataType::int32, 4);
    table.add_field("b", DataType::int32, 0);
    EXPECT_EQ(table.fields().size(), 2u);
}

TEST(DataTableTest, AddingFieldAfterRowsExistIsRefused) {
    DataTable table;
    table.add_field("a", DataType::int32);
    table.allocate(3);
    expect_error<std::runtime_error>([&] { table.add_field("b", DataType::int32); },
                                     "Cannot add a field to a data table that has rows.");
    EXPECT_EQ(table.row_size(), 8u);
}

TEST(DataTableTest, RepeatedNameFindsNewestField) {
    DataTable table;
    table.add_field("x", DataType::uint8);
    table.add_field("x", DataType::int32);
    EXPECT_EQ(table.fields().size(), 2u);
    EXPECT_EQ(table.field("x").type, DataType::int32);
    EXPECT_EQ(table.field_offset("x"), 4u);
}

TEST(DataTableTest, ColumnViewsStrideOverRows) {
    DataTable table;
    table.add_field("tag", DataType::uint8);
    table.add_field("value", DataType::int32);
    table.add_field("score", DataType::float32);
    table.allocate(3);
    ASSERT_EQ(table.row_size(), 16u);

    auto values = table.field_view<std::int32_t>("value");
    EXPECT_EQ(values.size(), 3u);
    EXPECT_EQ(values.stride(), 4u);
    auto scores = table.field_view<float>("score");
    for (std::size_t i = 0; i < 3; ++i) {
        values[i] = static_cast<std::int32_t>(10 * (i + 1));
        scores[i] = 0.5f * static_cast<float>(i);
    }
    // The column lives at offset 4 of every 16-byte row.
    for (std::uint64_t i = 0; i < 3; ++i) {
        std::int32_t stored = 0;
        std::memcpy(&stored, table.row(i) + 4, sizeof stored);
        EXPECT_EQ(stored, static_cast<std::int32_t>(10 * (i + 1)));
    }
    std::vector<float> read_back;
    for (float score : static_cast<const DataTable&>(table).field_view<float>("score")) {
        read_back.push_back(score);
    }
    EXPECT_EQ(read_back, (std::vector<float>{0.0f, 0.5f, 1.0f}));

    // Only sizes are compared: a float column reads as 32-bit integers, and
    // an int32 column as floats.
    EXPECT_NO_THROW(table.field_view<std::int32_t>("score"));
    EXPECT_NO_THROW(table.field_view<float>("value"));
}

TEST(DataTableTest, ColumnViewFailures) {
    DataTable table;
    table.add_field("value", DataType::int32);
    table.add_field("name", DataType::fixed_string, 7);
    table.allocate(1);
    expect_error<std::runtime_error>([&] { table.field_view<std::uint8_t>("value"); },
                                     "VecView type not compatible with field type.");
    expect_error<std::runtime_error>([&] { table.field_view<std::int64_t>("value"); },
                                     "VecView type not compatible with field type.");
    expect_error<std::out_of_range>([&] { table.field_view<std::int32_t>("missing"); }, "invalid map<K, T> key");
    expect_error<std::out_of_range>([&] { table.field_offset("missing"); }, "invalid map<K, T> key");
    expect_error<std::out_of_range>([&] { table.field_stride("missing"); }, "invalid map<K, T> key");
    EXPECT_EQ(table.field_stride("name"), table.row_size());
    EXPECT_EQ(table.field_stride("value"), table.row_size() / 4);

    // A table without rows gives an empty view, not a failure.
    DataTable empty;
    empty.add_field("value", DataType::int32);
    auto view = empty.field_view<std::int32_t>("value");
    EXPECT_TRUE(view.empty());
}

TEST(VecViewTest, RefusesZeroStrideAndNullWithElements) {
    std::int16_t values[4] = {1, 2, 3, 4};
    expect_error<std::runtime_error>([&] { VecView<std::int16_t>(values, 4, 0); }, "Stride cannot be zero.");
    expect_error<std::runtime_error>([&] { VecView<std::int16_t>(nullptr, 1); },
                                     "Cannot view nullptr with size > 0");
    EXPECT_NO_THROW(VecView<std::int16_t>(nullptr, 0));

    VecView<std::int16_t> every_second(values, 2, 2);
    EXPECT_EQ(every_second[0], 1);
    EXPECT_EQ(every_second[1], 3);
    VecView<const std::int16_t> read_only = every_second;
    EXPECT_EQ(read_only[1], 3);
}

TEST(VecViewTest, TwoDimensionalStrides) {
    std::uint8_t cells[6] = {0, 1, 2, 3, 4, 5};
    VecView2D<std::uint8_t> matrix(cells, 2, 3);
    EXPECT_EQ(matrix.row_stride(), 3u);
    EXPECT_EQ(matrix.column_stride(), 1u);
    EXPECT_EQ(matrix(1, 2), 5);
    EXPECT_EQ(matrix(1, 0), 3);

    VecView2D<std::uint8_t> no_columns(cells, 4, 0);
    EXPECT_EQ(no_columns.row_stride(), 1u);
    EXPECT_EQ(no_columns.column_stride(), 1u);
}

TEST(DataTableTest, RebuildsFromTableDataSet) {
    DataTable source;
    source.add_field("name", DataType::fixed_string, 5);
    source.add_field("value", DataType::int64);
    source.allocate(2);
    std::memcpy(source.row(1), "abcde", 5);
    source.field_view<std::int64_t>("value")[1] = -7;

    const DataSetData data_set(std::move(source));
    const DataTable copy(data_set);
    EXPECT_EQ(copy.fields(), data_set.fields());
    EXPECT_EQ(copy.num_rows(), 2u);
    EXPECT_EQ(copy.row_size(), 16u);
    EXPECT_EQ(copy.field_view<std::int64_t>("value")[1], -7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.row(1))), "abcde");
    // The copy has its own rows.
    EXPECT_NE(static_cast<const void*>(copy.data()), data_set.data());

    expect_error<std::runtime_error>([] { DataTable(DataSetData(std::string("text"))); },
                                     "Invalid array type requested.");
}
