#include "python/param_conversion.h"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include <pybind11/detail/type_caster_base.h>

namespace tavrix {

namespace {

enum class ParamType { string, boolean, uint32, uint64 };

struct ParamKey {
    std::string_view key;
    ParamType type;
};

// The parameters the client reads itself, then those it forwards to the
// server; looked up in this order.
constexpr std::array<ParamKey, 9> primary_keys = {{
    {"client_name", ParamType::string},
    {"query_timeout", ParamType::uint32},
    {"pass_read_timeout", ParamType::uint32},
    {"server_file_load_timeout", ParamType::uint32},
    {"connection_timeout", ParamType::uint32},
    {"reconnect_timeout", ParamType::uint32},
    {"max_reads_queued", ParamType::uint64},
    {"max_message_size", ParamType::uint64},
    {"max_server_read_failures", ParamType::uint64},
}};

constexpr std::array<ParamKey, 14> secondary_keys = {{
    {"barcode_kits", ParamType::string},
    {"require_barcodes_both_ends", ParamType::boolean},
    {"enable_trim_barcodes", ParamType::boolean},
    {"trim_adapters", ParamType::boolean},
    {"trim_primers", ParamType::boolean},
    {"align_ref", ParamType::string},
    {"bed_file", ParamType::string},
    {"minimap_opt_string", ParamType::string},
    {"move_enabled", ParamType::boolean},
    {"barcode_list", ParamType::string},
    {"pair_by_channel", ParamType::boolean},
    {"chunk_size", ParamType::uint64},
    {"estimate_poly_a", ParamType::boolean},
    {"poly_a_config", ParamType::string},
}};

const ParamKey* find_key(std::string_view key) {
    for (const ParamKey& entry : primary_keys) {
        if (entry.key == key) {
            return &entry;
        }
    }
    for (const ParamKey& entry : secondary_keys) {
        if (entry.key == key) {
            return &entry;
        }
    }
    return nullptr;
}

// Without implicit conversion: a float is no integer and an int no bool.
template <class T>
T strict_cast(py::handle value) {
    py::detail::make_caster<T> caster;
    if (!caster.load(value, false)) {
        throw py::cast_error("Unable to cast Python instance of type " +
                             py::str(py::type::handle_of(value)).cast<std::string>() + " to C++ type '" +
                             py::type_id<T>() + "'");
    }
    return py::detail::cast_op<T>(std::move(caster));
}

std::string string_param(py::handle value) {
    if (py::isinstance<py::str>(value)) {
        return value.cast<std::string>();
    }
    if (py::isinstance<py::list>(value)) {
        std::string text;
        if (!str_list_to_std_string(py::reinterpret_borrow<py::list>(value), text)) {
            throw std::runtime_error("Could not convert python list to string.");
        }
        return text;
    }
    throw std::runtime_error("Unrecognised type.");
}

}  // namespace

ParamsConversion params_dict_to_metadata(const py::dict& params) {
    ParamsConversion result;
    for (const auto& [key_object, value] : params) {
        const auto key = py::cast<std::string>(key_object);
        if (key == "priority") {
            if (!py::isinstance<apps::Read::Priority>(value)) {
                throw py::cast_error("The value of \"priority\" must be a read_priority member.");
            }
            result.priority = value.cast<apps::Read::Priority>();
            continue;
        }
        const ParamKey* known = find_key(key);
        if (known == nullptr) {
            result.unknown_key = key;
            return result;
        }
        switch (known->type) {
        case ParamType::string:
            result.params.set<std::string>(key, string_param(value));
            break;
        case ParamType::boolean:
            result.params.set<bool>(key, strict_cast<bool>(value));
            break;
        case ParamType::uint32:
            result.params.set<std::uint32_t>(key, strict_cast<std::uint32_t>(value));
            break;
        case ParamType::uint64:
            result.params.set<std::uint64_t>(key, strict_cast<std::uint64_t>(value));
            break;
        }
    }
    return result;
}

bool str_list_to_std_string(const py::list& items, std::string& out) {
    for (const py::handle item : items) {
        if (!py::isinstance<py::str>(item)) {
            return false;
        }
        if (!out.empty()) {
            out += ' ';
        }
        out += item.cast<std::string>();
    }
    return true;
}

}  // namespace tavrix
