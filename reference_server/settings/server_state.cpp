#include "reference_server/settings/server_state.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <type_traits>
#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "reference_server/settings/utf8_text.h"

namespace reference_server {

// The client makes its paths absolute before sending them, and may resolve
// links while doing so on one request and not on another; "a/./b" and "a/b"
// name the same file either way.
std::string normal_path(const std::string& path) {
    return std::filesystem::path(path).lexically_normal().string();
}

std::string index_key(const std::string& path, const std::string& aligner_options) {
    return normal_path(path) + '\n' + aligner_options;
}

namespace {

// Aligner options are command-line flags; anything else is a mistake the
// server reports instead of loading the index.
bool aligner_options_are_valid(const std::string& options) {
    const auto first = options.find_first_not_of(" \t");
    return first == std::string::npos || options[first] == '-';
}

}  // namespace

std::vector<std::string> kit_names_of(const std::string& text) {
    std::vector<std::string> names;
    std::string current;
    for (const char c : text) {
        if (c == ' ' || c == ',' || c == '\t') {
            if (!current.empty()) {
                names.push_back(std::move(current));
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        names.push_back(std::move(current));
    }
    return names;
}

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void write_string(Writer& writer, const std::string& text) {
    const std::string valid = valid_utf8(text);
    writer.String(valid.c_str(), static_cast<rapidjson::SizeType>(valid.size()));
}

void write_key(Writer& writer, const std::string& key) {
    const std::string valid = valid_utf8(key);
    writer.Key(valid.c_str(), static_cast<rapidjson::SizeType>(valid.size()));
}

void write_member(Writer& writer, const char* key, const std::string& value) {
    writer.Key(key);
    write_string(writer, value);
}

// A member holding a number or a truth value, written in the writer's form
// for its type.
template <class Value>
void write_member(Writer& writer, const char* key, Value value) {
    writer.Key(key);
    if constexpr (std::is_same_v<Value, bool>) {
        writer.Bool(value);
    } else if constexpr (std::is_same_v<Value, std::int32_t>) {
        writer.Int(value);
    } else if constexpr (std::is_same_v<Value, std::uint32_t>) {
        writer.Uint(value);
    } else {
        static_assert(std::is_same_v<Value, std::uint64_t>);
        writer.Uint64(value);
    }
}

void write_devices(Writer& writer, const char* key, const std::vector<DeviceSetting>& devices, DeviceKind kind) {
    writer.Key(key);
    writer.StartObject();
    for (const auto& device : devices) {
        if (device.kind != kind) {
            continue;
        }
        write_key(writer, device.id);
        writer.StartObject();
        write_member(writer, "name", device.name);
        writer.EndObject();
    }
    writer.EndObject();
}

}  // namespace

ServerState::ServerState(ServerSettings settings) : m_settings(std::move(settings)) {}

const ConfigurationSetting* ServerState::find_configuration(const std::string& name) const {
    for (const auto& config : m_settings.configurations) {
        if (config.name == name) {
            return &config;
        }
    }
    return nullptr;
}

LoadOutcome ServerState::advance_load(std::map<std::string, Load>& loads,
                                      const std::string& key,
                                      std::uint32_t delay_ms,
                                      Clock::time_point now) {
    auto [load, started] = loads.try_emplace(key, Load{now + std::chrono::milliseconds(delay_ms), false});
    static_cast<void>(started);
    if (!load->second.ready && now >= load->second.ready_at) {
        load->second.ready = true;
    }
    return load->second.ready ? LoadOutcome::loaded : LoadOutcome::loading;
}

LoadOutcome ServerState::load_config(const std::string& name, Clock::time_point now) {
    const auto* config = find_configuration(name);
    if (!config) {
        return LoadOutcome::unknown;
    }
    std::lock_guard lock(m_mutex);
    return advance_load(m_config_loads, name, config->load_delay_ms, now);
}

LoadOutcome ServerState::load_index(const std::string& path, const std::string& aligner_options, Clock::time_point now) {
    const auto known = std::find_if(m_settings.alignment_indices.begin(), m_settings.alignment_indices.end(),
                                    [&](const IndexSetting& index) { return normal_path(index.path) == normal_path(path); });
    if (known == m_settings.alignment_indices.end()) {
        return LoadOutcome::unknown;
    }
    if (!aligner_options_are_valid(aligner_options)) {
        return LoadOutcome::invalid_options;
    }
    std::lock_guard lock(m_mutex);
    const auto outcome = advance_load(m_index_loads, index_key(path, aligner_options), known->load_delay_ms, now);
    if (outcome == LoadOutcome::loaded) {
        m_index_names.try_emplace(path, normal_path(path));
    }
    return outcome;
}

LoadOutcome ServerState::load_bed(const std::string& path, Clock::time_point now) {
    const auto known = std::find_if(m_settings.bed_files.begin(), m_settings.bed_files.end(),
                                    [&](const BedSetting& bed) { return normal_path(bed.path) == normal_path(path); });
    if (known == m_settings.bed_files.end()) {
        return LoadOutcome::unknown;
    }
    std::lock_guard lock(m_mutex);
    return advance_load(m_bed_loads, normal_path(path), known->load_delay_ms, now);
}

bool ServerState::describes_index(const std::string& path) const {
    return std::any_of(m_settings.alignment_indices.begin(), m_settings.alignment_indices.end(),
                       [&](const IndexSetting& index) { return normal_path(index.path) == normal_path(path); });
}

bool ServerState::describes_bed(const std::string& path) const {
    return std::any_of(m_settings.bed_files.begin(), m_settings.bed_files.end(),
                       [&](const BedSetting& bed) { return normal_path(bed.path) == normal_path(path); });
}

void ServerState::set_disk_index_headers(std::vector<IndexHeaderEntry> headers) {
    std::lock_guard lock(m_mutex);
    m_disk_index_headers = std::move(headers);
}

std::vector<IndexHeaderEntry> ServerState::loaded_index_headers() const {
    std::vector<IndexHeaderEntry> entries;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [requested, normal] : m_index_names) {
            for (const auto& index : m_settings.alignment_indices) {
                if (normal_path(index.path) == normal) {
                    entries.push_back({requested, index.header});
                    break;
                }
            }
        }
        entries.insert(entries.end(), m_disk_index_headers.begin(), m_disk_index_headers.end());
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const IndexHeaderEntry& a, const IndexHeaderEntry& b) { return a.name < b.name; });
    return entries;
}

ConnectOutcome ServerState::connect(const ConnectRequest& request, std::string& client_uid, FilesOnDisk on_disk) {
    std::lock_guard lock(m_mutex);
    const auto config = m_config_loads.find(request.config);
    if (config == m_config_loads.end() || !config->second.ready) {
        return ConnectOutcome::invalid_config;
    }
    for (const auto& kit : kit_names_of(request.barcode_kits)) {
        const bool known = std::any_of(m_settings.barcode_kits.begin(), m_settings.barcode_kits.end(),
                                       [&](const BarcodeKitSetting& setting) { return setting.kit_name == kit; });
        if (!known) {
            return ConnectOutcome::invalid_barcode_kit;
        }
    }
    if (!request.align_ref.empty() && !on_disk.index) {
        const auto index = m_index_loads.find(index_key(request.align_ref, request.minimap_opt_string));
        if (index == m_index_loads.end() || !index->second.ready) {
            return ConnectOutcome::invalid_index;
        }
    }
    if (!request.bed_file.empty() && !on_disk.bed) {
        const auto bed = m_bed_loads.find(normal_path(request.bed_file));
        if (bed == m_bed_loads.end() || !bed->second.ready) {
            return ConnectOutcome::invalid_bed;
        }
    }
    if (m_clients.size() >= m_settings.max_clients) {
        return ConnectOutcome::too_many_clients;
    }
    client_uid = std::to_string(m_next_client_uid++);
    m_clients.push_back({client_uid, request, 0, 0, false, 0, 0, 0});
    m_client_index.emplace(client_uid, std::prev(m_clients.end()));
    return ConnectOutcome::connected;
}

ClientRecord* ServerState::find_client(const std::string& client_uid) {
    const auto found = m_client_index.find(client_uid);
    return found == m_client_index.end() ? nullptr : &*found->second;
}

bool ServerState::disconnect(const std::string& client_uid) {
    std::lock_guard lock(m_mutex);
    const auto found = m_client_index.find(client_uid);
    if (found == m_client_index.end()) {
        return false;
    }
    m_clients.erase(found->second);
    m_client_index.erase(found);
    return true;
}

bool ServerState::knows_client(const std::string& client_uid) const {
    std::lock_guard lock(m_mutex);
    return m_client_index.count(client_uid) != 0;
}

std::string ServerState::client_name(const std::string& client_uid) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_client_index.find(client_uid);
    return found == m_client_index.end() ? std::string() : found->second->request.client_name;
}

bool ServerState::set_no_more_data(const std::string& client_uid) {
    std::lock_guard lock(m_mutex);
    ClientRecord* client = find_client(client_uid);
    if (client != nullptr) {
        client->no_more_data = true;
    }
    return client != nullptr;
}

void ServerState::count_reads(const std::string& client_uid, std::uint32_t reads_in, std::uint32_t reads_out) {
    std::lock_guard lock(m_mutex);
    m_lifetime_reads_in += reads_in;
    m_lifetime_reads_out += reads_out;
    m_period_reads_in += reads_in;
    m_period_reads_out += reads_out;
    if (ClientRecord* client = find_client(client_uid)) {
        client->reads_in += reads_in;
        client->reads_out += reads_out;
    }
}

void ServerState::set_read_backlog(const std::string& client_uid,
                                   std::uint32_t partial_reads,
                                   std::uint32_t reads_pending,
                                   std::uint64_t bytes_held) {
    std::lock_guard lock(m_mutex);
    if (ClientRecord* client = find_client(client_uid)) {
        client->partial_reads = partial_reads;
        client->reads_pending = reads_pending;
        client->bytes_held = bytes_held;
    }
}

void ServerState::forget_clients() {
    std::lock_guard lock(m_mutex);
    m_clients.clear();
    m_client_index.clear();
}

StatisticsSnapshot ServerState::take_statistics() {
    std::lock_guard lock(m_mutex);
    StatisticsSnapshot snapshot{m_lifetime_reads_in, m_lifetime_reads_out, m_period_reads_in, m_period_reads_out, {}};
    for (const auto& client : m_clients) {
        snapshot.clients.emplace_back(client.reads_in, client.reads_out);
    }
    m_period_reads_in = 0;
    m_period_reads_out = 0;
    return snapshot;
}

std::size_t ServerState::client_count() const {
    std::lock_guard lock(m_mutex);
    return m_clients.size();
}

std::vector<ClientRecord> ServerState::clients() const {
    std::lock_guard lock(m_mutex);
    return {m_clients.begin(), m_clients.end()};
}

std::string ServerState::internal_state_json() const {
    // Copies first, so that the text is built outside the lock.
    std::vector<std::string> loaded_configs;
    std::vector<ClientRecord> clients;
    std::uint64_t lifetime_in = 0;
    std::uint64_t lifetime_out = 0;
    std::uint64_t period_in = 0;
    std::uint64_t period_out = 0;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [name, load] : m_config_loads) {
            if (load.ready) {
                loaded_configs.push_back(name);
            }
        }
        clients.assign(m_clients.begin(), m_clients.end());
        lifetime_in = m_lifetime_reads_in;
        lifetime_out = m_lifetime_reads_out;
        period_in = m_period_reads_in;
        period_out = m_period_reads_out;
    }
    const auto indices = loaded_index_headers();

    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("ServerInformation");
    writer.StartObject();
    write_member(writer, "Server Version", m_settings.server_version);
    write_member(writer, "Minimap Version", m_settings.minimap_version);
    write_devices(writer, "CUDA Devices", m_settings.devices, DeviceKind::cuda);
    write_devices(writer, "Metal Devices", m_settings.devices, DeviceKind::metal);
    writer.Key("Loaded Configurations");
    writer.StartArray();
    for (const auto& name : loaded_configs) {
        write_string(writer, name);
    }
    writer.EndArray();
    writer.Key("Loaded Alignment Indices");
    writer.StartArray();
    for (const auto& index : indices) {
        write_string(writer, index.name);
    }
    writer.EndArray();
    writer.Key("Connected Clients");
    writer.StartArray();
    for (const auto& client : clients) {
        writer.StartObject();
        write_member(writer, "client_uid", client.client_uid);
        write_member(writer, "client_name", client.request.client_name);
        write_member(writer, "config", client.request.config);
        write_member(writer, "priority", client.request.priority);
        write_member(writer, "reads_in", client.reads_in);
        write_member(writer, "reads_out", client.reads_out);
        write_member(writer, "partial_reads", client.partial_reads);
        write_member(writer, "reads_pending", client.reads_pending);
        write_member(writer, "bytes_held", client.bytes_held);
        write_member(writer, "no_more_data", client.no_more_data);
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    writer.Key("Statistics");
    writer.StartObject();
    write_member(writer, "lifetime_reads_in", lifetime_in);
    write_member(writer, "lifetime_reads_out", lifetime_out);
    write_member(writer, "period_reads_in", period_in);
    write_member(writer, "period_reads_out", period_out);
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace reference_server
