#include "reference_server/settings/server_settings.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

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

FaultRule read_fault_rule(const ObjectReader& item) {
    FaultRule rule;
    std::string name;
    item.read("request", name);
    try {
        rule.request = message_type_from_name(name);
        name = "reply";
        item.read("action", name);
        rule.action = fault_action_from_name(name);
        name = ipc_tools::to_string(rule.reply);
        item.read("reply", name);
        rule.reply = message_type_from_name(name);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(item.where() + ": " + error.what());
    }
    item.read("text", rule.text);
    item.read("value", rule.value);
    item.read("delay_ms", rule.delay_ms);
    item.read("count", rule.count);
    item.read("client", rule.client);
    item.read("block_index", rule.block_index);
    item.read("skip", rule.skip);
    item.read("every", rule.every);
    item.read("once_per_read", rule.once_per_read);
    if (rule.every == 0) {
        throw std::runtime_error(item.where() + ".every must be at least 1");
    }
    return rule;
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

void write_member(Writer& writer, const char* key, double value) {
    writer.Key(key);
    writer.Double(value);
}

// key: [ {members of the first item}, ... ]
template <class Items, class WriteMembers>
void write_objects(Writer& writer, const char* key, const Items& items, WriteMembers write_members) {
    writer.Key(key);
    writer.StartArray();
    for (const auto& item : items) {
        writer.StartObject();
        write_members(item);
        writer.EndObject();
    }
    writer.EndArray();
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
    top.read("server_version", settings.server_version);
    top.read("minimap_version", settings.minimap_version);
    top.read("restart_after_requests", settings.restart_after_requests);

    top.read("max_clients", settings.max_clients);
    require_at_least_one(settings.max_clients, top, "max_clients");
    top.read("client_expiry_s", settings.client_expiry_s);
    top.read("max_loaded_indices", settings.max_loaded_indices);
    require_at_least_one(settings.max_loaded_indices, top, "max_loaded_indices");
    top.read("max_index_loads", settings.max_index_loads);
    require_at_least_one(settings.max_index_loads, top, "max_index_loads");

    top.read_list("configurations", settings.configurations, [](const ObjectReader& item) {
        ConfigurationSetting config;
        item.read("name", config.name);
        require_name(config.name, item, "name");
        item.read("model_version_id", config.model_version_id);
        item.read("modbase_model_version_id", config.modbase_model_version_id);
        item.read("duplex", config.duplex);
        item.read("load_delay_ms", config.load_delay_ms);
        return config;
    });
    if (settings.configurations.empty()) {
        throw std::runtime_error("settings.configurations must hold at least one configuration");
    }
    top.read_list("barcode_kits", settings.barcode_kits, [](const ObjectReader& item) {
        BarcodeKitSetting kit;
        item.read("kit_name", kit.kit_name);
        require_name(kit.kit_name, item, "kit_name");
        item.read("first_index", kit.first_index);
        item.read("last_index", kit.last_index);
        item.read("is_both_ends", kit.is_both_ends);
        item.read("has_barcode12a", kit.has_barcode12a);
        item.read("normalised_pattern", kit.normalised_pattern);
        return kit;
    });
    top.read_list("devices", settings.devices, [](const ObjectReader& item) {
        DeviceSetting device;
        item.read("id", device.id);
        require_name(device.id, item, "id");
        item.read("name", device.name);
        std::string kind = "cuda";
        item.read("kind", kind);
        if (kind == "cuda") {
            device.kind = DeviceKind::cuda;
        } else if (kind == "metal") {
            device.kind = DeviceKind::metal;
        } else {
            throw std::runtime_error(item.where() + ".kind must be \"cuda\" or \"metal\"");
        }
        return device;
    });
    top.read_list("alignment_indices", settings.alignment_indices, [](const ObjectReader& item) {
        IndexSetting index;
        item.read("path", index.path);
        require_name(index.path, item, "path");
        item.read("header", index.header);
        item.read("load_delay_ms", index.load_delay_ms);
        return index;
    });
    top.read_list("bed_files", settings.bed_files, [](const ObjectReader& item) {
        BedSetting bed;
        item.read("path", bed.path);
        require_name(bed.path, item, "path");
        item.read("load_delay_ms", bed.load_delay_ms);
        return bed;
    });
    top.read_object("data_plane", [&settings](const ObjectReader& item) {
        DataPlaneSetting& data_plane = settings.data_plane;
        item.read("latency_ms_per_read", data_plane.latency_ms_per_read);
        item.read("latency_ms_per_1000_samples", data_plane.latency_ms_per_1000_samples);
        item.read("max_queued_reads", data_plane.max_queued_reads);
        item.read("max_partial_reads", data_plane.max_partial_reads);
        item.read("max_read_samples", data_plane.max_read_samples);
        item.read("called_block_bases", data_plane.called_block_bases);
        item.read("max_completed_batch", data_plane.max_completed_batch);
        item.read("split_reads", data_plane.split_reads);
        item.read("caller_threads", data_plane.caller_threads);
        item.read("max_pieces_per_read", data_plane.max_pieces_per_read);
        item.read("max_queued_bytes", data_plane.max_queued_bytes);
        if (data_plane.latency_ms_per_1000_samples > max_latency_ms_per_1000_samples) {
            throw std::runtime_error(item.where() + ".latency_ms_per_1000_samples may be at most 1000000");
        }
        require_at_least_one(data_plane.max_queued_reads, item, "max_queued_reads");
        require_at_least_one(data_plane.max_read_samples, item, "max_read_samples");
        require_at_least_one(data_plane.max_pieces_per_read, item, "max_pieces_per_read");
        require_at_least_one(data_plane.max_queued_bytes, item, "max_queued_bytes");
        if (data_plane.called_block_bases == 0 || data_plane.max_completed_batch == 0) {
            throw std::runtime_error(item.where() + ": called_block_bases and max_completed_batch must be at least 1");
        }
        if (data_plane.caller_threads > max_caller_threads) {
            throw std::runtime_error(item.where() + ": caller_threads may be at most " +
                                     std::to_string(max_caller_threads));
        }
    });
    top.read_list("faults", settings.faults, read_fault_rule);
    top.read("restart_every_requests", settings.restart_every_requests);
    top.refuse_unknown_members();
    return settings;
}

FaultRule parse_fault_rule(const std::string& json_text, const std::string& where) {
    const rapidjson::Document document = parse_json(json_text, where.c_str());
    const ObjectReader item(document, where);
    FaultRule rule = read_fault_rule(item);
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
    writer.StartObject();
    write_member(writer, "server_version", settings.server_version);
    write_member(writer, "minimap_version", settings.minimap_version);
    write_objects(writer, "configurations", settings.configurations, [&](const auto& config) {
        write_member(writer, "name", config.name);
        write_member(writer, "model_version_id", config.model_version_id);
        write_member(writer, "modbase_model_version_id", config.modbase_model_version_id);
        write_member(writer, "duplex", config.duplex);
        write_member(writer, "load_delay_ms", config.load_delay_ms);
    });
    write_objects(writer, "barcode_kits", settings.barcode_kits, [&](const auto& kit) {
        write_member(writer, "kit_name", kit.kit_name);
        write_member(writer, "first_index", kit.first_index);
        write_member(writer, "last_index", kit.last_index);
        write_member(writer, "is_both_ends", kit.is_both_ends);
        write_member(writer, "has_barcode12a", kit.has_barcode12a);
        write_member(writer, "normalised_pattern", kit.normalised_pattern);
    });
    write_objects(writer, "devices", settings.devices, [&](const auto& device) {
        write_member(writer, "id", device.id);
        write_member(writer, "name", device.name);
        write_member(writer, "kind", std::string(device.kind == DeviceKind::cuda ? "cuda" : "metal"));
    });
    write_objects(writer, "alignment_indices", settings.alignment_indices, [&](const auto& index) {
        write_member(writer, "path", index.path);
        write_member(writer, "header", index.header);
        write_member(writer, "load_delay_ms", index.load_delay_ms);
    });
    write_objects(writer, "bed_files", settings.bed_files, [&](const auto& bed) {
        write_member(writer, "path", bed.path);
        write_member(writer, "load_delay_ms", bed.load_delay_ms);
    });
    const DataPlaneSetting& data_plane = settings.data_plane;
    writer.Key("data_plane");
    writer.StartObject();
    write_member(writer, "latency_ms_per_read", data_plane.latency_ms_per_read);
    write_member(writer, "latency_ms_per_1000_samples", data_plane.latency_ms_per_1000_samples);
    write_member(writer, "max_queued_reads", data_plane.max_queued_reads);
    write_member(writer, "max_partial_reads", data_plane.max_partial_reads);
    write_member(writer, "max_read_samples", data_plane.max_read_samples);
    write_member(writer, "called_block_bases", data_plane.called_block_bases);
    write_member(writer, "max_completed_batch", data_plane.max_completed_batch);
    write_member(writer, "split_reads", data_plane.split_reads);
    write_member(writer, "caller_threads", data_plane.caller_threads);
    write_member(writer, "max_pieces_per_read", data_plane.max_pieces_per_read);
    writer.Key("max_queued_bytes");
    writer.Uint64(data_plane.max_queued_bytes);
    writer.EndObject();
    write_objects(writer, "faults", settings.faults, [&](const auto& rule) {
        write_member(writer, "request", std::string(ipc_tools::to_string(rule.request)));
        write_member(writer, "action", std::string(to_string(rule.action)));
        write_member(writer, "reply", std::string(ipc_tools::to_string(rule.reply)));
        write_member(writer, "text", rule.text);
        write_member(writer, "value", rule.value);
        write_member(writer, "delay_ms", rule.delay_ms);
        write_member(writer, "count", rule.count);
        write_member(writer, "client", rule.client);
        write_member(writer, "block_index", rule.block_index);
        write_member(writer, "skip", rule.skip);
        write_member(writer, "every", rule.every);
        write_member(writer, "once_per_read", rule.once_per_read);
    });
    writer.Key("restart_after_requests");
    writer.Uint64(settings.restart_after_requests);
    writer.Key("restart_every_requests");
    writer.Uint64(settings.restart_every_requests);
    write_member(writer, "max_clients", settings.max_clients);
    write_member(writer, "client_expiry_s", settings.client_expiry_s);
    write_member(writer, "max_loaded_indices", settings.max_loaded_indices);
    write_member(writer, "max_index_loads", settings.max_index_loads);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace reference_server
