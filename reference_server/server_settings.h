#pragma once

// What the reference server knows and how it misbehaves: its configurations,
// barcode kits, devices, alignment indices and BED files, load delays and
// injected faults. Read from a JSON file or taken from the built-in defaults.
//
// File layout (every member optional; a missing list keeps the defaults):
//   {
//     "server_version": "7.13.6", "minimap_version": "2.0-reference",
//     "configurations": [{"name": "ref_dna_fast", "model_version_id": "...",
//                         "modbase_model_version_id": "", "duplex": false,
//                         "load_delay_ms": 0}],
//     "barcode_kits": [{"kit_name": "...", "first_index": 1, "last_index": 24,
//                       "is_both_ends": false, "has_barcode12a": false,
//                       "normalised_pattern": "barcode%02i"}],
//     "devices": [{"id": "cuda:0", "name": "...", "kind": "cuda"}],
//     "alignment_indices": [{"path": "/ref/a.mmi", "header": "@SQ\t...",
//                            "load_delay_ms": 0}],
//     "bed_files": [{"path": "/ref/a.bed", "load_delay_ms": 0}],
//     "faults": [{"request": "GET_STATISTICS", "action": "reply",
//                 "reply": "BAD_REQUEST", "text": "...", "delay_ms": 0,
//                 "count": 0}],
//     "restart_after_requests": 0
//   }

#include <cstdint>
#include <string>
#include <vector>

#include "ipc_tools/message_type.h"

namespace reference_server {

struct ConfigurationSetting {
    std::string name;
    std::string model_version_id;
    std::string modbase_model_version_id;
    bool duplex = false;
    std::uint32_t load_delay_ms = 0;  // LOAD_CONFIG answers LOADING this long
};

struct BarcodeKitSetting {
    std::string kit_name;
    std::int32_t first_index = 0;
    std::int32_t last_index = 0;
    bool is_both_ends = false;
    bool has_barcode12a = false;
    std::string normalised_pattern;
};

enum class DeviceKind { cuda, metal };

struct DeviceSetting {
    std::string id;  // member name in the internal-state report, e.g. "cuda:0"
    std::string name;
    DeviceKind kind = DeviceKind::cuda;
};

struct IndexSetting {
    std::string path;
    std::string header;  // SAM header text
    std::uint32_t load_delay_ms = 0;
};

struct BedSetting {
    std::string path;
    std::uint32_t load_delay_ms = 0;
};

// How a faulty reply departs from the normal one.
enum class FaultAction {
    reply,               // answer with `reply` and `text` instead
    delay,               // answer normally, but only after `delay_ms`
    short_frame,         // a frame of 4 bytes
    foreign_identifier,  // a well-formed buffer of another protocol version
    corrupt_buffer,      // the right identifier, content that fails verification
    unknown_kind,        // a well-formed reply whose kind no client knows
};

struct FaultRule {
    ipc_tools::MessageType request = ipc_tools::MessageType::UNSET;  // which requests it hits
    FaultAction action = FaultAction::reply;
    ipc_tools::MessageType reply = ipc_tools::MessageType::BAD_REQUEST;  // for `reply`
    std::string text;                                                    // for `reply`
    std::uint32_t delay_ms = 0;                                          // for `delay`
    std::uint32_t count = 0;  // how many requests it hits; 0 means every one
};

struct ServerSettings {
    std::string server_version;
    std::string minimap_version;
    std::vector<ConfigurationSetting> configurations;
    std::vector<BarcodeKitSetting> barcode_kits;
    std::vector<DeviceSetting> devices;
    std::vector<IndexSetting> alignment_indices;
    std::vector<BedSetting> bed_files;
    std::vector<FaultRule> faults;
    // Forget every client once this many requests were answered; 0 never.
    std::uint64_t restart_after_requests = 0;
};

// Two configurations (one duplex), three barcode kits, two devices, one
// alignment index and one BED file; no load delays, no faults.
ServerSettings default_settings();

// Settings from JSON text, starting from the defaults.
// Throws std::runtime_error naming the offending member on bad input.
ServerSettings parse_settings(const std::string& json_text);

// Settings from a JSON file; throws std::runtime_error when it cannot be read.
ServerSettings load_settings(const std::string& path);

// The settings as JSON text in the file layout above.
std::string to_json(const ServerSettings& settings);

// Message kind by its name, as in the settings file; throws for an unknown name.
ipc_tools::MessageType message_type_from_name(const std::string& name);

const char* to_string(FaultAction action);

}  // namespace reference_server
