#pragma once

// An independent reader of MM/ML tag values, written from the SAM optional
// tag rules rather than from the library's writer: each MM entry names a
// base, a strand, modification codes, an optional "."/"?" mode and skip
// counts that step over bases of that kind in the read's sequence; every
// called position consumes one ML value per code, in entry order.

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

struct ModCall {
    char base;
    std::string code;
    char mode;  // '.', '?' or 0 when absent
    std::size_t position;
    int probability;

    bool operator==(const ModCall&) const = default;
};

inline std::vector<std::string> split_text(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// Decodes "MM:Z:..." and "ML:B:C..." values against a sequence. Throws
// std::runtime_error for anything the rules forbid: a skip count running
// past the last base of its kind, ML values missing or left over.
inline std::vector<ModCall> decode_modbase_tags(std::string_view mm_tag, std::string_view ml_tag,
                                                std::string_view sequence) {
    if (mm_tag.substr(0, 5) != "MM:Z:" || ml_tag.substr(0, 6) != "ML:B:C") {
        throw std::runtime_error("not an MM/ML pair");
    }
    std::vector<int> probabilities;
    std::string_view ml_values = ml_tag.substr(6);
    if (!ml_values.empty()) {
        if (ml_values[0] != ',') {
            throw std::runtime_error("ML values must follow a comma");
        }
        for (const std::string& item : split_text(ml_values.substr(1), ',')) {
            int value = std::stoi(item);
            if (value < 0 || value > 255) {
                throw std::runtime_error("ML value out of byte range: " + item);
            }
            probabilities.push_back(value);
        }
    }
    std::vector<ModCall> calls;
    std::size_t next_probability = 0;
    std::string_view entries = mm_tag.substr(5);
    while (!entries.empty()) {
        std::size_t end = entries.find(';');
        if (end == std::string_view::npos) {
            throw std::runtime_error("MM entry without terminating ';'");
        }
        std::vector<std::string> items = split_text(entries.substr(0, end), ',');
        entries = entries.substr(end + 1);
        std::string head = items[0];
        if (head.size() < 3 || (head[1] != '+' && head[1] != '-')) {
            throw std::runtime_error("bad MM entry head: " + head);
        }
        const char base = head[0];
        char mode = 0;
        if (head.back() == '.' || head.back() == '?') {
            mode = head.back();
            head.pop_back();
        }
        std::string code_text = head.substr(2);
        std::vector<std::string> codes;
        if (!code_text.empty() && std::isdigit(static_cast<unsigned char>(code_text[0]))) {
            codes.push_back(code_text);
        } else {
            for (char c : code_text) {
                codes.emplace_back(1, c);
            }
        }
        std::size_t position = 0;
        for (std::size_t k = 1; k < items.size(); ++k) {
            long skip = std::stol(items[k]);
            if (skip < 0) {
                throw std::runtime_error("negative skip count");
            }
            // Step over `skip` bases of this kind, then land on the next one.
            long remaining = skip;
            while (true) {
                while (position < sequence.size() && sequence[position] != base && base != 'N') {
                    ++position;
                }
                if (position >= sequence.size()) {
                    throw std::runtime_error("skip counts run past the sequence");
                }
                if (remaining == 0) {
                    break;
                }
                --remaining;
                ++position;
            }
            for (const std::string& code : codes) {
                if (next_probability >= probabilities.size()) {
                    throw std::runtime_error("fewer ML values than called positions");
                }
                calls.push_back({base, code, mode, position, probabilities[next_probability++]});
            }
            ++position;
        }
    }
    if (next_probability != probabilities.size()) {
        throw std::runtime_error("more ML values than called positions");
    }
    return calls;
}

}  // namespace test_support
