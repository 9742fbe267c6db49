#include "interfaces/read_metadata_view.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

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

namespace {

// The published keys, written out here rather than taken from the list the
// views are generated from, so that a wrong type, presence rule, field or
// order in that list shows. `field` reads the record member the key names
// (its groups existing) as text.
struct ExpectedKey {
    std::string_view key;
    MetadataType type;
    MetadataPresence presence;
    std::string (*field)(const ReadMetadata&);
};

template <class T>
std::string text_of(const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        return value;
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else {
        return std::to_string(value);
    }
}

template <class T>
std::string text_of(const std::optional<T>& value) {
    return value ? text_of(*value) : std::string("<absent>");
}

#define KEY(KEY_TEXT, TYPE, PRESENCE, FIELD)                                      \
    ExpectedKey {                                                                 \
        KEY_TEXT, MetadataType::TYPE, MetadataPresence::PRESENCE,                 \
            [](const ReadMetadata& r) { return text_of(r.FIELD); }                \
    }

const ExpectedKey expected_keys[] = {
    KEY("read_data::model_version_id", string, text, model_version_id),
    KEY("read_data::modbase_model_version_id", string, text, modbase_model_version_id),
    KEY("read_data::gpu_name", string, text, gpu_name),
    KEY("read_data::read_id", string, text, read_id),
    KEY("read_data::strand_id", string, text, strand_id),
    KEY("read_data::duplex_strand_1", string, group, duplex_strands->duplex_strand_1),
    KEY("read_data::duplex_strand_2", string, group, duplex_strands->duplex_strand_2),
    KEY("read_data::is_duplex_parent", boolean, always, is_duplex_parent),
    KEY("read_data::split_point", int32, always, split_point),
    KEY("read_data::run_id", string, text, run_id),
    KEY("read_data::sample_id", string, text, sample_id),
    KEY("read_data::time_stamp", string, text, time_stamp),
    KEY("read_data::channel", int32, flag, channel),
    KEY("read_data::mux", uint32, flag, mux),
    KEY("read_data::read_number", uint32, always, read_number),
    KEY("read_data::filename", string, text, filename),
    KEY("read_data::filename_short", string, text, filename_short),
    KEY("read_data::client_id", uint16, always, client_id),
    KEY("read_data::batch_number", uint32, flag, batch_number),
    KEY("read_data::duration", uint64, always, duration),
    KEY("read_data::duration_seconds", float64, always, duration_seconds),
    KEY("read_data::start_time", uint64, flag, start_time),
    KEY("read_data::num_keldrow_events", uint64, always, num_keldrow_events),
    KEY("read_data::start_time_seconds", float64, always, start_time_seconds),
    KEY("read_data::trimmed_start_seconds", float64, always, trimmed_start_seconds),
    KEY("read_data::trimmed_duration", uint64, always, trimmed_duration),
    KEY("read_data::trimmed_duration_seconds", float64, always, trimmed_duration_seconds),
    KEY("read_data::trimmed_samples", uint64, always, trimmed_samples),
    KEY("read_data::daq_offset", float32, flag, daq_offset),
    KEY("read_data::daq_scaling", float32, flag, daq_scaling),
    KEY("read_data::open_pore_level", float32, always, open_pore_level),
    KEY("read_data::sampling_rate", float32, always, sampling_rate),
    KEY("read_data::flow_cell_id", string, text, flow_cell_id),
    KEY("read_data::exp_start_time", string, text, exp_start_time),
    KEY("read_data::protocol_group_id", string, text, protocol_group_id),
    KEY("read_data::device_id", string, text, device_id),
    KEY("read_data::protocol_run_id", string, text, protocol_run_id),
    KEY("read_data::median_before", float64, always, median_before),
    KEY("read_data::sequencing_kit", string, text, sequencing_kit),
    KEY("read_data::flow_cell_product_code", string, text, flow_cell_product_code),
    KEY("read_data::strand_orientation", string, text, strand_orientation),
    KEY("read_data::umi_tag_sequence", string, text, umi_tag_sequence),
    KEY("read_data::end_reason", string, text, end_reason),
    KEY("read_data::experiment_id", string, text, experiment_id),
    KEY("read_data::pore_type", string, text, pore_type),
    // Shares its string with read_data::model_version_id, but never reads as absent.
    KEY("basecall_data::model_version_id", string, always, model_version_id),
    KEY("basecall_data::model_stride", uint64, group, basecall_data->model_stride),
    KEY("basecall_data::mean_qscore", float32, group, basecall_data->mean_qscore),
    KEY("basecall_data::median", float32, group, basecall_data->median),
    KEY("basecall_data::med_abs_dev", float32, group, basecall_data->med_abs_dev),
    KEY("basecall_data::scaling_median", float32, group, basecall_data->scaling_median),
    KEY("basecall_data::scaling_med_abs_dev", float32, group, basecall_data->scaling_med_abs_dev),
    KEY("basecall_data::scaling_version", string, group, basecall_data->scaling_version),
    KEY("basecall_data::num_events", uint64, group, basecall_data->num_events),
    KEY("basecall_data::trimmed_events", uint64, group, basecall_data->trimmed_events),
    KEY("basecall_data::sequence_length", uint64, group, basecall_data->sequence_length),
    KEY("basecall_data::base_mod_alphabet", string, group, basecall_data->base_mod_alphabet),
    KEY("basecall_data::base_mod_long_names", string, group, basecall_data->base_mod_long_names),
    KEY("basecall_data::base_mod_context", string, group, basecall_data->base_mod_context),
    KEY("basecall_data::qscore_shift", float32, group, basecall_data->qscore_shift),
    KEY("basecall_data::qscore_scale", float32, group, basecall_data->qscore_scale),
    KEY("basecall_data::passes_filtering", boolean, group, basecall_data->passes_filtering),
    KEY("barcode_data::trim_front", int32, group, barcode_trim->trim_front),
    KEY("barcode_data::trim_rear", int32, group, barcode_trim->trim_rear),
    KEY("barcode_data::score", float32, group, barcode_data->score),
    KEY("barcode_data::kit", string, group, barcode_data->kit),
    KEY("barcode_data::arrangement", string, group, barcode_data->arrangement),
    KEY("barcode_data::variant", string, group, barcode_data->variant),
    KEY("barcode_data::alias", string, group, barcode_data->alias),
    KEY("barcode_data::front_score", float32, group, barcode_data->front_score),
    KEY("barcode_data::front_foundseq_length", int32, group, barcode_data->front_foundseq_length),
    KEY("barcode_data::front_begin_index", int32, group, barcode_data->front_begin_index),
    KEY("barcode_data::rear_score", float32, group, barcode_data->rear_score),
    KEY("barcode_data::rear_foundseq_length", int32, group, barcode_data->rear_foundseq_length),
    KEY("barcode_data::rear_end_index", int32, group, barcode_data->rear_end_index),
    KEY("alignment_data::direction", string, group, alignment_data->direction),
    KEY("alignment_data::genome", string, group, alignment_data->genome),
    KEY("alignment_data::genome_start", int32, group, alignment_data->genome_start),
    KEY("alignment_data::genome_end", int32, group, alignment_data->genome_end),
    KEY("alignment_data::strand_start", int32, group, alignment_data->strand_start),
    KEY("alignment_data::strand_end", int32, group, alignment_data->strand_end),
    KEY("alignment_data::sam_record", string, text, sam_record),
    KEY("alignment_data::num_events", int32, group, alignment_data->num_events),
    KEY("alignment_data::num_insertions", int32, group, alignment_data->num_insertions),
    KEY("alignment_data::num_deletions", int32, group, alignment_data->num_deletions),
    KEY("alignment_data::num_aligned", int32, group, alignment_data->num_aligned),
    KEY("alignment_data::num_correct", int32, group, alignment_data->num_correct),
    KEY("alignment_data::coverage", float32, group, alignment_data->coverage),
    KEY("alignment_data::identity", float32, group, alignment_data->identity),
    KEY("alignment_data::accuracy", float32, group, alignment_data->accuracy),
    KEY("alignment_data::strand_score", int32, group, alignment_data->strand_score),
    KEY("alignment_data::bed_hits", int32, group, alignment_data->bed_hits),
    KEY("alignment_data::bed_lines", string, text, bed_lines),
    KEY("alignment_data::mapping_quality", int32, group, alignment_data->mapping_quality),
    KEY("alignment_data::num_alignments", int32, group, alignment_data->num_alignments),
    KEY("alignment_data::num_secondary_alignments", int32, group, alignment_data->num_secondary_alignments),
    KEY("alignment_data::num_supplementary_alignments", int32, group, alignment_data->num_supplementary_alignments),
    KEY("poly_tail_data::poly_tail_length", int32, group, poly_tail_data->poly_tail_length),
    KEY("poly_tail_data::poly_tail_anchor", int64, group, poly_tail_data->poly_tail_anchor),
    KEY("poly_tail_data::poly_tail_start_1", int64, group, poly_tail_data->poly_tail_start_1),
    KEY("poly_tail_data::poly_tail_end_1", int64, group, poly_tail_data->poly_tail_end_1),
    KEY("poly_tail_data::poly_tail_start_2", int64, group, poly_tail_data->poly_tail_start_2),
    KEY("poly_tail_data::poly_tail_end_2", int64, group, poly_tail_data->poly_tail_end_2),
};

#undef KEY

// A value for the index-th key, different for every key of one type (the
// two bool keys get true and false).
template <class T>
T distinct_value(std::size_t index) {
    if constexpr (std::is_same_v<T, std::string>) {
        return "value_" + std::to_string(index);
    } else if constexpr (std::is_same_v<T, bool>) {
        return index % 2 == 0;
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(index) + T(0.5);
    } else {
        return static_cast<T>(1000 + index);
    }
}

bool is_model_version_alias(std::string_view key) {
    return key == "basecall_data::model_version_id";
}

}  // namespace

TEST(ReadMetadataViewTest, KeyTableMatchesThePublishedKeys) {
    ASSERT_EQ(interfaces::read_metadata_keys.size(), std::size(expected_keys));
    for (std::size_t i = 0; i < std::size(expected_keys); ++i) {
        const ExpectedKey& expected = expected_keys[i];
        SCOPED_TRACE(expected.key);
        EXPECT_EQ(interfaces::read_metadata_keys[i].key, expected.key);
        EXPECT_EQ(interfaces::read_metadata_keys[i].type, expected.type);
        EXPECT_EQ(interfaces::read_metadata_keys[i].presence, expected.presence);
    }
}

// Each key writes its own field: a distinct value goes to every key, then
// every key and every field must still hold its own.
TEST(ReadMetadataViewTest, EveryKeyWritesItsOwnField) {
    ReadMetadata record;
    const ReadMetadataMutableView view(record);
    std::vector<std::string> written(std::size(expected_keys));
    for (std::size_t i = 0; i < std::size(expected_keys); ++i) {
        const ExpectedKey& expected = expected_keys[i];
        SCOPED_TRACE(expected.key);
        with_type(expected.type, [&]<class T>() {
            const T value = distinct_value<T>(i);
            EXPECT_TRUE(view.set<T>(expected.key, value));
            written[i] = text_of(value);
            return 0;
        });
    }
    // The alias and its key share one string: the later write holds.
    std::size_t alias = 0;
    std::size_t aliased = 0;
    for (std::size_t i = 0; i < std::size(expected_keys); ++i) {
        if (is_model_version_alias(expected_keys[i].key)) alias = i;
        if (expected_keys[i].key == "read_data::model_version_id") aliased = i;
    }
    written[aliased] = written[alias];

    for (std::size_t i = 0; i < std::size(expected_keys); ++i) {
        const ExpectedKey& expected = expected_keys[i];
        SCOPED_TRACE(expected.key);
        EXPECT_EQ(expected.field(record), written[i]);
        with_type(expected.type, [&]<class T>() {
            const T* value = view.get<T>(expected.key);
            EXPECT_TRUE(value != nullptr && text_of(*value) == written[i]);
            return 0;
        });
    }
}

// The presence rules as the published list gives them, on fresh records.
TEST(ReadMetadataViewTest, EveryKeyFollowsItsPublishedPresenceRule) {
    for (std::size_t i = 0; i < std::size(expected_keys); ++i) {
        const ExpectedKey& expected = expected_keys[i];
        SCOPED_TRACE(expected.key);
        ReadMetadata record;
        const ReadMetadataMutableView view(record);
        const bool default_present = expected.presence == MetadataPresence::always ||
                                     expected.key == "read_data::strand_orientation";
        EXPECT_EQ(found(view, expected.type, expected.key), default_present);
        if (expected.presence == MetadataPresence::text) {
            EXPECT_TRUE(view.set<std::string>(expected.key, "x"));
            EXPECT_TRUE(found(view, expected.type, expected.key));
            EXPECT_TRUE(view.set<std::string>(expected.key, ""));
            EXPECT_FALSE(found(view, expected.type, expected.key));
        } else if (expected.presence == MetadataPresence::group || expected.presence == MetadataPresence::flag) {
            // A zero or empty value still makes the value present.
            with_type(expected.type, [&]<class T>() { return view.set<T>(expected.key, T{}); });
            EXPECT_TRUE(found(view, expected.type, expected.key));
        } else if (is_model_version_alias(expected.key)) {
            EXPECT_TRUE(view.set<std::string>(expected.key, ""));
            EXPECT_TRUE(found(view, expected.type, expected.key));
        }
    }
}
