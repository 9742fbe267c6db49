#include <apps/client/corvane.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/dataset.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using apps::Read;
using Priority = apps::Read::Priority;

void give_raw_data_and_id(Read& read, const std::string& id) {
    read.get_datasets().emplace(dw::raw_data, dw::DataSetData(std::vector<std::int16_t>{1, 2, 3}));
    ASSERT_TRUE(read.get_metadata().set<std::string>("read_data::read_id", id));
}

TEST(ReadTest, NewHandleOwnsADefaultRecord) {
    const Read read;
    EXPECT_EQ(read.get_read_tag(), 0u);
    EXPECT_EQ(read.get_sub_tag(), 0u);
    EXPECT_EQ(read.get_priority(), Priority::MEDIUM_PRIORITY);
    EXPECT_EQ(read.get_metadata().get<std::string>("read_data::read_id"), nullptr);
    EXPECT_TRUE(read.get_datasets().empty());
    EXPECT_FALSE(read.has_alignment_data());
}

TEST(ReadTest, PriorityStoresOnlyKnownValues) {
    struct Row {
        std::int32_t set;
        Priority expected;
    };
    // Each row starts from LOW_PRIORITY so that "unchanged" is visible.
    const Row rows[] = {{0, Priority::HIGH_PRIORITY},
                        {1, Priority::MEDIUM_PRIORITY},
                        {2, Priority::LOW_PRIORITY},
                        {-1, Priority::MEDIUM_PRIORITY},
                        {3, Priority::LOW_PRIORITY},
                        {-7, Priority::LOW_PRIORITY}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.set);
        Read read;
        read.set_priority(Priority::LOW_PRIORITY);
        read.set_priority(static_cast<Priority>(row.set));
        EXPECT_EQ(read.get_priority(), row.expected);
    }
    Read read;
    read.get_readholder().priority = 9;
    EXPECT_EQ(static_cast<std::int32_t>(read.get_priority()), -1);
}

TEST(ReadTest, ClearGivesBackAFreshRecord) {
    Read read;
    read.set_read_tag(42);
    give_raw_data_and_id(read, "r1");
    read.clear();
    EXPECT_EQ(read.get_read_tag(), 0u);
    EXPECT_TRUE(read.get_datasets().empty());
    EXPECT_EQ(read.get_metadata().get<std::string>("read_data::read_id"), nullptr);
}

TEST(ReadTest, MoveHandsTheRecordOver) {
    Read source;
    source.set_read_tag(7);
    source.set_priority(Priority::HIGH_PRIORITY);
    give_raw_data_and_id(source, "moved");
    Read target;
    target = std::move(source);
    EXPECT_EQ(target.get_read_tag(), 7u);
    EXPECT_EQ(target.get_priority(), Priority::HIGH_PRIORITY);
    EXPECT_EQ(*target.get_metadata().get<std::string>("read_data::read_id"), "moved");
    EXPECT_EQ(target.get_datasets().count(dw::raw_data), 1u);

    Read constructed(std::move(target));
    EXPECT_EQ(constructed.get_read_tag(), 7u);
    Read& alias = constructed;
    constructed = std::move(alias);
    EXPECT_EQ(constructed.get_read_tag(), 7u);

    // A moved-from handle can be given a record again.
    source.clear();
    EXPECT_EQ(source.get_read_tag(), 0u);
}

TEST(ReadTest, SetReadholderReplacesTheRecord) {
    common::ReadHolder holder;
    holder.read_tag = 99;
    holder.metadata->read_id = "given";
    Read read;
    read.set_readholder(std::move(holder));
    EXPECT_EQ(read.get_read_tag(), 99u);
    EXPECT_EQ(*read.get_metadata().get<std::string>("read_data::read_id"), "given");
}

TEST(ReadTest, ExtractsTextThroughTheHandle) {
    Read read;
    auto metadata = read.get_metadata();
    ASSERT_TRUE(metadata.set<std::string>("read_data::read_id", "r1"));
    ASSERT_TRUE(metadata.set<std::string>("read_data::strand_id", "r1"));
    ASSERT_TRUE(metadata.set<std::string>("read_data::run_id", "run"));
    ASSERT_TRUE(metadata.set<std::string>("basecall_data::base_mod_alphabet", "C m"));
    read.get_datasets().emplace(dw::sequence, dw::DataSetData(std::string("CAC")));
    read.get_datasets().emplace(dw::qstring, dw::DataSetData(std::string("$$$")));
    read.get_datasets().emplace(
        dw::base_mod_probs,
        dw::DataSetData(std::vector<std::uint8_t>{0, 200, 0, 0, 0, 100}, dw::VecView2D<std::uint8_t>(nullptr, 3, 2)));

    const Read& view = read;
    const auto lines = view.extract_sam_and_bed_lines(30.0f);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].sam_line.starts_with("r1\t4\t*\t0\t0\t*\t*\t0\t0\tCAC\t$$$\tMM:Z:C+m.,0,0;\tML:B:C,200,100\t"))
        << lines[0].sam_line;
    EXPECT_TRUE(view.extract_fastq_header_line(false).starts_with("@r1\tqs:f:0\trn:i:0\t"));
    EXPECT_EQ(view.extract_sam_and_bed_lines(50.0f)[0].sam_line.find("MM:Z:C+m.,0;"), lines[0].sam_line.find("MM:Z:"));
}

using ReadDeathTest = testing::Test;

TEST_F(ReadDeathTest, HandleThatOwnsNothingFailsFast) {
    Read source;
    Read target(std::move(source));
    EXPECT_DEATH(source.get_read_tag(), "Read handle owns no read record");
    EXPECT_DEATH(source.get_metadata(), "Read handle owns no read record");
    EXPECT_DEATH(source.get_datasets(), "Read handle owns no read record");
    EXPECT_DEATH(source.extract_fastq_header_line(false), "Read handle owns no read record");
}

TEST_F(ReadDeathTest, EmptiedRecordKeepsTagsButNotMetadata) {
    Read read;
    read.set_read_tag(5);
    give_raw_data_and_id(read, "r1");
    // What a client does when it accepts the read.
    common::ReadHolder taken(std::move(read.get_readholder()));
    EXPECT_EQ(read.get_read_tag(), 5u);
    EXPECT_TRUE(read.get_datasets().empty());
    EXPECT_DEATH(read.get_metadata(), "Read metadata is gone");
    EXPECT_DEATH(read.extract_sam_and_bed_lines(5.0f), "Read metadata is gone");
}

}  // namespace
