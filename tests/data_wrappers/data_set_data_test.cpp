#include "data_wrappers/data_set_data.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>


using vesk::data_wrappers::v2::DataSetData;
using vesk::data_wrappers::v2::DataTable;
using vesk::data_wrappers::v2::DataType;
using vesk::data_wrappers::v2::VecView2D;

namespace {

template <class Action>
void expect_runtime_error(Action&& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "expected an error \"" << message << "\"";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), message);
    }
}

void expect_reset(const DataSetData& data_set) {
    EXPECT_EQ(data_set.type(), DataType::none);
    EXPECT_EQ(data_set.count(), 0u);
    EXPECT_EQ(data_set.element_size(), 0u);
    EXPECT_EQ(data_set.shape()[0], 0u);
    EXPECT_EQ(data_set.shape()[1], 0u);
    EXPECT_TRUE(data_set.fields().empty());
    EXPECT_EQ(data_set.data(), nullptr);
    EXPECT_FALSE(data_set.owns_data());
    EXPECT_TRUE(data_set.attributes().empty());
}

DataTable two_row_table() {
    DataTable table;
    table.add_field("Genome", DataType::fixed_string, 9);
    table.add_field("Start", DataType::int32);
    table.allocate(2);
    table.field_view<std::int32_t>("Start")[1] = 42;
    return table;
}

}  // namespace

TEST(DataSetDataTest, DefaultIsEmptyNone) {
    expect_reset(DataSetData());
}

TEST(DataSetDataTest, TextDataSetCountsTerminator) {
    const DataSetData text(std::string("ACGT"));
    EXPECT_EQ(text.type(), DataType::string);
    EXPECT_EQ(text.element_size(), 5u);
    EXPECT_EQ(text.count(), 1u);
    EXPECT_EQ(text.string_value(), "ACGT");
    EXPECT_EQ(text.data(), static_cast<const void*>(text.string_value().data()));
}

TEST(DataSetDataTest, ConstructorsDescribeTheirData) {
    std::vector<std::int16_t> samples = {5, -6, 7};
    const void* sample_storage = samples.data();
    const DataSetData signal(std::move(samples));
    EXPECT_EQ(signal.type(), DataType::int16);
    EXPECT_EQ(signal.element_size(), 2u);
    EXPECT_EQ(signal.count(), 3u);
    // The vector's storage moved in, it was not copied.
    EXPECT_EQ(signal.data(), sample_storage);
    auto view = signal.view<std::int16_t>();
    EXPECT_EQ(view.size(), 3u);
    EXPECT_EQ(view.stride(), 1u);
    EXPECT_EQ(view[1], -6);

    const DataSetData moves(std::vector<std::uint8_t>{1, 0, 1, 1});
    EXPECT_EQ(moves.type(), DataType::uint8);
    EXPECT_EQ(moves.element_size(), 1u);
    EXPECT_EQ(moves.count(), 4u);
    EXPECT_EQ(moves.shape()[0], 0u);

    const DataSetData probabilities(std::vector<std::uint8_t>(15, 9), VecView2D<std::uint8_t>(nullptr, 5, 3));
    EXPECT_EQ(probabilities.type(), DataType::uint8);
    EXPECT_EQ(probabilities.count(), 15u);
    EXPECT_EQ(probabilities.shape()[0], 5u);
    EXPECT_EQ(probabilities.shape()[1], 3u);

    const DataSetData table(two_row_table());
    EXPECT_EQ(table.type(), DataType::table);
    EXPECT_EQ(table.element_size(), 16u);
    EXPECT_EQ(table.count(), 2u);
    ASSERT_EQ(table.fields().size(), 2u);
    EXPECT_EQ(table.fields()[1].name, "Start");
    EXPECT_EQ(table.fields()[1].offset, 12u);
}

TEST(DataSetDataTest, ShapeMustCoverTheBytesExactly) {
    expect_runtime_error([] { DataSetData(std::vector<std::uint8_t>(14), VecView2D<std::uint8_t>(nullptr, 5, 3)); },
                         "Data set shape does not match its data size.");
    expect_runtime_error([] { DataSetData(std::vector<std::uint8_t>(16), VecView2D<std::uint8_t>(nullptr, 5, 3)); },
                         "Data set shape does not match its data size.");
}

TEST(DataSetDataTest, AccessFailures) {
    const DataSetData bytes(std::vector<std::uint8_t>{1, 2});
    const DataSetData none;
    const DataSetData text(std::string("AC"));
    const DataSetData table(two_row_table());
    expect_runtime_error([&] { bytes.view<std::int16_t>(); }, "Invalid array type requested.");
    expect_runtime_error([&] { bytes.view<std::int8_t>(); }, "Invalid array type requested.");
    expect_runtime_error([&] { none.view<std::int16_t>(); }, "Invalid array type requested.");
    expect_runtime_error([&] { table.view<std::uint8_t>(); }, "Invalid array type requested.");
    expect_runtime_error([&] { text.view<std::uint8_t>(); }, "Invalid array type requested.");
    expect_runtime_error([&] { bytes.string_value(); }, "Data does not view string data.");
    expect_runtime_error([&] { none.string_value(); }, "Data does not view string data.");

    // An empty vector data set views as empty even though it has no buffer.
    const DataSetData empty_bytes{std::vector<std::uint8_t>{}};
    EXPECT_TRUE(empty_bytes.view<std::uint8_t>().empty());
}

TEST(DataSetDataTest, MoveLeavesSourceReset) {
    DataSetData source(std::string("ACGT"));
    source.attributes().set<bool>("flag", true);
    DataSetData moved(std::move(source));
    expect_reset(source);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.string_value(), "ACGT");
    EXPECT_TRUE(moved.attributes().has("flag"));

    DataSetData target(std::vector<std::uint8_t>{1});
    target = std::move(moved);
    expect_reset(moved);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(target.string_value(), "ACGT");

    target.reset();
    expect_reset(target);
}

// Text is held inside the data set, and short text inside the string object
// itself: wherever a data set goes, its data must point at its own text.
TEST(DataSetDataTest, TextDataFollowsItsDataSet) {
    using Step = DataSetData (*)(DataSetData&);
    const Step steps[] = {
        [](DataSetData& from) { return DataSetData(std::move(from)); },
        [](DataSetData& from) {
            DataSetData to(std::string(40, 'T'));
            to = std::move(from);
            return to;
        },
        [](DataSetData& from) { return DataSetData(from); },
        [](DataSetData& from) {
            DataSetData to(std::vector<std::uint8_t>{1});
            to = from;
            return to;
        },
    };
    for (const std::string& text : {std::string(), std::string("AC"), std::string(700, 'G')}) {
        for (std::size_t step = 0; step < std::size(steps); ++step) {
            SCOPED_TRACE("step " + std::to_string(step) + ", " + std::to_string(text.size()) + " characters");
            auto source = std::make_unique<DataSetData>(std::string(text));
            const DataSetData arrived = steps[step](*source);
            source.reset();
            EXPECT_EQ(arrived.element_size(), text.size() + 1);
            ASSERT_EQ(arrived.data(), static_cast<const void*>(arrived.string_value().data()));
            EXPECT_EQ(std::string(static_cast<const char*>(arrived.data()), text.size()), text);
        }
    }
}

TEST(DataSetDataTest, CopiesOwnClonedStorage) {
    DataSetData text(std::string("ACGT"));
    text.attributes().set<std::int32_t>("n", 1);
    DataSetData text_copy(text);
    EXPECT_EQ(text_copy.string_value(), "ACGT");
    EXPECT_NE(&text_copy.string_value(), &text.string_value());
    EXPECT_EQ(text_copy.data(), static_cast<const void*>(text_copy.string_value().data()));
    EXPECT_TRUE(text_copy.attributes().has("n"));
    text.reset();
    EXPECT_EQ(text_copy.string_value(), "ACGT");

    DataSetData probabilities(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}, VecView2D<std::uint8_t>(nullptr, 2, 3));
    DataSetData probabilities_copy;
    probabilities_copy = probabilities;
    EXPECT_NE(probabilities_copy.data(), probabilities.data());
    probabilities.view<std::uint8_t>()[0] = 99;
    EXPECT_EQ(probabilities_copy.view<std::uint8_t>()[0], 1);
    EXPECT_EQ(probabilities_copy.shape()[0], 2u);
    EXPECT_EQ(probabilities_copy.shape()[1], 3u);

    const DataSetData table(two_row_table());
    const DataSetData table_copy(table);
    EXPECT_NE(table_copy.data(), table.data());
    EXPECT_EQ(DataTable(table_copy).field_view<std::int32_t>("Start")[1], 42);
    EXPECT_EQ(table_copy.fields(), table.fields());

    DataSetData self(std::vector<std::uint8_t>{7});
    auto& alias = self;
    self = alias;
    EXPECT_EQ(self.view<std::uint8_t>()[0], 7);

    const DataSetData empty;
    const DataSetData empty_copy(empty);
    expect_reset(empty_copy);
}

TEST(DataSetDataTest, CopiedValuesLiveInTheirOwnStorage) {
    std::vector<std::int16_t> samples = {5, -6, 7, -32768, 32767};
    DataSetData signal = DataSetData::copy_of(samples.data(), samples.size());
    samples[0] = 0;
    EXPECT_EQ(signal.type(), DataType::int16);
    EXPECT_EQ(signal.element_size(), 2u);
    EXPECT_EQ(signal.count(), 5u);
    EXPECT_TRUE(signal.owns_data());
    EXPECT_EQ(signal.shape()[0], 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(signal.data()) % alignof(std::max_align_t), 0u);
    EXPECT_EQ(signal.view<std::int16_t>()[0], 5);
    EXPECT_EQ(signal.view<std::int16_t>()[4], 32767);

    // A copy clones the storage; the source can then go.
    auto source = std::make_unique<DataSetData>(std::move(signal));
    const DataSetData copy(*source);
    EXPECT_NE(copy.data(), source->data());
    source->view<std::int16_t>()[1] = 1;
    source.reset();
    EXPECT_EQ(copy.view<std::int16_t>()[1], -6);
    EXPECT_EQ(copy.view<std::int16_t>()[3], -32768);

    const std::uint8_t bytes[] = {1, 0, 1};
    const DataSetData moves = DataSetData::copy_of(bytes, 3);
    EXPECT_EQ(moves.type(), DataType::uint8);
    EXPECT_EQ(moves.view<std::uint8_t>()[2], 1);

    const DataSetData none = DataSetData::copy_of<std::int16_t>(nullptr, 0);
    EXPECT_EQ(none.count(), 0u);
    EXPECT_TRUE(none.owns_data());
    EXPECT_EQ(DataSetData(none).count(), 0u);
}
