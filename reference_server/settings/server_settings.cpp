#include "reference_server/settings/server_settings.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "corvane_version.h"
#include "ipc_tools/bounded_json.h"

namespace reference_server {

namespace {

struct FaultActionName {
    FaultAction action;
    const char* name;
};

constexpr FaultActionName fault_action_names[] = {
#define CORVANE_REPLY_FAULT(action) {FaultAction::action, #action},
#define CORVANE_RESULT_FAULT(action) {FaultAction::action, #action},
#include "reference_server/settings/fault_actions.def"
#undef CORVANE_REPLY_FAULT
#undef CORVANE_RESULT_FAULT
};

FaultAction fault_action_from_name(const std::string& name) {
    for (const auto& entry : fault_action_names) {
        if (name == entry.name) {
            return entry.action;
        }
    }
    throw std::runtime_error("unknown fault action \"" + name + "\"");
}

// The members of each part of the settings file, in the file's order, each
// named once: parse_settings reads and to_json writes through these lists.
// `visit(key, member)` is called for every member; S is the part, const
// when writing.
template <class S, class Part>
concept settings_part = std::is_same_v<std::remove_const_t<S>, Part>;

template <settings_part<ConfigurationSetting> S, class Visit>
void members(S& config, Visit&& visit) {
    visit("name", config.name);
    visit("model_version_id", config.model_version_id);
    visit("modbase_model_version_id", config.modbase_model_version_id);
    visit("duplex", config.duplex);
    visit("load_delay_ms", config.load_delay_ms);
}

template <settings_part<BarcodeKitSetting> S, class Visit>
void members(S& kit, Visit&& visit) {
    visit("kit_name", kit.kit_name);
    visit("first_index", kit.first_index);
    visit("last_index", kit.last_index);
    visit("is_both_ends", kit.is_both_ends);
    visit("has_barcode12a", kit.has_barcode12a);
    visit("normalised_pattern", kit.normalised_pattern);
}

template <settings_part<DeviceSetting> S, class Visit>
void members(S& device, Visit&& visit) {
    visit("id", device.id);
    visit("name", device.name);
    visit("kind", device.kind);
}

template <settings_part<IndexSetting> S, class Visit>
void members(S& index, Visit&& visit) {
    visit("path", index.path);
    visit("header", index.header);
    visit("load_delay_ms", index.load_delay_ms);
}

template <settings_part<BedSetting> S, class Visit>
void members(S& bed, Visit&& visit) {
    visit("path", bed.path);
    visit("load_delay_ms", bed.load_delay_ms);
}

template <settings_part<DataPlaneSetting> S, class Visit>
void members(S& data_plane, Visit&& visit) {
    visit("latency_ms_per_read", data_plane.latency_ms_per_read);
    visit("latency_ms_per_1000_samples", data_plane.latency_ms_per_1000_samples);
    visit("max_queued_reads", data_plane.max_queued_reads);
    visit("max_partial_reads", data_plane.max_partial_reads);
    visit("max_read_samples", data_plane.max_read_samples);
    visit("called_block_bases", data_plane.called_block_bases);
    visit("max_completed_batch", data_plane.max_completed_batch);
    visit("split_reads", data_plane.split_reads);
    visit("caller_threads", data_plane.caller_threads);
    visit("max_pieces_per_read", data_plane.max_pieces_per_read);
    visit("max_queued_bytes", data_plane.max_queued_bytes);
}

template <settings_part<FaultRule> S, class Visit>
void members(S& rule, Visit&& visit) {
    visit("request", rule.request);
    visit("action", rule.action);
    visit("reply", rule.reply);
    visit("text", rule.text);
    visit("value", rule.value);
    visit("delay_ms", rule.delay_ms);
    visit("count", rule.count);
    visit("client", rule.client);
    visit("block_index", rule.block_index);
    visit("skip", rule.skip);
    visit("every", rule.every);
    visit("once_per_read", rule.once_per_read);
}

// data_root is not among them: --data-root sets it, not the file.
template <settings_part<ServerSettings> S, class Visit>
void members(S& settings, Visit&& visit) {
    visit("server_version", settings.server_version);
    visit("minimap_version", settings.minimap_version);
    visit("configurations", settings.configurations);
    visit("barcode_kits", settings.barcode_kits);
    visit("devices", settings.devices);
    visit("alignment_indices", settings.alignment_indices);
    visit("bed_files", settings.bed_files);
    visit("data_plane", settings.data_plane);
    visit("faults", settings.faults);
    visit("restart_after_requests", settings.restart_after_requests);
    visit("restart_every_requests", settings.restart_every_requests);
    visit("max_clients", settings.max_clients);
    visit("client_expiry_s", settings.client_expiry_s);
    visit("max_loaded_indices", settings.max_loaded_indices);
    visit("max_index_loads", settings.max_index_loads);
}

const char* device_kind_name(DeviceKind kind) { return kind == DeviceKind::cuda ? "cuda" : "metal"; }

// Member readers: each names the member it complains about, so that a user
// finds the mistake in a hand-written file.
class ObjectReader {
public:
    ObjectReader(const rapidjson::Value& object, std::string where) : m_object(object), m_where(std::move(where)) {
        if (!m_object.IsObject()) {
            throw std::runtime_error(m_where + " must be a JSON object");
        }
    }

    const rapidjson::Value* find(const char* key) const {
        m_known.insert(key);
        const auto member = m_object.FindMember(key);
        return member == m_object.MemberEnd() ? nullptr : &member->value;
    }

    void read(const char* key, std::string& out) const {
        if (const auto* value = find(key)) {
            if (!value->IsString()) {
                throw std::runtime_error(m_where + "." + key + " must be a string");
            }
            out.assign(value->GetString(), value->GetStringLength());
        }
    }

    void read(const char* key, bool& out) const {
        if (const auto* value = find(key)) {
            if (!value->IsBool()) {
                throw std::runtime_error(m_where + "." + key + " must be true or false");
            }
            out = value->GetBool();
        }
    }

    void read(const char* key, std::int32_t& out) const {
        if (const auto* value = find(key)) {
            if (!value->IsInt()) {
                throw std::runtime_error(m_where + "." + key + " must be a 32-bit integer");
            }
            out = value->GetInt();
        }
    }

    void read(const char* key, std::uint32_t& out) const {
        if (const auto* value = find(key)) {
            if (!value->IsUint()) {
                throw std::runtime_error(m_where + "." + key + " must be a non-negative 32-bit integer");
            }
            out = value->GetUint();
        }
    }

    void read(const char* key, double& out) const {
        if (const auto* value = find(key)) {
            if (!value->IsNumber() || value->GetDouble() < 0) {
                throw std::runtime_error(m_where + "." + key + " must be a non-negative number");
            }
            out = value->GetDouble();
        }
    }

    // A nested object member, read by read_members when present.
    template <class ReadMembers>
    void read_object(const char* key, ReadMembers read_members) const {
        if (const auto* value = find(key)) {
            const ObjectReader item(*value, m_where + "." + key);
            read_members(item);
            item.refuse_unknown_members();
        }
    }

    void read(const char* key, std::uint64_t& out) const {
        if (const auto* value = find(key)) {
            if (!value->IsUint64()) {
                throw std::runtime_error(m_where + "." + key + " must be a non-negative integer");
            }
            out = value->GetUint64();
        }
    }

    // A list member replaces the default list when present.
    template <class Item, class ReadItem>
    void read_list(const char* key, std::vector<Item>& out, ReadItem read_item) const {
        const auto* value = find(key);
        if (!value) {
            return;
        }
        if (!value->IsArray()) {
            throw std::runtime_error(m_where + "." + key + " must be a list");
        }
        std::vector<Item> items;
        for (rapidjson::SizeType i = 0; i < value->Size(); ++i) {
            const ObjectReader item((*value)[i], m_where + "." + key + "[" + std::to_string(i) + "]");
            items.push_back(read_item(item));
            item.refuse_unknown_members();
        }
        out = std::move(items);
    }

    const std::string& where() const { return m_where; }

    // A misspelt member ("fault" for "faults") would otherwise be ignored
    // and leave its default in place without a word.
    void refuse_unknown_members() const {
        for (auto member = m_object.MemberBegin(); member != m_object.MemberEnd(); ++member) {
            const std::string name(member->name.GetString(), member->name.GetStringLength());
            if (m_known.count(name) == 0) {
                throw std::runtime_error(m_where + ": unknown member \"" + name + "\"");
            }
        }
    }

private:
    const rapidjson::Value& m_object;
    std::string m_where;
    mutable std::set<std::string> m_known;  // members asked for so far
};

// A count whose 0 would make the server refuse everything it is sent.
template <typename Number>
void require_at_least_one(Number value, const ObjectReader& reader, const char* key) {
    if (value == 0) {
        throw std::runtime_error(reader.where() + "." + key + " must be at least 1");
    }
}

void require_name(const std::string& value, const ObjectReader& reader, const char* key) {
    if (value.empty()) {
        throw std::runtime_error(reader.where() + "." + key + " must be a non-empty string");
    }
}

// The rules a part must keep beyond its members' types, checked once all
// its members are read.
void check(const ConfigurationSetting& config, const ObjectReader& reader) { require_name(config.name, reader, "name"); }

void check(const BarcodeKitSetting& kit, const ObjectReader& reader) { require_name(kit.kit_name, reader, "kit_name"); }

void check(const DeviceSetting& device, const ObjectReader& reader) { require_name(device.id, reader, "id"); }

void check(const IndexSetting& index, const ObjectReader& reader) { require_name(index.path, reader, "path"); }

void check(const BedSetting& bed, const ObjectReader& reader) { require_name(bed.path, reader, "path"); }

void check(const DataPlaneSetting& data_plane, const ObjectReader& reader) {
    if (data_plane.latency_ms_per_1000_samples > max_latency_ms_per_1000_samples) {
        throw std::runtime_error(reader.where() + ".latency_ms_per_1000_samples may be at most 1000000");
    }
    require_at_least_one(data_plane.max_queued_reads, reader, "max_queued_reads");
    require_at_least_one(data_plane.max_read_samples, reader, "max_read_samples");
    require_at_least_one(data_plane.max_pieces_per_read, reader, "max_pieces_per_read");
    require_at_least_one(data_plane.max_queued_bytes, reader, "max_queued_bytes");
    if (data_plane.called_block_bases == 0 || data_plane.max_completed_batch == 0) {
        throw std::runtime_error(reader.where() + ": called_block_bases and max_completed_batch must be at least 1");
    }
    if (data_plane.caller_threads > max_caller_threads) {
        throw std::runtime_error(reader.where() + ": caller_threads may be at most " +
                                 std::to_string(max_caller_threads));
    }
}

void check(const FaultRule& rule, const ObjectReader& reader) {
    if (rule.every == 0) {
        throw std::runtime_error(reader.where() + ".every must be at least 1");
    }
}

void check(const ServerSettings& settings, const ObjectReader& reader) {
    require_at_least_one(settings.max_clients, reader, "max_clients");
    require_at_least_one(settings.max_loaded_indices, reader, "max_loaded_indices");
    require_at_least_one(settings.max_index_loads, reader, "max_index_loads");
    if (settings.configurations.empty()) {
        throw std::runtime_error("settings.configurations must hold at least one configuration");
    }
}

template <class Part>
void read_part(const ObjectReader& reader, Part& part);

// One member of a part, by its type; a missing member keeps what `out` holds.
template <class Value>
void read_member(const ObjectReader& reader, const char* key, Value& out) {
    reader.read(key, out);
}

void read_member(const ObjectReader& reader, const char* key, DeviceKind& out) {
    std::string kind = device_kind_name(out);
    reader.read(key, kind);
    if (kind == "cuda") {
        out = DeviceKind::cuda;
    } else if (kind == "metal") {
        out = DeviceKind::metal;
    } else {
        throw std::runtime_error(reader.where() + "." + key + " must be \"cuda\" or \"metal\"");
    }
}

// Names, as the settings file writes message kinds and fault actions. A
// rule's request has no default: a rule without one names none.
template <class Enum, class FromName>
void read_name(const ObjectReader& reader, const char* key, Enum& out, std::string name, FromName from_name) {
    reader.read(key, name);
    try {
        out = from_name(name);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(reader.where() + ": " + error.what());
    }
}

void read_member(const ObjectReader& reader, const char* key, ipc_tools::MessageType& out) {
    read_name(reader, key, out, out == ipc_tools::MessageType::UNSET ? "" : ipc_tools::to_string(out),
              message_type_from_name);
}

void read_member(const ObjectReader& reader, const char* key, FaultAction& out) {
    read_name(reader, key, out, to_string(out), fault_action_from_name);
}

void read_member(const ObjectReader& reader, const char* key, DataPlaneSetting& out) {
    reader.read_object(key, [&out](const ObjectReader& item) { read_part(item, out); });
}

template <class Item>
void read_member(const ObjectReader& reader, const char* key, std::vector<Item>& out) {
    reader.read_list(key, out, [](const ObjectReader& item) {
        Item part;
        read_part(item, part);
        return part;
    });
}

template <class Part>
void read_part(const ObjectReader& reader, Part& part) {
    members(part, [&reader](const char* key, auto& member) { read_member(reader, key, member); });
    check(part, reader);
}

rapidjson::Document parse_json(const std::string& json_text, const char* what) {
    rapidjson::Document document;
    const ipc_tools::JsonRefusal refusal = ipc_tools::parse_bounded_json(json_text, document, max_json_depth);
    if (!refusal.reason.empty()) {
        throw std::runtime_error(std::string(what) + " are not valid JSON (offset " + std::to_string(refusal.offset) +
                                 "): " + refusal.reason);
    }
    return document;
}

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

void write_member(Writer& writer, const char* key, const std::string& value) {
    writer.Key(key);
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

void write_member(Writer& writer, const char* key, bool value) {
    writer.Key(key);
    writer.Bool(value);
}

void write_member(Writer& writer, const char* key, std::int32_t value) {
    writer.Key(key);
    writer.Int(value);
}

void write_member(Writer& writer, const char* key, std::uint32_t value) {
    writer.Key(key);
    writer.Uint(value);
}

void write_member(Writer& writer, const char* key, std::uint64_t value) {
    writer.Key(key);
    writer.Uint64(value);
}

void write_member(Writer& writer, const char* key, double value) {
    writer.Key(key);
    writer.Double(value);
}

void write_member(Writer& writer, const char* key, DeviceKind kind) {
    write_member(writer, key, std::string(device_kind_name(kind)));
}

void write_member(Writer& writer, const char* key, ipc_tools::MessageType type) {
    write_member(writer, key, std::string(ipc_tools::to_string(type)));
}

void write_member(Writer& writer, const char* key, FaultAction action) {
    write_member(writer, key, std::string(to_string(action)));
}

template <class Part>
void write_part(Writer& writer, const Part& part);

void write_member(Writer& writer, const char* key, const DataPlaneSetting& data_plane) {
    writer.Key(key);
    write_part(writer, data_plane);
}

// key: [ {members of the first item}, ... ]
template <class Item>
void write_member(Writer& writer, const char* key, const std::vector<Item>& items) {
    writer.Key(key);
    writer.StartArray();
    for (const auto& item : items) {
        write_part(writer, item);
    }
    writer.EndArray();
}

template <class Part>
void write_part(Writer& writer, const Part& part) {
    writer.StartObject();
    members(part, [&writer](const char* key, const auto& member) { write_member(writer, key, member); });
    writer.EndObject();
}

}  // namespace

const char* to_string(FaultAction action) {
    for (const auto& entry : fault_action_names) {
        if (entry.action == action) {
            return entry.name;
        }
    }
    return "<unknown>";
}

ipc_tools::MessageType message_type_from_name(const std::string& name) {
    for (std::int32_t value = 0; value < ipc_tools::message_type_count; ++value) {
        const auto type = static_cast<ipc_tools::MessageType>(value);
        if (name == ipc_tools::to_string(type)) {
            return type;
        }
    }
    throw std::runtime_error("unknown message kind \"" + name + "\"");
}

ServerSettings default_settings() {
    ServerSettings settings;
    settings.server_version = CORVANE_VERSION_TEXT;
    settings.minimap_version = "2.0-reference";
    settings.configurations = {
        {"ref_dna_fast", "ref_dna_fast@v1.0.0", "", false, 0},
        {"ref_dna_accurate", "ref_dna_accurate@v1.0.0",
         "ref_dna_accurate@v1.0.0_methylation@v1", false, 0},
        {"ref_dna_duplex", "ref_dna_duplex@v1.0.0", "", true, 0},
    };
    settings.barcode_kits = {
        {"KIT-12", 1, 12, false, false, "barcode%02i"},
        {"KIT-24", 1, 24, false, false, "barcode%02i"},
        {"KIT-24-BOTH-ENDS", 1, 24, true, true, "barcode%02i"},
        {"KIT-UNCLASSIFIED", -1, -1, false, false, "unclassified"},
    };
    settings.devices = {
        {"cuda:0", "Reference GPU A", DeviceKind::cuda},
        {"cuda:1", "Reference GPU A", DeviceKind::cuda},
    };
    settings.alignment_indices = {
        {"/reference/sample.mmi", "@SQ\tSN:sample\tLN:50000\n@PG\tID:aligner\tPN:reference_server\n", 0},
    };
    settings.bed_files = {
        {"/reference/sample.bed", 0},
    };
    return settings;
}

ServerSettings parse_settings(const std::string& json_text) {
    const rapidjson::Document document = parse_json(json_text, "settings");
    const ObjectReader top(document, "settings");
    ServerSettings settings = default_settings();
    read_part(top, settings);
    top.refuse_unknown_members();
    return settings;
}

FaultRule parse_fault_rule(const std::string& json_text, const std::string& where) {
    const rapidjson::Document document = parse_json(json_text, where.c_str());
    const ObjectReader item(document, where);
    FaultRule rule;
    read_part(item, rule);
    item.refuse_unknown_members();
    return rule;
}

ServerSettings load_settings(const std::string& path) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        throw std::runtime_error("cannot read settings file " + path + ": it is a folder");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open settings file " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        throw std::runtime_error("cannot read settings file " + path);
    }
    try {
        return parse_settings(text.str());
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(path + ": " + error.what());
    }
}

std::string to_json(const ServerSettings& settings) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    write_part(writer, settings);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace reference_server
