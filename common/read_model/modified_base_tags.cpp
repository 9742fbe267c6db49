#include "common/read_model/modified_base_tags.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "interfaces/read_metadata.h"

namespace common {

namespace {

namespace dw = vesk::data_wrappers::v2;

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

// The sequence characters that hold a canonical base: an RNA read's U
// counts as T, as the motif codes read it. Two compares per base, so the
// long-read loops stay cheap.
struct BaseLetters {
    char letter;
    char alternative;

    explicit BaseLetters(std::size_t base)
        : letter(canonical_bases[base]), alternative(base == 3 ? 'U' : canonical_bases[base]) {}
    bool held_by(char character) const { return character == letter || character == alternative; }
};

int canonical_index(char base) {
    switch (base) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T': return 3;
    default: return -1;
    }
}


std::size_t decimal_digits(std::uint64_t value) {
    std::size_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
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
    // Per motif position, which sequence characters it accepts.
    std::vector<std::array<bool, 256>> accepts;
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
            std::array<bool, 256> accepted{};
            for (char match : iupac_matches(letter)) {
                accepted[static_cast<unsigned char>(match)] = true;
            }
            motifs[base].accepts.push_back(accepted);
        }
    }
    return motifs;
}

bool motif_matches_at(const Motif& motif, std::string_view sequence, std::size_t start) {
    for (std::size_t j = 0; j < motif.accepts.size(); ++j) {
        if (!motif.accepts[j][static_cast<unsigned char>(sequence[start + j])]) {
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

namespace {

// The positions of bases with a motif that are candidates: the supplied
// flags, or every motif occurrence. Empty (and `error` set) when the flags
// do not cover the sequence.
std::vector<bool> motif_candidates(std::string_view sequence,
                                   const std::array<Motif, 4>& motifs,
                                   const std::vector<bool>* base_flags,
                                   std::string& error) {
    const std::size_t length = sequence.size();
    if (base_flags != nullptr) {
        if (base_flags->size() != length) {
            error = "Base flags cover " + std::to_string(base_flags->size()) + " positions but the sequence has " +
                    std::to_string(length) + " bases.";
            return {};
        }
        return *base_flags;
    }
    std::vector<bool> candidates(length, false);
    for (const Motif& motif : motifs) {
        if (motif.letters.empty() || motif.letters.size() > length) {
            continue;
        }
        for (std::size_t start = 0; start + motif.letters.size() <= length; ++start) {
            if (motif_matches_at(motif, sequence, start)) {
                candidates[start + motif.offset] = true;
            }
        }
    }
    return candidates;
}

// Columns of each canonical base's modifications, by base index.
std::array<std::vector<std::size_t>, 4> modification_columns(const std::vector<std::string_view>& tokens) {
    std::array<std::vector<std::size_t>, 4> group_columns;
    int current_base = -1;
    for (std::size_t t = 0; t < tokens.size(); ++t) {
        if (canonical_bases.find(tokens[t]) != std::string_view::npos) {
            current_base = canonical_index(tokens[t][0]);
        } else if (current_base < 0) {
            throw std::runtime_error(std::string("Invalid base: ") + tokens[t][0]);
        } else {
            group_columns[static_cast<std::size_t>(current_base)].push_back(t);
        }
    }
    return group_columns;
}

// Without a motif every base of that kind is a candidate, and the
// threshold decides which ones are reported.
void call_bases_without_motif(std::string_view sequence,
                              const std::array<Motif, 4>& motifs,
                              const std::array<std::vector<std::size_t>, 4>& group_columns,
                              ByteView probabilities,
                              std::size_t num_channels,
                              unsigned threshold,
                              std::vector<bool>& candidates) {
    for (std::size_t base = 0; base < motifs.size(); ++base) {
        if (!motifs[base].letters.empty() || group_columns[base].empty()) {
            continue;
        }
        const BaseLetters letters(base);
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            if (!letters.held_by(sequence[i])) {
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
}

// One modification's MM entry (skips between the candidates) and its ML
// probabilities, those of column `column`.
void append_modification(std::string& mm,
                         std::string& ml,
                         const BaseLetters& letters,
                         std::string_view code,
                         char skip_mode,
                         std::string_view sequence,
                         const std::vector<bool>& candidates,
                         ByteView probabilities,
                         std::size_t num_channels,
                         std::size_t column) {
    mm += letters.letter;
    mm += '+';
    mm += code;
    mm += skip_mode;
    // Long reads make these loops the cost of a SAM line, so they write
    // into room made beforehand instead of appending piecewise.
    const auto occurrences = static_cast<std::size_t>(
        std::count_if(sequence.begin(), sequence.end(), [&letters](char c) { return letters.held_by(c); }));
    const std::size_t mm_start = mm.size();
    const std::size_t ml_start = ml.size();
    mm.resize(mm_start + occurrences * (1 + decimal_digits(occurrences)));
    ml.resize(ml_start + occurrences * 4);
    char* mm_out = mm.data() + mm_start;
    char* ml_out = ml.data() + ml_start;
    std::size_t skipped = 0;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        if (!letters.held_by(sequence[i])) {
            continue;
        }
        if (!candidates[i]) {
            ++skipped;
            continue;
        }
        *mm_out++ = ',';
        mm_out = write_unsigned(mm_out, mm.data() + mm.size(), skipped);
        *ml_out++ = ',';
        ml_out = write_unsigned(ml_out, ml.data() + ml.size(), probabilities[i * num_channels + column]);
        skipped = 0;
    }
    mm.resize(static_cast<std::size_t>(mm_out - mm.data()));
    ml.resize(static_cast<std::size_t>(ml_out - ml.data()));
    mm += ';';
}

}  // namespace

GeneratedText generate_modbase_string(std::string_view sequence,
                                      std::string_view alphabet,
                                      std::string_view context,
                                      const std::vector<bool>* base_flags,
                                      ByteView probabilities,
                                      unsigned threshold) {
    const std::vector<std::string_view> tokens = split_whitespace(alphabet);
    const std::size_t num_channels = tokens.size();
    const std::size_t length = sequence.size();
    if (num_channels * length != probabilities.size()) {
        return generation_failure("Mismatch between modbase_probs size and sequence length * num channels in modbase_alphabet!");
    }

    const std::array<Motif, 4> motifs = parse_context(context);
    std::string error;
    std::vector<bool> candidates = motif_candidates(sequence, motifs, base_flags, error);
    if (!error.empty()) {
        return generation_failure(std::move(error));
    }
    call_bases_without_motif(sequence, motifs, modification_columns(tokens), probabilities, num_channels, threshold,
                             candidates);

    GeneratedText result;
    std::string& mm = result.text;
    std::string ml;
    mm += "MM:Z:";
    int current_base = -1;
    for (std::size_t t = 0; t < num_channels; ++t) {
        if (canonical_bases.find(tokens[t]) != std::string_view::npos) {
            current_base = canonical_index(tokens[t][0]);
            continue;
        }
        if (!is_modification_code(tokens[t])) {
            return generation_failure("Invalid modified base code: " + std::string(tokens[t]));
        }
        const auto base = static_cast<std::size_t>(current_base);
        append_modification(mm, ml, BaseLetters(base), tokens[t], motifs[base].letters.size() > 1 ? '?' : '.',
                            sequence, candidates, probabilities, num_channels, t);
    }
    mm += "\tML:B:C";
    mm += ml;
    mm += "\tMN:i:";
    append_integer(mm, length);
    result.success = true;
    return result;
}

std::string modified_base_tags(const ReadHolder& read, unsigned threshold) {
    const dw::DataSetData* probabilities = find_dataset(read, dw::base_mod_probs);
    if (probabilities == nullptr) {
        return {};
    }
    const ByteView view = probabilities->view<const std::uint8_t>();
    const interfaces::ReadMetadata& metadata = metadata_of(read);
    static const std::string no_text;
    const auto& basecall = metadata.basecall_data;
    const std::string& alphabet = basecall ? basecall->base_mod_alphabet : no_text;
    const std::string& context = basecall ? basecall->base_mod_context : no_text;
    const std::vector<bool>* base_flags = (basecall && !basecall->base_flags.empty()) ? &basecall->base_flags : nullptr;
    const dw::DataSetData* sequence = find_dataset(read, dw::sequence);
    const std::string_view bases = sequence != nullptr ? std::string_view(sequence->string_value()) : std::string_view();
    GeneratedText tags = generate_modbase_string(bases, alphabet, context, base_flags, view, threshold);
    if (!tags.success) {
        throw std::runtime_error("generate_modbase_string failed: " + tags.error);
    }
    return std::move(tags.text);
}

}  // namespace common
