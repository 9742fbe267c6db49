#include "ipc_tools/connection_info.h"

#include <array>
#include <stdexcept>
#include <utility>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

#include "ipc_tools/key_value_text.h"

namespace ipc_tools {

namespace {

// The parameters the server takes, in the order it is sent them; any other
// parameter stays on the client.
constexpr std::array<const char*, 14> server_parameter_keys = {
    "barcode_kits",       "require_barcodes_both_ends", "enable_trim_barcodes", "trim_adapters",
    "trim_primers",       "align_ref",                  "bed_file",             "minimap_opt_string",
    "move_enabled",       "barcode_list",               "pair_by_channel",      "chunk_size",
    "estimate_poly_a",    "poly_a_config",
};

// The server resolves paths in its own working directory, so relative ones
// are resolved here first.
std::string canonical_path(const std::string& path) {
    if (path.empty() || boost::filesystem::path(path).is_absolute()) {
        return path;
    }
    boost::system::error_code error;
    const auto resolved = boost::filesystem::canonical(path, boost::filesystem::current_path(), error);
    if (error) {
        throw std::runtime_error("Error while converting relative path " + path + " to file: " + error.message());
    }
    return resolved.string();
}

constexpr const char* config_key = "config";

void throw_if_refused(const ConnectionInfo& info) {
    if (auto refusal = connection_text_refusal(info)) {
        throw std::invalid_argument(*refusal);
    }
}

}  // namespace

std::optional<std::string> connection_text_refusal(const ConnectionInfo& info) {
    // The server takes the configuration name up to the first ':'.
    if (info.config.find(':') != std::string::npos) {
        return std::string(config_key) + " must not contain ':', which ends the configuration name";
    }
    const std::pair<const char*, const std::string*> fields[] = {
        {config_key, &info.config},
        {"client_name", &info.client_name},
        {"barcode_kits", &info.barcode_kits},
        {"align_ref", &info.align_ref},
        {"minimap_opt_string", &info.minimap_opt_string},
        {"bed_file", &info.bed_file},
    };
    for (const auto& [key, value] : fields) {
        if (auto refusal = value_refusal(key, *value)) {
            return refusal;
        }
    }
    for (const char* key : server_parameter_keys) {
        if (info.params.has(key)) {
            if (auto refusal = value_refusal(key, info.params.value_as_string(key))) {
                return refusal;
            }
        }
    }
    return std::nullopt;
}

std::string to_connect_text(ConnectionInfo& info) {
    info.align_ref = canonical_path(info.align_ref);
    info.bed_file = canonical_path(info.bed_file);
    throw_if_refused(info);

    std::string text = info.config + ":";
    text += key_value_text("timeout_interval", info.timeout_interval);
    text += key_value_text("client_name", info.client_name);
    for (const char* key : server_parameter_keys) {
        if (info.params.has(key)) {
            text += key_value_text(key, info.params.value_as_string(key));
        }
    }
    return text;
}

std::int32_t connect_priority_code(std::int32_t priority) noexcept {
    return priority < 3 ? 2 - priority : priority;
}

std::int32_t priority_of_connect_code(std::int32_t code) noexcept {
    return code >= 0 && code <= 2 ? 2 - code : code;
}

std::string to_load_index_text(const ConnectionInfo& info) {
    if (auto refusal = value_refusal("align_ref", info.align_ref)) {
        throw std::invalid_argument(*refusal);
    }
    if (info.minimap_opt_string.empty()) {
        return info.align_ref;
    }
    return info.align_ref + ":" + key_value_text("minimap_opt_string", info.minimap_opt_string);
}

}  // namespace ipc_tools
