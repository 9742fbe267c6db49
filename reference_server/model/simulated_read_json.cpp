#include "reference_server/model/simulated_read_json.h"

#include <charconv>
#include <limits>
#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace reference_server {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void write_string(Writer& writer, const char* key, const std::string& value) {
    writer.Key(key);
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

// The shortest text that reads back to the same float: 0.1, not 0.10000000149.
void write_float(Writer& writer, const char* key, float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    writer.Key(key);
    writer.RawValue(text, static_cast<std::size_t>(end - text), rapidjson::kNumberType);
}

const rapidjson::Value& member(const rapidjson::Value& object, const char* key) {
    const auto found = object.FindMember(key);
    if (found == object.MemberEnd()) {
        throw std::runtime_error(std::string("simulated read without \"") + key + "\"");
    }
    return found->value;
}

[[noreturn]] void wrong_type(const char* key, const char* what) {
    throw std::runtime_error(std::string("simulated read member \"") + key + "\" must be " + what);
}

std::string string_of(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value& value = member(object, key);
    if (!value.IsString()) {
        wrong_type(key, "a string");
    }
    return {value.GetString(), value.GetStringLength()};
}

std::uint64_t unsigned_of(const rapidjson::Value& object, const char* key, std::uint64_t max) {
    const rapidjson::Value& value = member(object, key);
    if (!value.IsUint64() || value.GetUint64() > max) {
        wrong_type(key, ("an integer in 0.." + std::to_string(max)).c_str());
    }
    return value.GetUint64();
}

float float_of(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value& value = member(object, key);
    if (!value.IsNumber()) {
        wrong_type(key, "a number");
    }
    return static_cast<float>(value.GetDouble());
}

}  // namespace

std::string to_json_line(const SimulatedRead& read) {
    rapidjson::StringBuffer buffer;
    buffer.Reserve(read.samples.size() * 6 + read.sequence.size() * 2 + 512);
    Writer writer(buffer);
    writer.StartObject();
    write_string(writer, "read_id", read.read_id);
    write_string(writer, "sequence", read.sequence);
    writer.Key("pieces");
    writer.StartArray();
    for (const std::string& piece : read.pieces) {
        writer.String(piece.c_str(), static_cast<rapidjson::SizeType>(piece.size()));
    }
    writer.EndArray();
    writer.Key("duplex");
    writer.Bool(read.duplex);
    write_string(writer, "source", read.source);
    writer.Key("stride");
    writer.Uint(read.signal.stride);
    writer.Key("lead_in");
    writer.Uint(read.signal.lead_in);
    writer.Key("gap");
    writer.Uint(read.signal.gap);
    write_float(writer, "sampling_rate", read.sampling_rate);
    write_float(writer, "daq_offset", read.daq_offset);
    write_float(writer, "daq_scaling", read.daq_scaling);
    writer.Key("start_time");
    writer.Uint64(read.start_time);
    writer.Key("channel");
    writer.Int(read.channel);
    writer.Key("mux");
    writer.Int(read.mux);
    write_string(writer, "run_id", read.run_id);
    writer.Key("samples");
    writer.StartArray();
    for (const std::int16_t sample : read.samples) {
        writer.Int(sample);
    }
    writer.EndArray();
    writer.EndObject();
    return {buffer.GetString(), buffer.GetSize()};
}

SimulatedRead parse_json_line(const std::string& line) {
    // Read without recursion: only known members near the top are looked
    // at, so however deep the rest nests, nothing walks it.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(line.c_str(), line.size());
    if (document.HasParseError() || !document.IsObject()) {
        throw std::runtime_error("a simulated read must be one JSON object on one line");
    }
    SimulatedRead read;
    read.read_id = string_of(document, "read_id");
    read.sequence = string_of(document, "sequence");
    const rapidjson::Value& pieces = member(document, "pieces");
    if (!pieces.IsArray()) {
        wrong_type("pieces", "a list of strings");
    }
    for (const rapidjson::Value& piece : pieces.GetArray()) {
        if (!piece.IsString()) {
            wrong_type("pieces", "a list of strings");
        }
        read.pieces.emplace_back(piece.GetString(), piece.GetStringLength());
    }
    const rapidjson::Value& duplex = member(document, "duplex");
    if (!duplex.IsBool()) {
        wrong_type("duplex", "true or false");
    }
    read.duplex = duplex.GetBool();
    read.source = string_of(document, "source");
    constexpr auto u32 = std::numeric_limits<std::uint32_t>::max();
    read.signal.stride = static_cast<std::uint32_t>(unsigned_of(document, "stride", u32));
    read.signal.lead_in = static_cast<std::uint32_t>(unsigned_of(document, "lead_in", u32));
    read.signal.gap = static_cast<std::uint32_t>(unsigned_of(document, "gap", u32));
    read.sampling_rate = float_of(document, "sampling_rate");
    read.daq_offset = float_of(document, "daq_offset");
    read.daq_scaling = float_of(document, "daq_scaling");
    read.start_time = unsigned_of(document, "start_time", std::numeric_limits<std::uint64_t>::max());
    read.channel = static_cast<std::int32_t>(unsigned_of(document, "channel", std::numeric_limits<std::int32_t>::max()));
    read.mux = static_cast<std::int32_t>(unsigned_of(document, "mux", std::numeric_limits<std::int32_t>::max()));
    read.run_id = string_of(document, "run_id");
    const rapidjson::Value& samples = member(document, "samples");
    if (!samples.IsArray()) {
        wrong_type("samples", "a list of int16 values");
    }
    read.samples.reserve(samples.Size());
    for (const rapidjson::Value& sample : samples.GetArray()) {
        if (!sample.IsInt() || sample.GetInt() < std::numeric_limits<std::int16_t>::min() ||
            sample.GetInt() > std::numeric_limits<std::int16_t>::max()) {
            wrong_type("samples", "a list of int16 values");
        }
        read.samples.push_back(static_cast<std::int16_t>(sample.GetInt()));
    }
    return read;
}

}  // namespace reference_server
