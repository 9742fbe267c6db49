#include "interfaces/read_metadata_view.h"

#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "interfaces/read_metadata.h"
#include "interfaces/read_metadata_key_table.h"
#include "interfaces/read_metadata_mutable_view.h"

using interfaces::metadata_key_hash;
using interfaces::MetadataKey;
using interfaces::MetadataPresence;
using interfaces::ReadMetadata;
using interfaces::ReadMetadataMutableView;
using interfaces::ReadMetadataView;
using vesk::data_wrappers::v3::MetadataType;

namespace {

// A value of each type that differs from every field default.
template <class T>
T sample();
template <> bool sample<bool>() { return true; }
template <> std::int8_t sample<std::int8_t>() { return -8; }
template <> std::uint8_t sample<std::uint8_t>() { return 8; }
template <> std::int16_t sample<std::int16_t>() { return -16; }
template <> std::uint16_t sample<std::uint16_t>() { return 16; }
template <> std::int32_t sample<std::int32_t>() { return 32; }
template <> std::uint32_t sample<std::uint32_t>() { return 33; }
template <> std::int64_t sample<std::int64_t>() { return -64; }
template <> std::uint64_t sample<std::uint64_t>() { return 64; }
template <> float sample<float>() { return 1.5f; }
template <> double sample<double>() { return 2.5; }
template <> std::string sample<std::string>() { return "text"; }

// Calls action.template operator()<T>() with T the type named by code.
template <class Action>
auto with_type(MetadataType code, Action&& action) {
    switch (code) {
    case MetadataType::boolean: return action.template operator()<bool>();
    case MetadataType::int8: return action.template operator()<std::int8_t>();
    case MetadataType::uint8: return action.template operator()<std::uint8_t>();
    case MetadataType::int16: return action.template operator()<std::int16_t>();
    case MetadataType::uint16: return action.template operator()<std::uint16_t>();
    case MetadataType::int32: return action.template operator()<std::int32_t>();
    case MetadataType::uint32: return action.template operator()<std::uint32_t>();
    case MetadataType::int64: return action.template operator()<std::int64_t>();
    case MetadataType::uint64: return action.template operator()<std::uint64_t>();
    case MetadataType::float32: return action.template operator()<float>();
    case MetadataType::float64: return action.template operator()<double>();
    case MetadataType::string: break;
    }
    return action.template operator()<std::string>();
}

constexpr MetadataType all_types[] = {
    MetadataType::boolean, MetadataType::int8,   MetadataType::uint8,   MetadataType::int16,
    MetadataType::uint16,  MetadataType::int32,  MetadataType::uint32,  MetadataType::int64,
    MetadataType::uint64,  MetadataType::float32, MetadataType::float64, MetadataType::string,
};

bool set_sample(const ReadMetadataMutableView& view, MetadataType type, std::string_view key) {
    return with_type(type, [&]<class T>() { return view.set<T>(key, sample<T>()); });
}

bool holds_sample(const ReadMetadataView& view, MetadataType type, std::string_view key) {
    return with_type(type, [&]<class T>() {
        const T* value = view.get<T>(key);
        return value != nullptr && *value == sample<T>();
    });
}

bool found(const ReadMetadataView& view, MetadataType type, std::string_view key) {
    return with_type(type, [&]<class T>() { return view.get<T>(key) != nullptr; });
}

}  // namespace

TEST(MetadataKeyTest, HashIsFnv1a32) {
    static_assert(metadata_key_hash("") == 0x811C9DC5u);
    static_assert(MetadataKey("a").hash() == 0xE40C292Cu);
    EXPECT_EQ(metadata_key_hash("foobar"), 0xBF9CF968u);
    // Bytes above 0x7f are hashed unsigned.
    EXPECT_EQ(metadata_key_hash("\xff"), (0x811C9DC5u ^ 0xFFu) * 16777619u);
    const std::string runtime_key = "read_data::read_id";
    EXPECT_EQ(MetadataKey(runtime_key).hash(), MetadataKey("read_data::read_id").hash());
    EXPECT_EQ(MetadataKey(runtime_key).text(), "read_data::read_id");
}

TEST(ReadMetadataViewTest, NewRecordReadsItsDefaults) {
    const ReadMetadata record;
    const ReadMetadataView view(record);
    EXPECT_EQ(view.get<std::string>("read_data::read_id"), nullptr);
    ASSERT_NE(view.get<std::string>("read_data::strand_orientation"), nullptr);
    EXPECT_EQ(*view.get<std::string>("read_data::strand_orientation"), "?");
    ASSERT_NE(view.get<std::int32_t>("read_data::split_point"), nullptr);
    EXPECT_EQ(*view.get<std::int32_t>("read_data::split_point"), -1);
    ASSERT_NE(view.get<std::uint16_t>("read_data::client_id"), nullptr);
    EXPECT_EQ(*view.get<std::uint16_t>("read_data::client_id"), 65535);
    ASSERT_NE(view.get<float>("read_data::open_pore_level"), nullptr);
    EXPECT_TRUE(std::isnan(*view.get<float>("read_data::open_pore_level")));
    EXPECT_EQ(view.get<std::uint64_t>("read_data::start_time"), nullptr);
    EXPECT_EQ(view.get<std::int32_t>("read_data::channel"), nullptr);
    EXPECT_EQ(view.get<float>("basecall_data::mean_qscore"), nullptr);
    EXPECT_EQ(view.get<std::string>("read_data::model_version_id"), nullptr);
    ASSERT_NE(view.get<std::string>("basecall_data::model_version_id"), nullptr);
    EXPECT_EQ(*view.get<std::string>("basecall_data::model_version_id"), "");
    ASSERT_NE(view.get<bool>("read_data::is_duplex_parent"), nullptr);
    EXPECT_FALSE(*view.get<bool>("read_data::is_duplex_parent"));
}

TEST(ReadMetadataViewTest, SettingGroupMemberCreatesGroupWithDefaults) {
    ReadMetadata record;
    const ReadMetadataMutableView view(record);

    EXPECT_EQ(view.get<std::string>("barcode_data::kit"), nullptr);
    EXPECT_TRUE(view.set<float>("barcode_data::score", 3.5f));
    ASSERT_NE(view.get<std::string>("barcode_data::kit"), nullptr);
    EXPECT_EQ(*view.get<std::string>("barcode_data::kit"), "");
    ASSERT_NE(view.get<std::int32_t>("barcode_data::front_begin_index"), nullptr);
    EXPECT_EQ(*view.get<std::int32_t>("barcode_data::front_begin_index"), 0);
    EXPECT_EQ(*view.get<float>("barcode_data::score"), 3.5f);
    // The trim pair is stored apart from the barcode group.
    EXPECT_EQ(view.get<std::int32_t>("barcode_data::trim_front"), nullptr);

    EXPECT_TRUE(view.set<float>("basecall_data::median", 1.0f));
    ASSERT_NE(view.get<float>("basecall_data::qscore_scale"), nullptr);
    EXPECT_EQ(*view.get<float>("basecall_data::qscore_scale"), 1.0f);
    EXPECT_FALSE(*view.get<bool>("basecall_data::passes_filtering"));
    // A second member keeps what the first set.
    EXPECT_TRUE(view.set<std::uint64_t>("basecall_data::model_stride", 5));
    EXPECT_EQ(*view.get<float>("basecall_data::median"), 1.0f);

    EXPECT_TRUE(view.set<std::string>("read_data::duplex_strand_2", "b"));
    ASSERT_NE(view.get<std::string>("read_data::duplex_strand_1"), nullptr);
    EXPECT_EQ(*view.get<std::string>("read_data::duplex_strand_1"), "");
}

TEST(ReadMetadataViewTest, WrongTypeFindsNothingAndChangesNothing) {
    ReadMetadata record;
    const ReadMetadataMutableView view(record);

    EXPECT_FALSE(view.set<double>("read_data::start_time", 5.0));
    EXPECT_FALSE(record.start_time.has_value());
    EXPECT_TRUE(view.set<std::uint64_t>("read_data::start_time", 5));
    ASSERT_NE(view.get<std::uint64_t>("read_data::start_time"), nullptr);
    EXPECT_EQ(*view.get<std::uint64_t>("read_data::start_time"), 5u);

    EXPECT_TRUE(view.set<std::int32_t>("read_data::channel", 12));
    EXPECT_EQ(view.get<std::uint32_t>("read_data::channel"), nullptr);
    EXPECT_EQ(*view.get<std::int32_t>("read_data::channel"), 12);

    EXPECT_FALSE(view.set<float>("basecall_data::model_stride", 1.0f));
    EXPECT_FALSE(record.basecall_data.has_value());

    EXPECT_FALSE(view.set<std::string>("read_data::unknown", "x"));
    EXPECT_FALSE(view.set<std::string>("READ_DATA::read_id", "x"));
    EXPECT_FALSE(view.set<std::string>("read_data::read_id ", "x"));
    EXPECT_TRUE(record.read_id.empty());
}

TEST(ReadMetadataViewTest, HashMustMatchKeyText) {
    ReadMetadata record;
    record.read_id = "r1";
    const ReadMetadataMutableView view(record);
    const unsigned int read_id_hash = metadata_key_hash("read_data::read_id");
    ASSERT_NE(view.get_internal<std::string>(read_id_hash, "read_data::read_id"), nullptr);
    // Same hash with other text, and the right text with another hash.
    EXPECT_EQ(view.get_internal<std::string>(read_id_hash, "read_data::run_id"), nullptr);
    EXPECT_EQ(view.get_internal<std::string>(metadata_key_hash("read_data::run_id"), "read_data::read_id"), nullptr);
    EXPECT_FALSE(view.set_internal<std::string>(read_id_hash, "read_data::run_id", "x"));
    EXPECT_TRUE(record.run_id.empty());
}

TEST(ReadMetadataViewTest, PresenceRules) {
    ReadMetadata record;
    const ReadMetadataMutableView view(record);

    // Text: absent while empty, in either direction.
    EXPECT_TRUE(view.set<std::string>("read_data::run_id", "run"));
    ASSERT_NE(view.get<std::string>("read_data::run_id"), nullptr);
    EXPECT_TRUE(view.set<std::string>("read_data::run_id", ""));
    EXPECT_EQ(view.get<std::string>("read_data::run_id"), nullptr);

    // Own flag: present once set, even with a zero value.
    EXPECT_TRUE(view.set<float>("read_data::daq_offset", 0.0f));
    ASSERT_NE(view.get<float>("read_data::daq_offset"), nullptr);
    EXPECT_EQ(*view.get<float>("read_data::daq_offset"), 0.0f);

    // Group member: an empty string reads as present while the group exists.
    EXPECT_TRUE(view.set<std::string>("alignment_data::genome", ""));
    ASSERT_NE(view.get<std::string>("alignment_data::genome"), nullptr);
    EXPECT_EQ(*view.get<std::string>("alignment_data::genome"), "");

    // The two model-version keys share one string; only one reads it as absent when empty.
    EXPECT_TRUE(view.set<std::string>("basecall_data::model_version_id", "model"));
    ASSERT_NE(view.get<std::string>("read_data::model_version_id"), nullptr);
    EXPECT_EQ(*view.get<std::string>("read_data::model_version_id"), "model");
    EXPECT_FALSE(record.basecall_data.has_value());
    EXPECT_TRUE(view.set<std::string>("read_data::model_version_id", ""));
    EXPECT_EQ(view.get<std::string>("read_data::model_version_id"), nullptr);
    EXPECT_NE(view.get<std::string>("basecall_data::model_version_id"), nullptr);
}

TEST(ReadMetadataViewTest, NoKeyHasAnEightBitOrInt16Type) {
    ReadMetadata record;
    const ReadMetadataMutableView view(record);
    for (const auto& info : interfaces::read_metadata_keys) {
        SCOPED_TRACE(info.key);
        EXPECT_FALSE(view.set<std::int16_t>(info.key, 1));
        EXPECT_FALSE(view.set<std::int8_t>(info.key, 1));
        EXPECT_FALSE(view.set<std::uint8_t>(info.key, 1));
        EXPECT_EQ(view.get<std::int8_t>(info.key), nullptr);
        EXPECT_EQ(view.get<std::uint8_t>(info.key), nullptr);
        EXPECT_EQ(view.get<std::int16_t>(info.key), nullptr);
    }
}

// Walks every key: only its own type stores, the value reads back under
// the same key, and the absent-before rules hold.
TEST(ReadMetadataViewTest, EveryKeyStoresAndReadsOnlyItsOwnType) {
    std::set<std::string_view> keys;
    for (const auto& info : interfaces::read_metadata_keys) {
        SCOPED_TRACE(info.key);
        EXPECT_TRUE(keys.insert(info.key).second) << "duplicate key";
        ReadMetadata record;
        const ReadMetadataMutableView view(record);

        const bool present_before = found(view, info.type, info.key);
        // The orientation is the one text field with a non-empty default.
        EXPECT_EQ(present_before,
                  info.presence == MetadataPresence::always || info.key == "read_data::strand_orientation");

        for (const MetadataType other : all_types) {
            if (other == info.type) {
                continue;
            }
            EXPECT_FALSE(set_sample(view, other, info.key)) << "type " << static_cast<int>(other);
        }
        EXPECT_EQ(found(view, info.type, info.key), present_before);

        EXPECT_TRUE(set_sample(view, info.type, info.key));
        EXPECT_TRUE(holds_sample(view, info.type, info.key));
        for (const MetadataType other : all_types) {
            if (other != info.type) {
                EXPECT_FALSE(found(view, other, info.key)) << "type " << static_cast<int>(other);
            }
        }
    }
    EXPECT_EQ(keys.size(), 103u);
}
