#include "reference_server/protocol/control_command.h"

#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "ipc_tools/bounded_json.h"
#include "reference_server/settings/server_settings.h"

namespace reference_server {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

std::string text_of(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::uint64_t request_count(const rapidjson::Value& command) {
    const auto member = command.FindMember("requests");
    if (member == command.MemberEnd() || !member->value.IsUint64()) {
        throw std::runtime_error("\"requests\" must be a non-negative integer");
    }
    return member->value.GetUint64();
}

std::string path_of(const rapidjson::Value& command) {
    const auto member = command.FindMember("path");
    if (member == command.MemberEnd() || !member->value.IsString() || member->value.GetStringLength() == 0) {
        throw std::runtime_error("\"path\" must be a non-empty string");
    }
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

std::string answer(bool ok, const std::string& error = {}) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("ok");
    writer.Bool(ok);
    if (!ok) {
        writer.Key("error");
        writer.String(error.c_str(), static_cast<rapidjson::SizeType>(error.size()));
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

std::string run_control_command(const std::string& command_text,
                                FaultPlan& faults,
                                const ServerState& state,
                                std::uint64_t requests_answered,
                                AlignmentService* alignment,
                                bool* stop_requested) {
    try {
        rapidjson::Document command;
        const ipc_tools::JsonRefusal refusal = ipc_tools::parse_bounded_json(command_text, command, max_json_depth);
        if (!refusal.reason.empty()) {
            throw std::runtime_error("command is not valid JSON: " + refusal.reason);
        }
        // Looked up through a const view: the iterators then have one type.
        const rapidjson::Value& root = command;
        if (!root.IsObject() || !root.HasMember("command") || !root["command"].IsString()) {
            throw std::runtime_error("a command is an object with a \"command\" string");
        }
        const std::string name = root["command"].GetString();
        if (name == "add_fault") {
            const auto fault = root.FindMember("fault");
            if (fault == root.MemberEnd()) {
                throw std::runtime_error("add_fault needs a \"fault\" object");
            }
            faults.add(parse_fault_rule(text_of(fault->value), "fault"));
        } else if (name == "clear_faults") {
            faults.clear();
        } else if (name == "restart") {
            faults.restart_now();
        } else if (name == "restart_after") {
            faults.restart_after(request_count(root));
        } else if (name == "restart_every") {
            faults.restart_every(request_count(root));
        } else if (name == "unload_index" && alignment != nullptr) {
            const std::size_t unloaded = alignment->unload_index(path_of(root));
            rapidjson::StringBuffer buffer;
            Writer writer(buffer);
            writer.StartObject();
            writer.Key("ok");
            writer.Bool(true);
            writer.Key("unloaded");
            writer.Uint64(unloaded);
            writer.EndObject();
            return std::string(buffer.GetString(), buffer.GetSize());
        } else if (name == "stop") {
            if (stop_requested == nullptr) {
                throw std::runtime_error("stop is not available in this server");
            }
            *stop_requested = true;
        } else if (name == "status") {
            rapidjson::StringBuffer buffer;
            Writer writer(buffer);
            writer.StartObject();
            writer.Key("ok");
            writer.Bool(true);
            writer.Key("fault_rules");
            writer.Uint64(faults.rule_count());
            writer.Key("clients");
            writer.Uint64(state.client_count());
            writer.Key("requests_answered");
            writer.Uint64(requests_answered);
            if (alignment != nullptr) {
                writer.Key("indices");
                writer.Uint64(alignment->loaded_indices());
                writer.Key("loads");
                writer.Uint64(alignment->running_loads());
            }
            writer.EndObject();
            return std::string(buffer.GetString(), buffer.GetSize());
        } else {
            throw std::runtime_error("unknown command \"" + name + "\"");
        }
        return answer(true);
    } catch (const std::exception& error) {
        return answer(false, error.what());
    }
}

}  // namespace reference_server
