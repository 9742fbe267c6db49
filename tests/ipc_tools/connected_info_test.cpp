#include "ipc_tools/connected_info.h"

#include <string>

#include <gtest/gtest.h>

using ipc_tools::ConnectedInfo;

TEST(ConnectedInfoTest, ParsesTheConnectedReplyText) {
    for (const char* text : {">client_uid=7>server_version=1.2.3>minimap_version=2.26",
                             ">client_uid=7>server_version=1.2.3>minimap_version=2.26>",
                             ">extra=x>minimap_version=2.26>client_uid=7>server_version=1.2.3"}) {
        SCOPED_TRACE(text);
        const auto info = ConnectedInfo::parse(text);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->client_uid, "7");
        EXPECT_EQ(info->server_version, "1.2.3");
        EXPECT_EQ(info->minimap_version, "2.26");
        EXPECT_EQ(info->device_names, "");
    }
    for (const char* text : {">client_uid=7>server_version=1.2.3", "client_uid=7", "",
                             ">client_uid=7>>server_version=1.2.3>minimap_version=2.26"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ConnectedInfo::parse(text).has_value());
    }
}

TEST(ConnectedInfoTest, TakesSortedUniqueDeviceNamesFromTheStateReport) {
    struct Row {
        const char* what;
        std::string json;
        const char* expected;
    };
    // A parser that recursed once per level would overflow the stack here.
    const std::string deep = R"({"ServerInformation": {"CUDA Devices": )" + std::string(1'000'000, '[');
    const Row rows[] = {
        {"both groups",
         R"({"ServerInformation": {"CUDA Devices": {"0": {"name": "B"}, "1": {"name": "A"}},
                                   "Metal Devices": {"0": {"name": "A"}}}})",
         "A|B"},
        {"metal only", R"({"ServerInformation": {"Metal Devices": {"gpu": {"name": "M1", "cores": 8}}}})", "M1"},
        {"devices without usable names",
         R"({"ServerInformation": {"CUDA Devices": {"0": {"name": 3}, "1": "A", "2": {}, "3": {"name": "Z"}}}})",
         "Z"},
        {"no devices", R"({"ServerInformation": {"Loaded Configs": []}})", ""},
        {"no server information", R"({"CUDA Devices": {"0": {"name": "A"}}})", ""},
        {"server information of the wrong kind", R"({"ServerInformation": "A"})", ""},
        {"not an object", R"(["ServerInformation"])", ""},
        {"not JSON", "{\"ServerInformation\": {", ""},
        {"empty", "", ""},
        {"nested a million levels deep", deep, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ConnectedInfo info;
        info.device_names = "stale";
        ipc_tools::set_device_names(info, row.json);
        EXPECT_EQ(info.device_names, row.expected);
    }
}
