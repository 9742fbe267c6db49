#include "reference_server/settings/server_settings.h"

#include <fstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

using reference_server::parse_settings;

TEST(ServerSettingsTest, FileOverridesOnlyWhatItNames) {
    const auto settings = parse_settings(R"({
        "server_version": "9.9.9",
        "configurations": [{"name": "cfg_a", "model_version_id": "m@v1", "duplex": true, "load_delay_ms": 250}],
        "devices": [{"id": "metal:0", "name": "M1", "kind": "metal"}],
        "faults": [{"request": "GET_STATISTICS", "action": "reply", "reply": "RETURN_CONFIGS", "count": 2}],
        "restart_after_requests": 10
    })");
    const auto defaults = reference_server::default_settings();
    EXPECT_EQ(settings.server_version, "9.9.9");
    EXPECT_EQ(settings.minimap_version, defaults.minimap_version);
    ASSERT_EQ(settings.configurations.size(), 1u);
    EXPECT_EQ(settings.configurations[0].model_version_id, "m@v1");
    EXPECT_TRUE(settings.configurations[0].duplex);
    EXPECT_EQ(settings.configurations[0].load_delay_ms, 250u);
    EXPECT_EQ(settings.barcode_kits.size(), defaults.barcode_kits.size());
    ASSERT_EQ(settings.devices.size(), 1u);
    EXPECT_EQ(settings.devices[0].kind, reference_server::DeviceKind::metal);
    ASSERT_EQ(settings.faults.size(), 1u);
    EXPECT_EQ(settings.faults[0].request, ipc_tools::MessageType::GET_STATISTICS);
    EXPECT_EQ(settings.faults[0].reply, ipc_tools::MessageType::RETURN_CONFIGS);
    EXPECT_EQ(settings.faults[0].count, 2u);
    EXPECT_EQ(settings.restart_after_requests, 10u);
}

TEST(ServerSettingsTest, WrittenSettingsReadBackTheSame) {
    auto settings = reference_server::default_settings();
    settings.faults.push_back({ipc_tools::MessageType::CONNECT, reference_server::FaultAction::delay,
                               ipc_tools::MessageType::BAD_REQUEST, "t", 500, 3});
    const auto text = reference_server::to_json(settings);
    EXPECT_EQ(reference_server::to_json(parse_settings(text)), text);
}

TEST(ServerSettingsTest, BadInputNamesTheOffendingMember) {
    const struct {
        std::string json;
        std::string message_part;
    } rows[] = {
        {"{", "not valid JSON"},
        {"[]", "settings must be a JSON object"},
        {R"({"server_version": 7})", "settings.server_version must be a string"},
        {R"({"configurations": {}})", "settings.configurations must be a list"},
        {R"({"configurations": [{"name": ""}]})", "settings.configurations[0].name must be a non-empty string"},
        {R"({"configurations": [{"name": "a", "load_delay_ms": -1}]})", "configurations[0].load_delay_ms"},
        {R"({"barcode_kits": [{"kit_name": "k", "first_index": 1.5}]})", "barcode_kits[0].first_index"},
        {R"({"devices": [{"id": "x", "kind": "tpu"}]})", "devices[0].kind must be \"cuda\" or \"metal\""},
        {R"({"faults": [{"request": "PING"}]})", "faults[0]: unknown message kind \"PING\""},
        {R"({"faults": [{"request": "CONNECT", "action": "explode"}]})", "unknown fault action \"explode\""},
        {R"({"restart_after_requests": "often"})", "restart_after_requests"},
        {R"({"fault": []})", "settings: unknown member \"fault\""},
        {R"({"data_plane": {"latency_ms": 5}})", "settings.data_plane: unknown member \"latency_ms\""},
        {R"({"data_plane": {"latency_ms_per_1000_samples": -1}})",
         "settings.data_plane.latency_ms_per_1000_samples must be a non-negative number"},
        {R"({"data_plane": {"called_block_bases": 0}})", "called_block_bases and max_completed_batch must be at least 1"},
        {R"({"data_plane": {"caller_threads": 65}})", "caller_threads may be at most 64"},
        {R"({"faults": [{"request": "CONNECT", "every": 0}]})", "settings.faults[0].every must be at least 1"},
        {R"({"faults": [{"request": "CONNECT", "action": "delay", "delay": 5}]})",
         "settings.faults[0]: unknown member \"delay\""},
        {R"({"configurations": [{"name": "a"}, {"name": "b", "duplx": true}]})",
         "settings.configurations[1]: unknown member \"duplx\""},
        {std::string(3'000'000, '['), "not valid JSON (offset 64): nested deeper than 64 levels"},
        // Values a server would start with and then refuse every read or
        // client with, or misread.
        {R"({"configurations": []})", "settings.configurations must hold at least one configuration"},
        {R"({"data_plane": {"max_read_samples": 0}})", "settings.data_plane.max_read_samples must be at least 1"},
        {R"({"data_plane": {"max_queued_reads": 0}})", "settings.data_plane.max_queued_reads must be at least 1"},
        {R"({"data_plane": {"latency_ms_per_1000_samples": 1e17}})",
         "settings.data_plane.latency_ms_per_1000_samples may be at most 1000000"},
        {R"({"data_plane": {"max_pieces_per_read": 0}})", "settings.data_plane.max_pieces_per_read must be at least 1"},
        {R"({"data_plane": {"max_queued_bytes": 0}})", "settings.data_plane.max_queued_bytes must be at least 1"},
        {R"({"max_clients": 0})", "settings.max_clients must be at least 1"},
        {R"({"client_expiry_s": -1})", "settings.client_expiry_s must be a non-negative 32-bit integer"},
        {R"({"max_loaded_indices": 0})", "settings.max_loaded_indices must be at least 1"},
        {R"({"max_index_loads": 0})", "settings.max_index_loads must be at least 1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.json);
        try {
            parse_settings(row.json);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(row.message_part), std::string::npos) << error.what();
        }
    }
}

TEST(ServerSettingsTest, MissingFileIsAClearError) {
    test_support::TempDir folder;
    EXPECT_THROW(reference_server::load_settings(folder.file("absent.json")), std::runtime_error);
    try {
        reference_server::load_settings(folder.path().string());
        ADD_FAILURE() << "a folder was read as settings";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "cannot read settings file " + folder.path().string() + ": it is a folder");
    }
    std::ofstream(folder.file("s.json")) << R"({"minimap_version": "x"})";
    EXPECT_EQ(reference_server::load_settings(folder.file("s.json")).minimap_version, "x");
}
