// corvane_query: asks a basecall server one question and prints the answer.
//
//   corvane_query ADDRESS [--timeout MS] kits|stats|info|state
//
// Exits 0 on success, 1 with the result's name when the query fails, and 2
// for a malformed command line.

#include <apps/client/corvane.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>

#include "apps/command_line/command_line.h"

namespace {

constexpr unsigned int default_timeout_ms = 2000;

int usage(std::ostream& out, int status) {
    out << "usage: corvane_query ADDRESS [--timeout MS] kits|stats|info|state\n"
           "\n"
           "  ADDRESS       a port (the local host), host:port, tcp://..., or ipc://...\n"
           "  --timeout MS  wait for each reply (default "
        << default_timeout_ms
        << " ms)\n"
           "  kits          the server's barcode kits\n"
           "  stats         the server's read counters\n"
           "  info          the server's information record (JSON)\n"
           "  state         the server's full internal state (JSON)\n";
    return status;
}

// Hands a reader's events to an indenting writer, refusing nesting past
// what any server's answer needs: indentation would make a deep text's
// output grow with the square of its depth.
class IndentingHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, IndentingHandler> {
public:
    explicit IndentingHandler(rapidjson::StringBuffer& buffer) : m_writer(buffer) { m_writer.SetIndent(' ', 2); }

    bool Null() { return m_writer.Null(); }
    bool Bool(bool value) { return m_writer.Bool(value); }
    bool Int(int value) { return m_writer.Int(value); }
    bool Uint(unsigned value) { return m_writer.Uint(value); }
    bool Int64(std::int64_t value) { return m_writer.Int64(value); }
    bool Uint64(std::uint64_t value) { return m_writer.Uint64(value); }
    bool Double(double value) { return m_writer.Double(value); }
    bool String(const char* text, rapidjson::SizeType length, bool copy) { return m_writer.String(text, length, copy); }
    bool Key(const char* text, rapidjson::SizeType length, bool copy) { return m_writer.Key(text, length, copy); }
    bool StartObject() { return ++m_depth <= max_depth && m_writer.StartObject(); }
    bool StartArray() { return ++m_depth <= max_depth && m_writer.StartArray(); }
    bool EndObject(rapidjson::SizeType count) {
        --m_depth;
        return m_writer.EndObject(count);
    }
    bool EndArray(rapidjson::SizeType count) {
        --m_depth;
        return m_writer.EndArray(count);
    }

private:
    static constexpr int max_depth = 256;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> m_writer;
    int m_depth = 0;
};

// The server's JSON, indented; the text as it came when it is no JSON or
// nests too deep. Read without recursion, so that no text overflows the stack.
std::string pretty_json(const std::string& text) {
    rapidjson::StringBuffer buffer;
    IndentingHandler handler(buffer);
    rapidjson::Reader reader;
    rapidjson::MemoryStream bytes(text.data(), text.size());
    if (reader.Parse<rapidjson::kParseIterativeFlag>(bytes, handler).IsError()) {
        return text;
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

void print_kits(const std::vector<apps::server_query::BarcodeKitDefinition>& kits) {
    std::cout << kits.size() << " barcode kit" << (kits.size() == 1 ? "" : "s") << "\n";
    for (const auto& kit : kits) {
        std::cout << "  " << kit.kit_name() << "\n";
        const bool has_range = kit.first_index() >= 0 && kit.last_index() >= kit.first_index();
        if (has_range) {
            std::cout << "    barcodes:  " << kit.first_index() << " .. " << kit.last_index() << "\n";
            try {
                std::cout << "    names:     " << kit.generate_barcode_name(kit.first_index(), 0) << " .. "
                          << kit.generate_barcode_name(kit.last_index(), 0) << "\n";
            } catch (const std::exception& error) {
                std::cout << "    names:     (" << error.what() << ")\n";
            }
        } else {
            std::cout << "    barcodes:  none (name " << kit.normalised_pattern() << ")\n";
        }
        std::cout << "    pattern:   " << kit.normalised_pattern() << "\n"
                  << "    both ends: " << (kit.is_both_ends() ? "yes" : "no") << "\n"
                  << "    12a:       " << (kit.has_barcode12a() ? "yes" : "no") << "\n";
    }
}

void print_stats(const apps::server_query::ServerStatistics& stats) {
    std::cout << "reads in:   " << stats.lifetime_reads_in << " lifetime, " << stats.period_reads_in
              << " this period\n"
              << "reads out:  " << stats.lifetime_reads_out << " lifetime, " << stats.period_reads_out
              << " this period\n"
              << "clients:    " << stats.client_statistics.size() << "\n";
    for (std::size_t i = 0; i < stats.client_statistics.size(); ++i) {
        const auto& client = stats.client_statistics[i];
        std::cout << "  client " << i << ": " << client.input_read_count << " in, " << client.output_read_count
                  << " out\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string address;
    std::string command;
    unsigned int timeout = default_timeout_ms;
    bool help = false;
    apps::CommandLine line;
    line.option("--timeout", [&timeout](const std::string& value) {
        char* end = nullptr;
        const auto parsed = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || value.front() == '-' || parsed == 0 ||
            parsed > std::numeric_limits<unsigned int>::max()) {
            throw apps::UsageError("--timeout takes a positive number of milliseconds, not " + value);
        }
        timeout = static_cast<unsigned int>(parsed);
    });
    line.flag("--help", [&help] { help = true; });
    line.flag("-h", [&help] { help = true; });
    line.positional([&](const std::string& word) {
        std::string& next = address.empty() ? address : command;
        if (!next.empty()) {
            return false;
        }
        next = word;
        return true;
    });
    try {
        line.parse(argc, argv);
    } catch (const apps::UsageError& error) {
        std::cerr << "corvane_query: " << error.what() << "\n";
        return usage(std::cerr, 2);
    }
    if (help) {
        return usage(std::cout, 0);
    }
    if (address.empty() || command.empty()) {
        return usage(std::cerr, 2);
    }

    apps::Result result = apps::Result::failed;
    if (command == "kits") {
        std::vector<apps::server_query::BarcodeKitDefinition> kits;
        result = apps::server_query::get_barcode_kits(kits, address, timeout);
        if (result == apps::Result::success) {
            print_kits(kits);
        }
    } else if (command == "stats") {
        apps::server_query::ServerStatistics stats;
        result = apps::server_query::get_server_statistics(stats, address, timeout);
        if (result == apps::Result::success) {
            print_stats(stats);
        }
    } else if (command == "info" || command == "state") {
        std::string text;
        result = command == "info" ? apps::server_query::get_server_information(text, address, timeout)
                                   : apps::server_query::get_server_internal_state(text, address, timeout);
        if (result == apps::Result::success) {
            std::cout << pretty_json(text) << "\n";
        }
    } else {
        std::cerr << "corvane_query: unknown query " << command << "\n";
        return usage(std::cerr, 2);
    }
    if (result != apps::Result::success) {
        std::cerr << "corvane_query: " << command << " failed: " << apps::to_string(result) << "\n";
        return 1;
    }
    return 0;
}
