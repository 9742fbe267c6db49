#include "ipc_tools/bounded_json.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace ipc_tools {

namespace {

// Counts the open objects and arrays; stops the reading past the bound.
struct DepthCheck : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, DepthCheck> {
    explicit DepthCheck(std::size_t bound) : max_depth(bound) {}

    std::size_t max_depth;
    std::size_t depth = 0;
    bool too_deep = false;

    bool Default() { return true; }
    bool open() {
        too_deep = ++depth > max_depth;
        return !too_deep;
    }
    bool StartObject() { return open(); }
    bool StartArray() { return open(); }
    bool EndObject(rapidjson::SizeType) {
        --depth;
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        --depth;
        return true;
    }
};

}  // namespace

JsonRefusal parse_bounded_json(std::string_view text, rapidjson::Document& document, std::size_t max_depth) {
    DepthCheck check(max_depth);
    rapidjson::Reader reader;
    rapidjson::MemoryStream bytes(text.data(), text.size());
    const rapidjson::ParseResult checked = reader.Parse<rapidjson::kParseIterativeFlag>(bytes, check);
    if (check.too_deep) {
        return {"nested deeper than " + std::to_string(max_depth) + " levels", checked.Offset()};
    }
    if (checked.IsError()) {
        return {rapidjson::GetParseError_En(checked.Code()), checked.Offset()};
    }
    document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (document.HasParseError()) {
        return {rapidjson::GetParseError_En(document.GetParseError()), document.GetErrorOffset()};
    }
    return {};
}

}  // namespace ipc_tools
