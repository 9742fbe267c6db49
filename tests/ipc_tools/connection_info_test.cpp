#include "ipc_tools/connection_info.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ipc_tools/key_value_text.h"
#include "support/temp_dir.h"

using ipc_tools::ConnectionInfo;
using KeyValues = std::map<std::string, std::string>;

TEST(KeyValueTextTest, ParsesItemsAndRefusesBrokenTexts) {
    struct Row {
        const char* text;
        std::optional<KeyValues> expected;
    };
    const Row rows[] = {
        {"", KeyValues{}},
        {">a=1>b=2", KeyValues{{"a", "1"}, {"b", "2"}}},
        {">a=1=2", KeyValues{{"a", "1=2"}}},
        {">a=1>a=3", KeyValues{{"a", "3"}}},
        {">a=", KeyValues{{"a", ""}}},
        {">a=1>", KeyValues{{"a", "1"}}},
        {">config=-k 15 -w 10", KeyValues{{"config", "-k 15 -w 10"}}},
        {"client_uid=7", std::nullopt},
        {">a=1>>b=2", std::nullopt},
        {">a=1>>", std::nullopt},
        {">=1", std::nullopt},
        {">a", std::nullopt},
        {">a=1>b", std::nullopt},
        {">", std::nullopt},
        {"x>a=1", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(ipc_tools::parse_key_values(row.text), row.expected);
    }
}

TEST(KeyValueTextTest, WrittenItemsParseBack) {
    const KeyValues items = {{"client_uid", "7"}, {"empty", ""}, {"with_equals", "a=b=c"}, {"z", "last"}};
    std::string text;
    for (const auto& [key, value] : items) {
        text += ipc_tools::key_value_text(key, value);
    }
    EXPECT_EQ(ipc_tools::parse_key_values(text), items);
    EXPECT_EQ(ipc_tools::key_value_text("n", std::numeric_limits<std::uint64_t>::max()),
              ">n=18446744073709551615");
}

TEST(ConnectTextTest, WritesTheClientAndTheParametersTheServerTakes) {
    ConnectionInfo info;
    info.config = "cfg_a";
    info.client_name = "run7";
    info.timeout_interval = 30;
    info.params.set("move_enabled", true);
    EXPECT_EQ(ipc_tools::to_connect_text(info), "cfg_a:>timeout_interval=30>client_name=run7>move_enabled=1");

    ConnectionInfo bare;
    bare.config = "cfg_b";
    bare.client_name = "";
    bare.params.set("query_timeout", std::uint32_t{2000});  // not for the server
    EXPECT_EQ(ipc_tools::to_connect_text(bare), "cfg_b:>timeout_interval=0>client_name=");

    // Set out of order and of every kind of value; sent in the server's order.
    ConnectionInfo full;
    full.config = "dna_r10";
    full.client_name = "c";
    full.timeout_interval = 15000;
    full.params.set("poly_a_config", "/cfg/poly.toml");
    full.params.set("chunk_size", std::int32_t{-3});
    full.params.set("barcode_kits", "KIT-1 KIT-2");
    full.params.set("trim_adapters", false);
    full.params.set("estimate_poly_a", std::uint8_t{1});
    full.params.set("pair_by_channel", std::int8_t{-1});
    full.params.set("barcode_list", "a,b");
    full.params.set("minimap_opt_string", "-k 15");
    full.params.set("require_barcodes_both_ends", true);
    full.params.set("enable_trim_barcodes", 0.5F);
    full.params.set("trim_primers", std::uint64_t{7});
    full.params.set("align_ref", "/ref/x.mmi");
    full.params.set("bed_file", "/ref/x.bed");
    full.params.set("move_enabled", 2.25);
    full.params.set("max_reads_queued", std::uint64_t{20});
    EXPECT_EQ(ipc_tools::to_connect_text(full),
              "dna_r10:>timeout_interval=15000>client_name=c"
              ">barcode_kits=KIT-1 KIT-2>require_barcodes_both_ends=1>enable_trim_barcodes=0.500000"
              ">trim_adapters=0>trim_primers=7>align_ref=/ref/x.mmi>bed_file=/ref/x.bed"
              ">minimap_opt_string=-k 15>move_enabled=2.250000>barcode_list=a,b>pair_by_channel=-1"
              ">chunk_size=-3>estimate_poly_a=1>poly_a_config=/cfg/poly.toml");
}

TEST(ConnectTextTest, MakesPathsAbsoluteFirst) {
    test_support::TempDir dir;
    const std::string index = dir.file("ref.mmi");
    std::ofstream(index) << "index";
    const std::string relative_index =
        std::filesystem::relative(index, std::filesystem::current_path()).string();
    ASSERT_FALSE(std::filesystem::path(relative_index).is_absolute());

    ConnectionInfo info;
    info.config = "cfg";
    info.align_ref = relative_index;
    info.bed_file = "/absent/but/absolute.bed";
    static_cast<void>(ipc_tools::to_connect_text(info));
    EXPECT_EQ(info.align_ref, std::filesystem::canonical(index).string());
    EXPECT_EQ(info.bed_file, "/absent/but/absolute.bed");

    ConnectionInfo missing;
    missing.bed_file = "no_such_dir/regions.bed";
    try {
        static_cast<void>(ipc_tools::to_connect_text(missing));
        ADD_FAILURE() << "a missing relative path was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Error while converting relative path no_such_dir/regions.bed to file: "
                  "No such file or directory");
    }
    EXPECT_EQ(missing.bed_file, "no_such_dir/regions.bed");
}

TEST(LoadIndexTextTest, AppendsAlignerOptionsOnlyWhenThereAreAny) {
    ConnectionInfo info;
    info.align_ref = "/data/ref.mmi";
    EXPECT_EQ(ipc_tools::to_load_index_text(info), "/data/ref.mmi");
    info.minimap_opt_string = "-k 15";
    EXPECT_EQ(ipc_tools::to_load_index_text(info), "/data/ref.mmi:>minimap_opt_string=-k 15");
}

// A '>' would make the server read one value as several items, a ':' would
// cut the configuration name short: such values are refused, by name, and
// never written.
TEST(ConnectTextTest, RefusesValuesThatWouldBeReadAsMoreThanOne) {
    struct Row {
        const char* what;
        void (*spoil)(ConnectionInfo&);
        const char* refusal;
    };
    const std::string angle = " must not contain '>', which separates the items of a connection text";
    const Row rows[] = {
        {"client name", [](ConnectionInfo& i) { i.client_name = "run7>move_enabled=1>chunk_size=1"; }, "client_name"},
        {"config with '>'", [](ConnectionInfo& i) { i.config = "cfg>chunk_size=1"; }, "config"},
        {"config with ':'", [](ConnectionInfo& i) { i.config = "cfg:x"; }, nullptr},
        {"kits field", [](ConnectionInfo& i) { i.barcode_kits = "KIT>x=1"; }, "barcode_kits"},
        {"index path", [](ConnectionInfo& i) { i.align_ref = "/ref/a>b.mmi"; }, "align_ref"},
        {"aligner options", [](ConnectionInfo& i) { i.minimap_opt_string = "-k 15>x=1"; }, "minimap_opt_string"},
        {"bed path", [](ConnectionInfo& i) { i.bed_file = "/ref/a>b.bed"; }, "bed_file"},
        {"kits parameter", [](ConnectionInfo& i) { i.params.set("barcode_kits", "K>move_enabled=1"); }, "barcode_kits"},
        {"barcode list", [](ConnectionInfo& i) { i.params.set("barcode_list", "a>b"); }, "barcode_list"},
        {"poly tail config", [](ConnectionInfo& i) { i.params.set("poly_a_config", "/p>q"); }, "poly_a_config"},
        {"aligner options parameter", [](ConnectionInfo& i) { i.params.set("minimap_opt_string", ">x=1"); },
         "minimap_opt_string"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ConnectionInfo info;
        info.config = "cfg";
        info.client_name = "run7";
        row.spoil(info);
        const std::string expected =
            row.refusal ? row.refusal + angle : "config must not contain ':', which ends the configuration name";
        EXPECT_EQ(ipc_tools::connection_text_refusal(info), expected);
        try {
            const auto text = ipc_tools::to_connect_text(info);
            ADD_FAILURE() << "written: " << text;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), expected);
        }
    }

    // A '>' in a parameter the server is not sent does no harm, nor do the
    // characters the grammar allows in values.
    ConnectionInfo fine;
    fine.config = "cfg";
    fine.client_name = "run=7 a:b";
    fine.params.set("sample_id", "x>y");
    EXPECT_EQ(ipc_tools::connection_text_refusal(fine), std::nullopt);
    EXPECT_EQ(ipc_tools::to_connect_text(fine), "cfg:>timeout_interval=0>client_name=run=7 a:b");
}

TEST(KeyValueTextTest, RefusesToWriteAnItemThatWouldNotParseBack) {
    EXPECT_THROW(ipc_tools::key_value_text("client_name", "a>b=1"), std::invalid_argument);
    EXPECT_THROW(ipc_tools::key_value_text("", "1"), std::invalid_argument);
    EXPECT_THROW(ipc_tools::key_value_text("a=b", "1"), std::invalid_argument);
    EXPECT_THROW(ipc_tools::key_value_text("a>b", "1"), std::invalid_argument);

    ConnectionInfo info;
    info.align_ref = "/data/ref.mmi";
    info.minimap_opt_string = "-k 15>x=1";
    EXPECT_THROW(ipc_tools::to_load_index_text(info), std::invalid_argument);
    info.minimap_opt_string.clear();
    info.align_ref = "/data/a>b.mmi";
    EXPECT_THROW(ipc_tools::to_load_index_text(info), std::invalid_argument);
}
