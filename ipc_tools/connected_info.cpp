#include "ipc_tools/connected_info.h"

#include <set>

#include <rapidjson/document.h>

#include "common/runtime/diagnostics/tracing.h"
#include "ipc_tools/bounded_json.h"
#include "ipc_tools/key_value_text.h"

namespace ipc_tools {

namespace {

using Domain = common::diagnostics::tracing::TraceDomain<ConnectedInfo>;

void collect_names(const rapidjson::Value& device, std::set<std::string>& names) {
    if (!device.IsObject()) {
        return;
    }
    const auto name = device.FindMember("name");
    if (name != device.MemberEnd() && name->value.IsString()) {
        names.emplace(name->value.GetString(), name->value.GetStringLength());
    }
}

}  // namespace

std::optional<ConnectedInfo> ConnectedInfo::parse(std::string_view text) {
    common::diagnostics::tracing::TraceScope scope(Domain::trace_context(), "parse");
    scope.trace(text);

    const auto items = parse_key_values(text);
    if (!items) {
        return std::nullopt;
    }
    const auto client_uid = items->find("client_uid");
    const auto server_version = items->find("server_version");
    const auto minimap_version = items->find("minimap_version");
    if (client_uid == items->end() || server_version == items->end() || minimap_version == items->end()) {
        return std::nullopt;
    }
    ConnectedInfo info;
    info.server_version = server_version->second;
    info.minimap_version = minimap_version->second;
    info.client_uid = client_uid->second;
    return info;
}

void set_device_names(ConnectedInfo& info, std::string_view json) {
    info.device_names.clear();

    rapidjson::Document document;
    if (!parse_bounded_json(json, document, max_state_report_depth).reason.empty() || !document.IsObject()) {
        return;
    }
    const auto server = document.FindMember("ServerInformation");
    if (server == document.MemberEnd() || !server->value.IsObject()) {
        return;
    }

    std::set<std::string> names;
    for (const char* group : {"CUDA Devices", "Metal Devices"}) {
        const auto devices = server->value.FindMember(group);
        if (devices == server->value.MemberEnd()) {
            continue;
        }
        if (devices->value.IsObject()) {
            for (const auto& device : devices->value.GetObject()) {
                collect_names(device.value, names);
            }
        } else if (devices->value.IsArray()) {
            for (const auto& device : devices->value.GetArray()) {
                collect_names(device, names);
            }
        }
    }

    for (const auto& name : names) {
        if (!info.device_names.empty()) {
            info.device_names += '|';
        }
        info.device_names += name;
    }
}

}  // namespace ipc_tools
