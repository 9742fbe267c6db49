#include "common/runtime/diagnostics/json_formatter.h"

#include <cxxabi.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

namespace common::diagnostics::state {

namespace {

using Allocator = rapidjson::Document::AllocatorType;

std::string type_name(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : type.name();
    std::free(demangled);
    return name;
}

rapidjson::Value to_json(const std::any& data, Allocator& allocator) {
    if (!data.has_value()) {
        return rapidjson::Value(rapidjson::kNullType);
    }
    if (const auto* v = std::any_cast<std::int64_t>(&data)) {
        return rapidjson::Value(static_cast<std::int64_t>(*v));
    }
    if (const auto* v = std::any_cast<std::uint64_t>(&data)) {
        return rapidjson::Value(static_cast<std::uint64_t>(*v));
    }
    if (const auto* v = std::any_cast<double>(&data)) {
        // JSON has no NaN or infinity; null keeps the report valid JSON.
        return std::isfinite(*v) ? rapidjson::Value(*v) : rapidjson::Value(rapidjson::kNullType);
    }
    if (const auto* v = std::any_cast<std::string>(&data)) {
        return rapidjson::Value(v->c_str(), static_cast<rapidjson::SizeType>(v->size()), allocator);
    }
    if (const auto* v = std::any_cast<bool>(&data)) {
        return rapidjson::Value(*v);
    }
    throw std::runtime_error("invalid type held as state record value: " + type_name(data.type()));
}

// An existing key keeps its place and takes the new value.
void put(rapidjson::Value& object, const std::string& name, rapidjson::Value value, Allocator& allocator) {
    const auto found = object.FindMember(rapidjson::StringRef(name.c_str(), name.size()));
    if (found != object.MemberEnd()) {
        found->value = std::move(value);
        return;
    }
    object.AddMember(rapidjson::Value(name.c_str(), static_cast<rapidjson::SizeType>(name.size()), allocator),
                     value, allocator);
}

// Fills object from table[at...] up to the end entry that closes it;
// returns the index of that end entry, or the table's size.
std::size_t fill(rapidjson::Value& object, const StateTable& table, std::size_t at, Allocator& allocator) {
    while (at < table.size()) {
        const auto& entry = table[at];
        switch (entry.kind) {
        case StateEntry::value:
            put(object, entry.name, to_json(entry.data, allocator), allocator);
            break;
        case StateEntry::section_start: {
            rapidjson::Value section(rapidjson::kObjectType);
            at = fill(section, table, at + 1, allocator);
            put(object, entry.name, std::move(section), allocator);
            break;
        }
        case StateEntry::section_end:
            return at;
        default:
            throw std::runtime_error("malformed state_table");
        }
        ++at;
    }
    return at;
}

}  // namespace

std::string JsonFormatter::operator()(const StateTable& table) const {
    tracing::TraceScope scope(trace_context(), "operator ()");
    rapidjson::Document document(rapidjson::kObjectType);
    const auto stopped = fill(document, table, 0, document.GetAllocator());
    if (stopped < table.size()) {
        throw std::runtime_error("malformed state_table");
    }
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return "\n" + std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace common::diagnostics::state
