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
//     "data_plane": {"latency_ms_per_read": 0, "latency_ms_per_1000_samples": 0,
//                    "max_queued_reads": 1000, "max_partial_reads": 64,
//                    "max_read_samples": 100000000, "called_block_bases": 100000,
//                    "max_completed_batch": 16, "split_reads": true, "caller_threads": 1,
//                    "max_pieces_per_read": 256, "max_queued_bytes": 268435456},
//     "faults": [{"request": "GET_STATISTICS", "action": "reply",
//                 "reply": "BAD_REQUEST", "text": "...", "value": 0,
//                 "delay_ms": 0, "count": 0, "client": "", "block_index": -1,
//                 "skip": 0, "every": 1, "once_per_read": false}],
//     "restart_after_requests": 0, "restart_every_requests": 0,
//     "max_clients": 1000, "client_expiry_s": 600,
//     "max_loaded_indices": 4, "max_index_loads": 2
//   }
//
// Unknown members are refused, naming the member and where it stands.

#include <cstddef>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
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
#define CORVANE_REPLY_FAULT(action) action,
#define CORVANE_RESULT_FAULT(action) action,
#include "reference_server/settings/fault_actions.def"
#undef CORVANE_REPLY_FAULT
#undef CORVANE_RESULT_FAULT
};

struct FaultRule {
    FaultRule() = default;
    // The common rules in one line: FaultRule{GET_STATISTICS, FaultAction::reply, BAD_REQUEST, "no", 0, 1}.
    FaultRule(ipc_tools::MessageType request_kind,
              FaultAction fault_action,
              ipc_tools::MessageType reply_kind = ipc_tools::MessageType::BAD_REQUEST,
              std::string reply_text = {},
              std::uint32_t delay = 0,
              std::uint32_t hits = 0)
        : request(request_kind), action(fault_action), reply(reply_kind), text(std::move(reply_text)),
          delay_ms(delay), count(hits) {}

    ipc_tools::MessageType request = ipc_tools::MessageType::UNSET;  // which requests it hits
    FaultAction action = FaultAction::reply;
    ipc_tools::MessageType reply = ipc_tools::MessageType::BAD_REQUEST;  // for `reply`
    std::string text;                                                    // for `reply`
    std::uint32_t delay_ms = 0;  // for `delay`, `stall` and `slow_calling`
    std::uint32_t count = 0;     // how many requests it hits; 0 means every one
    std::int32_t value = 0;      // for `reply`
    // Which of those requests match: of this client (its connection id or
    // its CONNECT client_name; empty: any), of this block index (raw blocks;
    // -1: any). The first `skip` matches pass, then every `every`-th hits.
    std::string client;
    std::int32_t block_index = -1;
    std::uint32_t skip = 0;
    std::uint32_t every = 1;
    // Hit each read (by client and read tag) at most once, and let its
    // resent blocks pass uncounted: NOT_READY once on chosen reads.
    bool once_per_read = false;
};

// The read data plane: calling latency, limits and reply sizes.
constexpr std::uint32_t max_caller_threads = 64;

// Deeper than any JSON the server reads (settings, control commands,
// simulated reads) needs.
constexpr std::size_t max_json_depth = 64;

struct DataPlaneSetting {
    // A read's result is ready this long after its last block arrived:
    // per read, plus per thousand samples.
    std::uint32_t latency_ms_per_read = 0;
    double latency_ms_per_1000_samples = 0.0;
    // Reads of one client accepted and not yet returned; past it a batch or
    // a first block is answered NOT_READY.
    std::uint32_t max_queued_reads = 1000;
    // Reads of one client whose first block came but not yet their last;
    // past it a new first block is answered BAD_REQUEST.
    std::uint32_t max_partial_reads = 64;
    // The longest read a client may declare, in samples.
    std::uint32_t max_read_samples = 100'000'000;
    // Bases per returned block; a longer result continues in
    // RETURN_NEXT_CALLED_BLOCK replies.
    std::uint32_t called_block_bases = 100'000;
    // Results in one RETURN_COMPLETED_BATCH.
    std::uint32_t max_completed_batch = 16;
    // Open-pore gaps split reads into pieces (the stand-in caller's rule).
    bool split_reads = true;
    // Threads that call reads beside the answering; 0 calls each read on
    // the server thread before its push is answered.
    std::uint32_t caller_threads = 1;
    // Pieces one read may be split into; the rest of a read past the last
    // gap allowed stays one last piece, so a signal of gaps cannot make a
    // result of every few samples.
    std::uint32_t max_pieces_per_read = 256;
    // Bytes one client may have the server hold for it: the declared
    // samples of its reads begun, the signal of reads being called, and
    // results until sent, further blocks of long results included. Past
    // it a batch or a first block is answered NOT_READY; a client holding
    // nothing is never refused.
    std::uint64_t max_queued_bytes = 256ULL << 20;
};

// The most the latency per thousand samples may be: beyond it a read's
// latency no longer fits the clock.
constexpr double max_latency_ms_per_1000_samples = 1e6;

struct ServerSettings {
    std::string server_version;
    std::string minimap_version;
    std::vector<ConfigurationSetting> configurations;
    std::vector<BarcodeKitSetting> barcode_kits;
    std::vector<DeviceSetting> devices;
    std::vector<IndexSetting> alignment_indices;
    std::vector<BedSetting> bed_files;
    DataPlaneSetting data_plane;
    std::vector<FaultRule> faults;
    // Forget every client and read once this many requests were answered,
    // and (every) each time this many more were; 0 never.
    std::uint64_t restart_after_requests = 0;
    std::uint64_t restart_every_requests = 0;
    // Clients connected at once; a CONNECT past it is answered BAD_REQUEST.
    std::uint32_t max_clients = 1000;
    // Seconds of silence after which a client whose CONNECT gave no
    // timeout_interval (0) is forgotten with its reads; 0 never.
    std::uint32_t client_expiry_s = 600;
    // Alignment indices kept loaded (the least recently used one goes to
    // make room), and loads running at once (another waits, answered LOADING).
    std::uint32_t max_loaded_indices = 4;
    std::uint32_t max_index_loads = 2;
    // When not empty, LOAD_INDEX and LOAD_BED read files under this folder
    // only (links resolved). Set by --data-root, not by the settings file.
    std::string data_root;
};

// Two configurations (one duplex), three barcode kits, two devices, one
// alignment index and one BED file; no load delays, no faults.
ServerSettings default_settings();

// A fault rule from one JSON object in the layout above ("where" names it
// in errors); the run-time control reads rules the same way.
FaultRule parse_fault_rule(const std::string& json_text, const std::string& where = "fault");

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
