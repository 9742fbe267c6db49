#include "data_wrappers/metadata.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using vesk::data_wrappers::v3::Metadata;
using vesk::data_wrappers::v3::MetadataType;

namespace {

std::vector<std::string> keys_of(const Metadata& record) {
    std::vector<std::string> keys;
    for (const auto& [key, type] : record.key_types()) {
        keys.push_back(key);
    }
    return keys;
}

}  // namespace

TEST(MetadataTest, TypedLookupMatchesOnlyTheStoredAlternative) {
    Metadata record;
    record.set<std::uint32_t>("threads", 4);
    ASSERT_NE(record.find<std::uint32_t>("threads"), nullptr);
    EXPECT_EQ(*record.find<std::uint32_t>("threads"), 4u);
    EXPECT_EQ(record.find<std::int32_t>("threads"), nullptr);
    EXPECT_EQ(record.find<std::uint64_t>("threads"), nullptr);

    record.set<std::string>("threads", "four");
    EXPECT_EQ(record.find<std::uint32_t>("threads"), nullptr);
    ASSERT_NE(record.find<std::string>("threads"), nullptr);
    EXPECT_EQ(*record.find<std::string>("threads"), "four");
    EXPECT_EQ(record.value_as_string("threads"), "four");
    EXPECT_EQ(record.size(), 1u);

    record.set<std::int64_t>("offset", -3);
    EXPECT_EQ(record.find<std::uint64_t>("offset"), nullptr);
    EXPECT_TRUE(record.has("offset"));
    EXPECT_FALSE(record.has("missing"));
    EXPECT_EQ(record.find<bool>("missing"), nullptr);
}

TEST(MetadataTest, TextLiteralIsStoredAsString) {
    Metadata record;
    record.set("name", "config.cfg");
    EXPECT_EQ(record.find<bool>("name"), nullptr);
    ASSERT_NE(record.find<std::string>("name"), nullptr);
    EXPECT_EQ(*record.find<std::string>("name"), "config.cfg");
}

TEST(MetadataTest, ValueAsStringFormatsEveryAlternative) {
    Metadata record;
    record.set<bool>("bool_true", true);
    record.set<bool>("bool_false", false);
    record.set<std::int8_t>("int8", -5);
    record.set<std::uint8_t>("uint8", 200);
    record.set<std::int16_t>("int16", -32768);
    record.set<std::uint16_t>("uint16", 65535);
    record.set<std::int32_t>("int32", -2147483647 - 1);
    record.set<std::uint32_t>("uint32", 4294967295u);
    record.set<std::int64_t>("int64", std::numeric_limits<std::int64_t>::min());
    record.set<std::uint64_t>("uint64", std::numeric_limits<std::uint64_t>::max());
    record.set<float>("float", 2.5f);
    record.set<double>("double", 0.1);
    record.set<double>("double_negative", -1234567.125);
    record.set<double>("double_large", 1e20);
    record.set<std::string>("string", "as is");
    record.set<std::string>("empty", "");

    const std::pair<const char*, const char*> rows[] = {
        {"bool_true", "1"},
        {"bool_false", "0"},
        {"int8", "-5"},
        {"uint8", "200"},
        {"int16", "-32768"},
        {"uint16", "65535"},
        {"int32", "-2147483648"},
        {"uint32", "4294967295"},
        {"int64", "-9223372036854775808"},
        {"uint64", "18446744073709551615"},
        {"float", "2.500000"},
        {"double", "0.100000"},
        {"double_negative", "-1234567.125000"},
        {"double_large", "100000000000000000000.000000"},
        {"string", "as is"},
        {"empty", ""},
    };
    for (const auto& [key, text] : rows) {
        SCOPED_TRACE(key);
        EXPECT_EQ(record.value_as_string(key), text);
    }
}

TEST(MetadataTest, ValueAsStringOfMissingKeyIsOutOfRange) {
    Metadata record;
    record.set<std::int32_t>("present", 1);
    try {
        record.value_as_string("absent key");
        FAIL() << "expected std::out_of_range";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "Key 'absent key' not found.");
    }
}

TEST(MetadataTest, KeysListInUnsignedByteOrder) {
    Metadata record;
    for (const char* key : {"b", "ab", "a", "\xff", "B", "a\x01", ""}) {
        record.set<bool>(key, true);
    }
    // Bytes above 0x7f come after ASCII, a prefix before its extensions.
    const std::vector<std::string> expected = {"", "B", "a", "a\x01", "ab", "b", "\xff"};
    EXPECT_EQ(keys_of(record), expected);
}

TEST(MetadataTest, KeyTypesNameEachAlternative) {
    Metadata record;
    record.set<double>("d", 1.0);
    record.set<std::string>("s", "x");
    record.set<std::uint16_t>("u16", 1);
    record.set<bool>("b", false);
    const std::vector<std::pair<std::string, MetadataType>> expected = {
        {"b", MetadataType::boolean},
        {"d", MetadataType::float64},
        {"s", MetadataType::string},
        {"u16", MetadataType::uint16},
    };
    EXPECT_EQ(record.key_types(), expected);
}

TEST(MetadataTest, MergeReplacesValuesAndKeepsTargetOnlyKeys) {
    Metadata target;
    target.set<std::string>("a", "y");
    target.set<bool>("b", true);
    Metadata source;
    source.set<std::int32_t>("a", 1);
    source.set<std::string>("c", "x");

    target.merge(source);

    EXPECT_EQ(keys_of(target), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(target.find<std::string>("a"), nullptr);
    ASSERT_NE(target.find<std::int32_t>("a"), nullptr);
    EXPECT_EQ(*target.find<std::int32_t>("a"), 1);
    ASSERT_NE(target.find<bool>("b"), nullptr);
    EXPECT_TRUE(*target.find<bool>("b"));
    ASSERT_NE(target.find<std::string>("c"), nullptr);
    EXPECT_EQ(*target.find<std::string>("c"), "x");
    // The source is untouched.
    EXPECT_EQ(source.size(), 2u);

    target.merge(target);
    EXPECT_EQ(target.size(), 3u);
}

TEST(MetadataTest, CopiesAreIndependentAndMovedFromRecordIsEmpty) {
    Metadata original;
    original.set<std::string>("name", "first");
    Metadata copy(original);
    copy.set<std::string>("name", "second");
    EXPECT_EQ(*original.find<std::string>("name"), "first");

    Metadata assigned;
    assigned.set<bool>("other", true);
    assigned = original;
    EXPECT_FALSE(assigned.has("other"));
    EXPECT_EQ(*assigned.find<std::string>("name"), "first");

    Metadata moved(std::move(original));
    EXPECT_EQ(*moved.find<std::string>("name"), "first");
    // The moved-from record stays usable.
    EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(original.has("name"));
    EXPECT_TRUE(original.key_types().empty());
    EXPECT_EQ(original.begin(), original.end());
    original.set<bool>("again", true);
    EXPECT_TRUE(original.has("again"));
    Metadata copy_of_empty(Metadata{});
    EXPECT_TRUE(copy_of_empty.empty());
}
