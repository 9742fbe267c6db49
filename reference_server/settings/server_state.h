#pragma once

// What a reference server remembers between requests: which files it has
// loaded (or is still loading), which clients are connected, and its read
// counters. It decides the outcome of each control request; turning that
// outcome into a reply is the request handler's job.
//
// The server thread changes it; any thread may read from it (tests look at
// it while the server runs). Every member is guarded by one mutex.

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "reference_server/settings/server_settings.h"

namespace reference_server {

enum class LoadOutcome {
    loaded,           // ready for clients
    loading,          // still inside its load delay; ask again
    unknown,          // not among the settings
    invalid_options,  // aligner options the server does not accept
};

// What a CONNECT text asks for.
struct ConnectRequest {
    std::string config;
    std::string client_name;
    std::int32_t priority = 1;
    std::string barcode_kits;  // kit names separated by blanks or commas
    std::string align_ref;
    std::string minimap_opt_string;
    std::string bed_file;
    // Seconds without a request after which the server forgets the client; 0 never.
    std::uint32_t timeout_interval = 0;
    bool estimate_poly_a = false;
};

// A file path as loads are keyed by: lexically normal, so that "a/./b" and
// "a/b" name one file.
std::string normal_path(const std::string& path);
// The key of an index load: its normal path and aligner options joined by
// '\n', since the options may change the index.
std::string index_key(const std::string& path, const std::string& aligner_options);

// Kit names of a CONNECT barcode_kits text, separated by blanks or commas.
std::vector<std::string> kit_names_of(const std::string& text);

enum class ConnectOutcome {
    connected,
    invalid_config,
    invalid_barcode_kit,
    invalid_index,
    invalid_bed,
    too_many_clients,  // max_clients are connected already
};

struct ClientRecord {
    std::string client_uid;
    ConnectRequest request;
    std::uint32_t reads_in = 0;
    std::uint32_t reads_out = 0;
    bool no_more_data = false;
    // Reported by the data plane after each of the client's read requests.
    std::uint32_t partial_reads = 0;  // first block received, not yet the last
    std::uint32_t reads_pending = 0;  // accepted, results not all returned
    std::uint64_t bytes_held = 0;     // what the server holds for it, against max_queued_bytes
};

struct StatisticsSnapshot {
    std::uint64_t lifetime_reads_in = 0;
    std::uint64_t lifetime_reads_out = 0;
    std::uint64_t period_reads_in = 0;
    std::uint64_t period_reads_out = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> clients;  // in, out per client
};

// Which of a CONNECT's files are loaded from disk (the alignment service
// knows): those are not looked for among the simulated ones.
struct FilesOnDisk {
    bool index = false;
    bool bed = false;
};

struct IndexHeaderEntry {
    std::string name;
    std::string header;
};

class ServerState {
public:
    using Clock = std::chrono::steady_clock;

    explicit ServerState(ServerSettings settings);

    // Immutable after construction; any thread.
    const ServerSettings& settings() const { return m_settings; }
    const ConfigurationSetting* find_configuration(const std::string& name) const;

    // Server thread. The first request for a file starts its load delay.
    LoadOutcome load_config(const std::string& name, Clock::time_point now);
    LoadOutcome load_index(const std::string& path, const std::string& aligner_options, Clock::time_point now);
    LoadOutcome load_bed(const std::string& path, Clock::time_point now);

    // Whether the settings describe a simulated index or BED file of this path.
    bool describes_index(const std::string& path) const;
    bool describes_bed(const std::string& path) const;

    // Server thread. The indices loaded from disk rather than described by
    // the settings, named as clients asked for them, with their SAM
    // headers; replaces the previous list.
    void set_disk_index_headers(std::vector<IndexHeaderEntry> headers);

    // Loaded indices, simulated and from disk, named as the clients asked
    // for them, in the order of their names.
    std::vector<IndexHeaderEntry> loaded_index_headers() const;

    // Server thread. On success `client_uid` is a fresh id, never reused by
    // this server, not even after a restart.
    ConnectOutcome connect(const ConnectRequest& request, std::string& client_uid, FilesOnDisk on_disk = {});
    bool disconnect(const std::string& client_uid);
    bool knows_client(const std::string& client_uid) const;
    // The client_name a connected client gave; empty for an unknown id.
    std::string client_name(const std::string& client_uid) const;
    bool set_no_more_data(const std::string& client_uid);
    void count_reads(const std::string& client_uid, std::uint32_t reads_in, std::uint32_t reads_out);
    void set_read_backlog(const std::string& client_uid,
                          std::uint32_t partial_reads,
                          std::uint32_t reads_pending,
                          std::uint64_t bytes_held);
    // What a restart does to clients: they are all forgotten. Loaded files stay.
    void forget_clients();

    // The counters; the period restarts with every call.
    StatisticsSnapshot take_statistics();

    // Any thread.
    std::size_t client_count() const;
    std::vector<ClientRecord> clients() const;
    // The internal-state report: a JSON object with a "ServerInformation" member.
    std::string internal_state_json() const;

private:
    struct Load {
        Clock::time_point ready_at;
        bool ready = false;
    };

    LoadOutcome advance_load(std::map<std::string, Load>& loads,
                             const std::string& key,
                             std::uint32_t delay_ms,
                             Clock::time_point now);

    const ServerSettings m_settings;

    mutable std::mutex m_mutex;
    std::map<std::string, Load> m_config_loads;  // guarded by m_mutex; by name
    // guarded by m_mutex; by index path and aligner options joined by '\n'
    std::map<std::string, Load> m_index_loads;
    std::map<std::string, Load> m_bed_loads;            // guarded by m_mutex; by path
    // guarded by m_mutex; each loaded simulated index as a client asked for it -> its normal path
    std::map<std::string, std::string> m_index_names;
    std::vector<IndexHeaderEntry> m_disk_index_headers;  // guarded by m_mutex
    // Found by id, listed in connection order: a lookup per request must
    // not walk every client.
    ClientRecord* find_client(const std::string& client_uid);  // under m_mutex
    std::list<ClientRecord> m_clients;                         // guarded by m_mutex; connection order
    std::unordered_map<std::string, std::list<ClientRecord>::iterator> m_client_index;  // guarded by m_mutex
    std::uint64_t m_next_client_uid = 1;                // guarded by m_mutex
    std::uint64_t m_lifetime_reads_in = 0;              // guarded by m_mutex
    std::uint64_t m_lifetime_reads_out = 0;             // guarded by m_mutex
    std::uint64_t m_period_reads_in = 0;                // guarded by m_mutex
    std::uint64_t m_period_reads_out = 0;               // guarded by m_mutex
};

}  // namespace reference_server
