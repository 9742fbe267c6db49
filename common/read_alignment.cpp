#include "common/read_alignment.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

namespace common {

namespace {

constexpr std::string_view canonical_bases = "ACGT";

const std::unordered_map<char, std::string_view>& iupac_codes() {
    static const std::unordered_map<char, std::string_view> codes = {
        {'A', "A"},    {'C', "C"},    {'G', "G"},    {'T', "TU"},   {'R', "AG"},
        {'Y', "CTU"},  {'S', "GC"},   {'W', "ATU"},  {'K', "GTU"},  {'M', "AC"},
        {'B', "CGTU"}, {'D', "AGTU"}, {'H', "ACTU"}, {'V', "ACG"},  {'N', "ACGTU"},
    };
    return codes;
}

std::string_view iupac_matches(char letter) {
    const auto& codes = iupac_codes();
    auto found = codes.find(letter);
    if (found == codes.end()) {
        throw std::out_of_range("invalid unordered_map<K, T> key");
    }
    return found->second;
}

int canonical_index(char base) {
    switch (base) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T': return 3;
    default: return -1;
    }
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
    char buffer[24];
    auto converted = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out.append(buffer, converted.ptr);
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t position = 0;
    while (position < text.size()) {
        while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position]))) {
            ++position;
        }
        std::size_t end = position;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        if (end > position) {
            tokens.push_back(text.substr(position, end - position));
        }
        position = end;
    }
    return tokens;
}

struct Motif {
    std::string letters;  // empty: no motif for this base
    std::size_t offset = 0;
};

// Four motifs, for A, C, G and T; all empty for an empty context.
std::array<Motif, 4> parse_context(std::string_view context) {
    std::array<Motif, 4> motifs;
    if (context.empty()) {
        return motifs;
    }
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t colon = context.find(':', start);
        parts.push_back(context.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() != motifs.size()) {
        throw std::runtime_error("Invalid base modification context string.");
    }
    for (std::size_t base = 0; base < motifs.size(); ++base) {
        if (parts[base] == "_") {
            continue;
        }
        std::size_t marker = parts[base].find('X');
        if (marker == std::string_view::npos) {
            throw std::runtime_error("Invalid base modification context string.");
        }
        motifs[base].letters = std::string(parts[base]);
        motifs[base].letters[marker] = canonical_bases[base];
        motifs[base].offset = marker;
        // Unknown letters are refused here rather than on the first
        // sequence long enough to reach them.
        for (char letter : motifs[base].letters) {
            iupac_matches(letter);
        }
    }
    return motifs;
}

bool motif_matches_at(const std::string& motif, std::string_view sequence, std::size_t start) {
    for (std::size_t j = 0; j < motif.size(); ++j) {
        if (iupac_matches(motif[j]).find(sequence[start + j]) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool is_modification_code(std::string_view token) {
    auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (token.size() == 1 && is_letter(token[0])) {
        return true;
    }
    for (char c : token) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return !token.empty();
}

GeneratedText failure(std::string error) {
    GeneratedText result;
    result.error = std::move(error);
    return result;
}

}  // namespace

unsigned modbase_threshold_from_percent(float percent) {
    if (std::isnan(percent)) {
        throw std::runtime_error("Modified base threshold must be a number.");
    }
    if (percent <= 0.0f) {
        return 0;
    }
    if (percent >= 100.0f) {
        return 256;
    }
    return static_cast<unsigned>(percent / 100.0f * 256.0f);
}

GeneratedText generate_modbase_string(std::string_view sequence,
                                      std::string_view alphabet,
                                      std::string_view context,
                                      const std::vector<bool>* base_flags,
                                      ByteView probabilities,
                                      unsigned threshold) {
    const std::vector<std::string_view> tokens = split_whitespace(alphabet);
    const std::size_t num_channels = tokens.size();
    const std::size_t length = sequence.size();
    if (num_channels * length != probabilities.size) {
        return failure("Mismatch between modbase_probs size and sequence length * num channels in modbase_alphabet!");
    }

    const std::array<Motif, 4> motifs = parse_context(context);

    std::vector<bool> candidates;
    if (base_flags != nullptr) {
        if (base_flags->size() != length) {
            return failure("Base flags cover " + std::to_string(base_flags->size()) +
                           " positions but the sequence has " + std::to_string(length) + " bases.");
        }
        candidates = *base_flags;
    } else {
        candidates.assign(length, false);
        for (const Motif& motif : motifs) {
            if (motif.letters.empty() || motif.letters.size() > length) {
                continue;
            }
            for (std::size_t start = 0; start + motif.letters.size() <= length; ++start) {
                if (motif_matches_at(motif.letters, sequence, start)) {
                    candidates[start + motif.offset] = true;
                }
            }
        }
    }

    // Columns of each canonical base's modifications, by base index.
    std::array<std::vector<std::size_t>, 4> group_columns;
    int current_base = -1;
    for (std::size_t t = 0; t < num_channels; ++t) {
        if (canonical_bases.find(tokens[t]) != std::string_view::npos) {
            current_base = canonical_index(tokens[t][0]);
        } else if (current_base < 0) {
            throw std::runtime_error(std::string("Invalid base: ") + tokens[t][0]);
        } else {
            group_columns[static_cast<std::size_t>(current_base)].push_back(t);
        }
    }

    // Without a motif every base of that kind is a candidate, and the
    // threshold decides which ones are reported.
    for (std::size_t base = 0; base < motifs.size(); ++base) {
        if (!motifs[base].letters.empty() || group_columns[base].empty()) {
            continue;
        }
        const char letter = canonical_bases[base];
        for (std::size_t i = 0; i < length; ++i) {
            if (sequence[i] != letter) {
                continue;
            }
            bool called = false;
            for (std::size_t column : group_columns[base]) {
                if (probabilities[i * num_channels + column] >= threshold) {
                    called = true;
                    break;
                }
            }
            candidates[i] = called;
        }
    }

    GeneratedText result;
    std::string& mm = result.text;
    std::string ml;
    mm.reserve(16 + length * 2);
    ml.reserve(length * 2);
    mm += "MM:Z:";
    current_base = -1;
    for (std::size_t t = 0; t < num_channels; ++t) {
        if (canonical_bases.find(tokens[t]) != std::string_view::npos) {
            current_base = canonical_index(tokens[t][0]);
            continue;
        }
        if (!is_modification_code(tokens[t])) {
            return failure("Invalid modified base code: " + std::string(tokens[t]));
        }
        const auto base = static_cast<std::size_t>(current_base);
        const char letter = canonical_bases[base];
        mm += letter;
        mm += '+';
        mm += tokens[t];
        mm += motifs[base].letters.size() > 1 ? '?' : '.';
        std::size_t skipped = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (sequence[i] != letter) {
                continue;
            }
            if (!candidates[i]) {
                ++skipped;
                continue;
            }
            mm += ',';
            append_integer(mm, skipped);
            ml += ',';
            append_integer(ml, static_cast<unsigned>(probabilities[i * num_channels + t]));
            skipped = 0;
        }
        mm += ';';
    }
    mm += "\tML:B:C";
    mm += ml;
    mm += "\tMN:i:";
    append_integer(mm, length);
    result.success = true;
    return result;
}

GeneratedText generate_move_table_string(ByteView moves, std::int8_t stride) {
    if (moves.size == 0) {
        return failure("Zero length move table provided to generate_move_table_string");
    }
    GeneratedText result;
    std::string& text = result.text;
    text.reserve(16 + moves.size * 2);
    text += "mv:B:c,";
    append_integer(text, static_cast<int>(stride));
    for (std::size_t i = 0; i < moves.size; ++i) {
        const unsigned value = moves[i];
        // Each item is a signed byte, so larger moves become runs of 127.
        for (unsigned run = 0; run < value / 127; ++run) {
            text += ",127";
        }
        text += ',';
        append_integer(text, value % 127);
    }
    result.success = true;
    return result;
}

GeneratedText make_unmapped_sam_line(std::string_view read_name,
                                     std::string_view sequence,
                                     std::string_view qstring) {
    if (sequence.size() != qstring.size()) {
        return failure("sequence and qscore do not match size!");
    }
    if (read_name.empty()) {
        return failure("Empty read_name string provided!");
    }
    GeneratedText result;
    std::string& line = result.text;
    line.reserve(read_name.size() + sequence.size() * 2 + 32);
    line += read_name;
    line += "\t4\t*\t0\t0\t*\t*\t0\t0\t";
    line += sequence.empty() ? std::string_view("*") : sequence;
    line += '\t';
    line += qstring.empty() ? std::string_view("*") : qstring;
    result.success = true;
    return result;
}

std::string float_tag_text(float value) {
    char buffer[48];
    auto converted = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, converted.ptr);
}

}  // namespace common
