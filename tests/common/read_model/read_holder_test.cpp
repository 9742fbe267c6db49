#include "common/read_model/read_holder.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/read_model/target_configurations.h"

using common::ReadHolder;
using common::validate_read_holder;
using vesk::data_wrappers::v2::DataSetData;
namespace dw = vesk::data_wrappers::v2;

namespace {

struct CountingAttachment : common::OwnedAttachment {
    explicit CountingAttachment(int& destroyed) : m_destroyed(destroyed) {}
    ~CountingAttachment() override { ++m_destroyed; }
    int& m_destroyed;
};

struct AlignmentSettings {
    std::string bed_file;
};

// A read an application may pass without duplex.
ReadHolder complete_read() {
    ReadHolder read;
    read.datasets.emplace(dw::raw_data, DataSetData(std::vector<std::int16_t>{1, 2, 3}));
    read.metadata->read_id = "read-1";
    read.metadata->daq_offset = 1.0f;
    read.metadata->daq_scaling = 0.5f;
    read.metadata->start_time = 100;
    read.metadata->sampling_rate = 4000.0f;
    return read;
}

}  // namespace

TEST(ReadHolderTest, MoveKeepsTagsAndTakesEverythingElse) {
    int destroyed = 0;
    ReadHolder source = complete_read();
    source.read_tag = 7;
    source.priority = 2;
    source.sub_tag = 3;
    source.shared_attachment_1 = std::make_shared<int>(5);
    source.target_configurations = std::make_shared<common::TargetConfigurations>();
    source.owned_attachment = std::make_unique<CountingAttachment>(destroyed);

    ReadHolder moved(std::move(source));
    EXPECT_EQ(moved.read_tag, 7u);
    EXPECT_EQ(moved.priority, 2);
    EXPECT_EQ(moved.sub_tag, 3u);
    EXPECT_EQ(moved.metadata->read_id, "read-1");
    EXPECT_EQ(moved.datasets.size(), 1u);
    // NOLINTBEGIN(bugprone-use-after-move)
    EXPECT_EQ(source.read_tag, 7u);
    EXPECT_EQ(source.priority, 2);
    EXPECT_EQ(source.sub_tag, 3u);
    EXPECT_TRUE(source.datasets.empty());
    EXPECT_EQ(source.metadata, nullptr);
    EXPECT_EQ(source.shared_attachment_1, nullptr);
    EXPECT_EQ(source.target_configurations, nullptr);
    EXPECT_EQ(source.owned_attachment, nullptr);

    ReadHolder target;
    target.read_tag = 99;
    target = std::move(moved);
    EXPECT_EQ(target.read_tag, 7u);
    EXPECT_TRUE(moved.datasets.empty());
    EXPECT_EQ(moved.metadata, nullptr);
    EXPECT_EQ(moved.owned_attachment, nullptr);
    // NOLINTEND(bugprone-use-after-move)
    EXPECT_EQ(destroyed, 0);
    target = ReadHolder();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(target.priority, 1);
    ASSERT_NE(target.metadata, nullptr);
    EXPECT_EQ(target.metadata->strand_orientation, "?");
}

// A record made in one block with its metadata: the holder and the
// metadata go separately, either first, and the last may go on another
// thread (the application makes a read, the worker frees its metadata).
TEST(ReadHolderTest, RecordBlockPartsOutliveEachOther) {
    const struct {
        const char* name;
        bool holder_first;
        bool last_on_another_thread;
    } cases[] = {
        {"holder first", true, false},
        {"metadata first", false, false},
        {"holder first, metadata freed on another thread", true, true},
        {"metadata first, holder freed on another thread", false, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<ReadHolder> record = common::make_read_record();
        ASSERT_NE(record->metadata, nullptr);
        EXPECT_EQ(record->metadata->strand_orientation, "?");
        EXPECT_EQ(record->priority, 1);
        record->read_tag = 7;
        // Text on the heap, so that a part freed twice or too early shows.
        record->metadata->read_id = std::string(64, 'r');
        auto taker = std::make_unique<ReadHolder>(std::move(*record));
        std::unique_ptr<ReadHolder>& first = row.holder_first ? record : taker;
        std::unique_ptr<ReadHolder>& last = row.holder_first ? taker : record;
        first.reset();
        EXPECT_EQ(last->read_tag, 7u);
        if (row.holder_first) {
            EXPECT_EQ(last->metadata->read_id, std::string(64, 'r'));
        }
        if (row.last_on_another_thread) {
            std::thread([&last] { last.reset(); }).join();
        }
        last.reset();
    }
}

TEST(ReadHolderTest, ReturnedReadCopiesDeeplyAndSharesTargetConfigurations) {
    int destroyed = 0;
    ReadHolder submitted = complete_read();
    submitted.read_tag = 11;
    submitted.priority = 0;
    submitted.sub_tag = 0;
    submitted.datasets.emplace(dw::sequence, DataSetData(std::string("ACGT")));
    submitted.shared_attachment_1 = std::make_shared<int>(1);
    submitted.owned_attachment = std::make_unique<CountingAttachment>(destroyed);
    auto configs = std::make_shared<common::TargetConfigurations>();
    configs->set(std::make_shared<const AlignmentSettings>(AlignmentSettings{"regions.bed"}));
    submitted.target_configurations = configs;

    ReadHolder piece = submitted.derive_returned_read(4);
    EXPECT_EQ(piece.read_tag, 11u);
    EXPECT_EQ(piece.priority, 0);
    EXPECT_EQ(piece.sub_tag, 4u);
    EXPECT_EQ(piece.target_configurations, configs);
    ASSERT_NE(piece.target_configurations->get<AlignmentSettings>(), nullptr);
    EXPECT_EQ(piece.target_configurations->get<AlignmentSettings>()->bed_file, "regions.bed");
    EXPECT_EQ(piece.target_configurations->get<int>(), nullptr);
    EXPECT_EQ(piece.shared_attachment_1, nullptr);
    EXPECT_EQ(piece.owned_attachment, nullptr);

    ASSERT_NE(piece.metadata, submitted.metadata);
    submitted.metadata->read_id = "changed";
    EXPECT_EQ(piece.metadata->read_id, "read-1");
    ASSERT_EQ(piece.datasets.size(), 2u);
    EXPECT_NE(piece.datasets.at(dw::raw_data).data(), submitted.datasets.at(dw::raw_data).data());
    EXPECT_EQ(piece.datasets.at(dw::sequence).string_value(), "ACGT");

    // A holder whose contents moved away still yields a usable piece.
    ReadHolder emptied = std::move(submitted);
    ReadHolder from_emptied = submitted.derive_returned_read(1);  // NOLINT(bugprone-use-after-move)
    ASSERT_NE(from_emptied.metadata, nullptr);
    EXPECT_EQ(from_emptied.read_tag, 11u);
}

TEST(ValidateReadHolderTest, ReportsEveryMissingItemInOrder) {
    const std::string prefix = "Missing data in ReadHolder object:";
    struct Row {
        const char* what;
        void (*change)(ReadHolder&);
        bool duplex;
        const char* missing;  // null when the read passes
    };
    const Row rows[] = {
        {"complete, no duplex", [](ReadHolder&) {}, false, nullptr},
        {"complete, duplex", [](ReadHolder&) {}, true,
         " channel metadata field not found. mux metadata field not found. run_id metadata field not found."},
        {"duplex fields present", [](ReadHolder& r) {
             r.metadata->channel = 1;
             r.metadata->mux = 2;
             r.metadata->run_id = "run";
         },
         true, nullptr},
        {"nothing set", [](ReadHolder& r) { r = ReadHolder(); }, false,
         " raw_data dataset not found. read_id metadata field not found. daq_offset field not found."
         " daq_scaling metadata field not found. sampling_rate metadata field not found."
         " start_time metadata field not found."},
        {"sampling rate 0", [](ReadHolder& r) { r.metadata->sampling_rate = 0.0f; }, false,
         " sampling_rate metadata field not found."},
        {"sampling rate negative", [](ReadHolder& r) { r.metadata->sampling_rate = -4000.0f; }, false,
         " sampling_rate metadata field not found."},
        {"sampling rate NaN",
         [](ReadHolder& r) { r.metadata->sampling_rate = std::numeric_limits<float>::quiet_NaN(); }, false,
         " sampling_rate metadata field not found."},
        {"only channel for duplex", [](ReadHolder& r) { r.metadata->channel = 1; }, true,
         " mux metadata field not found. run_id metadata field not found."},
        {"no raw data", [](ReadHolder& r) { r.datasets.clear(); }, false, " raw_data dataset not found."},
        {"zero offsets still count as set", [](ReadHolder& r) {
             r.metadata->daq_offset = 0.0f;
             r.metadata->start_time = 0;
         },
         false, nullptr},
        {"contents moved away", [](ReadHolder& r) { ReadHolder taken = std::move(r); }, false,
         " raw_data dataset not found. read_id metadata field not found. daq_offset field not found."
         " daq_scaling metadata field not found. sampling_rate metadata field not found."
         " start_time metadata field not found."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ReadHolder read = complete_read();
        row.change(read);
        std::string message = "untouched";
        const bool valid = validate_read_holder(read, message, row.duplex);
        if (row.missing == nullptr) {
            EXPECT_TRUE(valid);
            EXPECT_EQ(message, "untouched");
        } else {
            EXPECT_FALSE(valid);
            EXPECT_EQ(message, prefix + row.missing);
        }
    }
}

// A read id becomes the SAM and FASTQ read name, and application texts
// become tags: text that would break a record is refused at the check.
TEST(ValidateReadHolderTest, RefusesTextThatWouldBreakItsRecords) {
    const std::string prefix = "Invalid data in ReadHolder object:";
    const std::string name_rule = "; a read name takes printable ASCII without spaces.";
    const std::string text_rule = "; SAM and FASTQ text takes printable ASCII and spaces.";
    struct Row {
        const char* what;
        void (*change)(ReadHolder&);
        std::string invalid;  // empty when the read passes
    };
    const Row rows[] = {
        {"tab in read id", [](ReadHolder& r) { r.metadata->read_id = "read\t1"; },
         " read_id holds byte 0x09 at position 4" + name_rule},
        {"newline in read id", [](ReadHolder& r) { r.metadata->read_id = "read1\n"; },
         " read_id holds byte 0x0A at position 5" + name_rule},
        {"space in read id", [](ReadHolder& r) { r.metadata->read_id = "read 1"; },
         " read_id holds byte 0x20 at position 4" + name_rule},
        {"byte above ASCII in read id", [](ReadHolder& r) { r.metadata->read_id = "r\xc3\xa9"; },
         " read_id holds byte 0xC3 at position 1" + name_rule},
        {"leading @ in read id", [](ReadHolder& r) { r.metadata->read_id = "@read1"; },
         " read_id starts with '@'."},
        {"@ inside a read id", [](ReadHolder& r) { r.metadata->read_id = "read@1"; }, ""},
        {"read id of 254 characters", [](ReadHolder& r) { r.metadata->read_id = std::string(254, 'r'); }, ""},
        {"read id of 255 characters", [](ReadHolder& r) { r.metadata->read_id = std::string(255, 'r'); },
         " read_id has 255 characters, more than the 254 a read name holds."},
        {"tab in run id", [](ReadHolder& r) { r.metadata->run_id = "run\t7"; },
         " run_id holds byte 0x09 at position 3" + text_rule},
        {"newline in sample id", [](ReadHolder& r) { r.metadata->sample_id = "sample\n"; },
         " sample_id holds byte 0x0A at position 6" + text_rule},
        {"space in sample id", [](ReadHolder& r) { r.metadata->sample_id = "sample 1"; }, ""},
        {"control byte in time stamp", [](ReadHolder& r) { r.metadata->time_stamp = "2024\x01"; },
         " time_stamp holds byte 0x01 at position 4" + text_rule},
        {"non-ASCII file name", [](ReadHolder& r) { r.metadata->filename = "/data/b\xc3\xa4tch_0.sig"; },
         " filename holds byte 0xC3 at position 7" + text_rule},
        {"non-ASCII folder of a file", [](ReadHolder& r) { r.metadata->filename = "/d\xc3\xa4ta/batch_0.sig"; },
         ""},
        {"tab in experiment start", [](ReadHolder& r) { r.metadata->exp_start_time = "\t"; },
         " exp_start_time holds byte 0x09 at position 0" + text_rule},
        {"DEL in flow cell id", [](ReadHolder& r) { r.metadata->flow_cell_id = "FC\x7f"; },
         " flow_cell_id holds byte 0x7F at position 2" + text_rule},
        {"newline in GPU name", [](ReadHolder& r) { r.metadata->gpu_name = "gpu\n0"; },
         " gpu_name holds byte 0x0A at position 3" + text_rule},
        {"tab in UMI", [](ReadHolder& r) { r.metadata->umi_tag_sequence = "AC\tGT"; },
         " umi_tag_sequence holds byte 0x09 at position 2" + text_rule},
        {"tab in barcode alias", [](ReadHolder& r) { r.metadata->barcode_data.emplace().alias = "a\tb"; },
         " barcode_data::alias holds byte 0x09 at position 1" + text_rule},
        {"every item is listed", [](ReadHolder& r) {
             r.metadata->read_id = "@r";
             r.metadata->run_id = "\n";
         },
         " read_id starts with '@'. run_id holds byte 0x0A at position 0" + text_rule},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ReadHolder read = complete_read();
        row.change(read);
        std::string message = "untouched";
        const bool valid = validate_read_holder(read, message, false);
        if (row.invalid.empty()) {
            EXPECT_TRUE(valid);
            EXPECT_EQ(message, "untouched");
        } else {
            EXPECT_FALSE(valid);
            EXPECT_EQ(message, prefix + row.invalid);
        }
    }

    // Missing and invalid items are both reported.
    ReadHolder read = complete_read();
    read.datasets.clear();
    read.metadata->run_id = "a\tb";
    std::string message;
    EXPECT_FALSE(validate_read_holder(read, message, false));
    EXPECT_EQ(message, "Missing data in ReadHolder object: raw_data dataset not found. " + prefix +
                           " run_id holds byte 0x09 at position 1" + text_rule);
}
