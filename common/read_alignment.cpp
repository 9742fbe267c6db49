#include "common/read_alignment.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "common/alignment_config.h"
#include "common/contract.h"
#include "common/read_holder.h"
#include "common/target_configurations.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/data_table.h"
#include "data_wrappers/dataset.h"
#include "interfaces/read_metadata.h"

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
    out.append(buffer, static_cast<std::size_t>(converted.ptr - buffer));
}

// Writes into a buffer sized beforehand; returns the end of the text.
char* write_unsigned(char* out, char* end, std::uint64_t value) {
    return std::to_chars(out, end, value).ptr;
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
    if (num_channels * length != probabilities.size()) {
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
                if (motif_matches_at(motif, sequence, start)) {
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
        // Long reads make these loops the cost of a SAM line, so they
        // write into room made beforehand instead of appending piecewise.
        const auto occurrences = static_cast<std::size_t>(std::count(sequence.begin(), sequence.end(), letter));
        const std::size_t mm_start = mm.size();
        const std::size_t ml_start = ml.size();
        mm.resize(mm_start + occurrences * (1 + decimal_digits(occurrences)));
        ml.resize(ml_start + occurrences * 4);
        char* mm_out = mm.data() + mm_start;
        char* ml_out = ml.data() + ml_start;
        std::size_t skipped = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (sequence[i] != letter) {
                continue;
            }
            if (!candidates[i]) {
                ++skipped;
                continue;
            }
            *mm_out++ = ',';
            mm_out = write_unsigned(mm_out, mm.data() + mm.size(), skipped);
            *ml_out++ = ',';
            ml_out = write_unsigned(ml_out, ml.data() + ml.size(), probabilities[i * num_channels + t]);
            skipped = 0;
        }
        mm.resize(static_cast<std::size_t>(mm_out - mm.data()));
        ml.resize(static_cast<std::size_t>(ml_out - ml.data()));
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
    if (moves.empty()) {
        return failure("Zero length move table provided to generate_move_table_string");
    }
    GeneratedText result;
    std::string& text = result.text;
    text += "mv:B:c,";
    append_integer(text, static_cast<int>(stride));
    // Exact room first: long move tables are the bulk of a SAM line.
    std::size_t needed = 0;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const unsigned remainder = moves[i] % 127;
        needed += 4 * (moves[i] / 127) + 2 + (remainder >= 10) + (remainder >= 100);
    }
    const std::size_t start = text.size();
    text.resize(start + needed);
    char* out = text.data() + start;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const unsigned value = moves[i];
        // Each item is a signed byte, so larger moves become runs of 127.
        for (unsigned run = 0; run < value / 127; ++run) {
            std::memcpy(out, ",127", 4);
            out += 4;
        }
        *out++ = ',';
        out = write_unsigned(out, text.data() + text.size(), value % 127);
    }
    text.resize(static_cast<std::size_t>(out - text.data()));
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


namespace {

namespace dw = vesk::data_wrappers::v2;
using interfaces::ReadMetadata;

const ReadMetadata& metadata_of(const ReadHolder& read) {
    QOR_EXPECTS(read.metadata != nullptr, "Read record has no metadata: it was passed to a client");
    return *read.metadata;
}

const dw::DataSetData* find_dataset(const ReadHolder& read, dw::dataset key) {
    auto found = read.datasets.find(key);
    return found == read.datasets.end() ? nullptr : &found->second;
}

void append_tag(std::string& line, std::string_view name_and_type, std::string_view value) {
    line += '\t';
    line += name_and_type;
    line += value;
}

template <class Integer>
void append_integer_tag(std::string& line, std::string_view name_and_type, Integer value) {
    line += '\t';
    line += name_and_type;
    append_integer(line, value);
}

void append_float_tag(std::string& line, std::string_view name_and_type, float value) {
    append_tag(line, name_and_type, float_tag_text(value));
}

std::string_view last_path_component(std::string_view path) {
    std::size_t separator = path.find_last_of("/\\");
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

bool writes_bed_hits(const ReadHolder& read) {
    if (!read.target_configurations) {
        return false;
    }
    auto alignment = read.target_configurations->get<AlignmentConfig>();
    return alignment != nullptr && alignment->has_bed_file();
}

// The per-read tags, each preceded by a tab. `with_target_configurations`
// is false for the FASTQ header, which never carries "bh:i:".
void append_read_tags(std::string& line, const ReadHolder& read, bool with_target_configurations) {
    const ReadMetadata& metadata = metadata_of(read);
    const auto& basecall = metadata.basecall_data;
    if (basecall) {
        append_float_tag(line, "qs:f:", basecall->mean_qscore);
    }
    if (metadata.mux) {
        append_integer_tag(line, "mx:i:", *metadata.mux);
    }
    if (metadata.channel) {
        append_integer_tag(line, "ch:i:", *metadata.channel);
    }
    append_integer_tag(line, "rn:i:", metadata.read_number);
    if (!metadata.time_stamp.empty()) {
        append_tag(line, "st:Z:", metadata.time_stamp);
    }
    if (!metadata.filename.empty()) {
        append_tag(line, "f5:Z:", last_path_component(metadata.filename));
    }
    append_integer_tag(line, "ns:i:", metadata.duration);
    append_integer_tag(line, "ts:i:", metadata.trimmed_samples);
    if (basecall) {
        append_float_tag(line, "sm:f:", basecall->scaling_median);
        append_float_tag(line, "sd:f:", basecall->scaling_med_abs_dev);
        append_tag(line, "sv:Z:", basecall->scaling_version);
    }
    if (metadata.sampling_rate > 0.0f) {
        append_float_tag(line, "du:f:",
                         static_cast<float>(static_cast<double>(metadata.duration) / metadata.sampling_rate));
    }
    if (const auto& poly_tail = metadata.poly_tail_data) {
        append_integer_tag(line, "pt:i:", poly_tail->poly_tail_length);
        line += "\tpa:B:i";
        for (std::int64_t value : {poly_tail->poly_tail_anchor, poly_tail->poly_tail_start_1, poly_tail->poly_tail_end_1,
                                   poly_tail->poly_tail_start_2, poly_tail->poly_tail_end_2}) {
            line += ',';
            append_integer(line, value);
        }
    }
    // A piece of a split read names its parent.
    if (metadata.strand_id != metadata.read_id) {
        append_tag(line, "pi:Z:", metadata.read_id);
        if (metadata.split_point >= 0 && !metadata.duplex_strands) {
            append_integer_tag(line, "sp:i:", metadata.split_point);
        }
    }
    // "TS:A:" holds exactly one printable character; any other orientation
    // text would make the record unreadable, so it is left out.
    const std::string& orientation = metadata.strand_orientation;
    if (orientation != "?" && orientation.size() == 1 && orientation[0] > ' ' && orientation[0] <= '~') {
        append_tag(line, "TS:A:", orientation);
    }
    if (!metadata.umi_tag_sequence.empty()) {
        append_tag(line, "RX:Z:", metadata.umi_tag_sequence);
    }
    if (with_target_configurations && writes_bed_hits(read)) {
        append_integer_tag(line, "bh:i:", metadata.alignment_data ? metadata.alignment_data->bed_hits : 0);
    }
    int duplex = 0;
    if (metadata.duplex_strands) {
        duplex = 1;
    } else if (metadata.is_duplex_parent) {
        duplex = -1;
    }
    append_integer_tag(line, "dx:i:", duplex);
}

std::string_view or_unknown(const std::string& text) {
    return text.empty() ? std::string_view("unknown") : std::string_view(text);
}

// Empty when the read has no moves or no basecall group to take the stride
// from; an empty move table also gives an empty tag.
std::string move_table_tag(const ReadHolder& read) {
    const dw::DataSetData* moves = find_dataset(read, dw::movement);
    const ReadMetadata& metadata = metadata_of(read);
    if (moves == nullptr || !metadata.basecall_data) {
        return {};
    }
    GeneratedText tag = generate_move_table_string(moves->view<const std::uint8_t>(),
                                                   static_cast<std::int8_t>(metadata.basecall_data->model_stride));
    return tag.success ? std::move(tag.text) : std::string();
}

std::string modbase_tags(const ReadHolder& read, unsigned threshold) {
    const dw::DataSetData* probabilities = find_dataset(read, dw::base_mod_probs);
    if (probabilities == nullptr) {
        return {};
    }
    const ByteView view = probabilities->view<const std::uint8_t>();
    const ReadMetadata& metadata = metadata_of(read);
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

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (text.empty()) {
        return lines;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return lines;
        }
        start = end + 1;
    }
}

// The server's records, one per row of the alignment table, each with as
// many BED lines as that row's BedHits.
std::vector<apps::Read::AlignmentSamLine> alignment_sam_lines(const ReadHolder& read, const dw::DataSetData& results) {
    const dw::DataTable table(results);
    const auto bed_hits = table.field_view<const std::int32_t>("BedHits");
    const ReadMetadata& metadata = metadata_of(read);
    const std::vector<std::string_view> sam_records = split_lines(metadata.sam_record);
    const std::vector<std::string_view> bed_lines = split_lines(metadata.bed_lines);

    std::vector<apps::Read::AlignmentSamLine> lines;
    lines.reserve(bed_hits.size());
    std::size_t next_bed_line = 0;
    for (std::size_t row = 0; row < bed_hits.size(); ++row) {
        // Server text that does not cover its own table is malformed; say
        // so rather than write records that lose alignments.
        if (row >= sam_records.size()) {
            throw std::runtime_error("Read " + metadata.read_id + " has " + std::to_string(bed_hits.size()) +
                                     " alignments but only " + std::to_string(sam_records.size()) +
                                     " SAM records.");
        }
        apps::Read::AlignmentSamLine line;
        line.sam_line = std::string(sam_records[row]);
        const std::size_t hits = bed_hits[row] > 0 ? static_cast<std::size_t>(bed_hits[row]) : 0;
        if (hits > bed_lines.size() - next_bed_line) {
            throw std::runtime_error("Read " + metadata.read_id + " reports more BED hits than BED lines.");
        }
        line.bed_lines.reserve(hits);
        for (std::size_t k = 0; k < hits; ++k) {
            line.bed_lines.emplace_back(bed_lines[next_bed_line++]);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

const std::string& text_dataset(const ReadHolder& read, dw::dataset key, const char* missing_what) {
    const dw::DataSetData* data = find_dataset(read, key);
    if (data == nullptr) {
        throw std::runtime_error("Read " + metadata_of(read).read_id + " does not contain a " + missing_what +
                                 "! Cannot generate SAM line.");
    }
    return data->string_value();
}

}  // namespace

std::string fastq_header_line(const ReadHolder& read, bool include_move_table) {
    const ReadMetadata& metadata = metadata_of(read);
    std::string line;
    line.reserve(512);
    line += '@';
    line += metadata.strand_id;
    append_read_tags(line, read, false);

    const std::string no_arrangement;
    const std::string& arrangement = metadata.barcode_data ? metadata.barcode_data->arrangement : no_arrangement;
    const std::string& alias = metadata.barcode_data ? metadata.barcode_data->alias : no_arrangement;
    line += "\tRG:Z:";
    line += metadata.run_id;
    line += '_';
    line += or_unknown(metadata.model_version_id);
    if (!arrangement.empty()) {
        line += '_';
        line += arrangement;
    }
    append_tag(line, "DT:Z:", or_unknown(metadata.exp_start_time));
    append_tag(line, "PU:Z:", or_unknown(metadata.flow_cell_id));
    append_tag(line, "LB:Z:", or_unknown(metadata.sample_id));
    if (!metadata.gpu_name.empty()) {
        append_tag(line, "DS:Z:", metadata.gpu_name);
    }
    if (!arrangement.empty() && arrangement != "unclassified") {
        append_tag(line, "SM:Z:", arrangement);
    }
    if (!alias.empty() && alias != "unclassified") {
        append_tag(line, "al:Z:", alias);
    }
    if (include_move_table && find_dataset(read, dw::movement) != nullptr) {
        append_tag(line, "", move_table_tag(read));
    }
    return line;
}

std::vector<apps::Read::AlignmentSamLine> sam_and_bed_lines(const ReadHolder& read, float threshold_percent) {
    const unsigned threshold = modbase_threshold_from_percent(threshold_percent);
    const ReadMetadata& metadata = metadata_of(read);

    std::vector<apps::Read::AlignmentSamLine> lines;
    if (const dw::DataSetData* results = find_dataset(read, dw::align_results)) {
        lines = alignment_sam_lines(read, *results);
    }
    if (!lines.empty()) {
        const std::string& first = lines.front().sam_line;
        std::size_t tabs = 0;
        std::size_t reference_start = 0;
        std::size_t reference_end = 0;
        for (std::size_t i = 0; i < first.size(); ++i) {
            if (first[i] != '\t') {
                continue;
            }
            ++tabs;
            if (tabs == 2) {
                reference_start = i + 1;
            } else if (tabs == 3) {
                reference_end = i;
            }
        }
        if (tabs < 10) {
            throw std::runtime_error("Malformed alignment SAM line: \n" + first);
        }
        if (std::string_view(first).substr(reference_start, reference_end - reference_start) == "*") {
            lines.clear();
        }
    }
    if (lines.empty()) {
        std::string name = metadata.strand_id;
        if (metadata.duplex_strands) {
            name = metadata.duplex_strands->duplex_strand_1 + ";" + metadata.duplex_strands->duplex_strand_2;
        }
        const std::string& qstring = text_dataset(read, dw::qstring, "qstring");
        const std::string& sequence = text_dataset(read, dw::sequence, "sequence");
        GeneratedText unmapped = make_unmapped_sam_line(name, sequence, qstring);
        if (!unmapped.success) {
            throw std::runtime_error("make_unmapped_sam_line failed: " + unmapped.error);
        }
        lines.push_back(apps::Read::AlignmentSamLine{std::move(unmapped.text), {}});
    }

    std::string& first = lines.front().sam_line;
    const std::string modbase = modbase_tags(read, threshold);
    if (!modbase.empty()) {
        append_tag(first, "", modbase);
    }
    if (find_dataset(read, dw::movement) != nullptr) {
        const std::string moves = move_table_tag(read);
        if (!moves.empty()) {
            append_tag(first, "", moves);
        }
    }
    append_read_tags(first, read, true);
    return lines;
}

void update_alignment_metadata(ReadHolder& read) {
    const dw::DataSetData* results = find_dataset(read, dw::align_results);
    if (results == nullptr) {
        throw std::runtime_error("Could not find align results in read holder");
    }
    QOR_EXPECTS(read.metadata != nullptr, "Read record has no metadata: it was passed to a client");
    const dw::DataTable table(*results);
    ReadMetadata& metadata = *read.metadata;
    auto& summary = metadata.alignment_data.emplace();
    if (table.num_rows() == 0) {
        return;
    }

    const std::uint8_t* first_row = table.row(0);
    const dw::FieldInfo& genome = table.field("Genome");
    const char* genome_text = reinterpret_cast<const char*>(first_row + genome.offset);
    summary.genome.assign(genome_text, strnlen(genome_text, static_cast<std::size_t>(genome.size)));
    summary.direction.assign(1, static_cast<char>(table.field_view<const std::int8_t>("Direction")[0]));
    auto int_field = [&table](std::string_view name) { return table.field_view<const std::int32_t>(name)[0]; };
    auto float_field = [&table](std::string_view name) { return table.field_view<const float>(name)[0]; };
    summary.genome_start = int_field("GenomeStart");
    summary.genome_end = int_field("GenomeEnd");
    summary.strand_start = int_field("StrandStart");
    summary.strand_end = int_field("StrandEnd");
    summary.num_events = int_field("NumEvents");
    summary.num_insertions = int_field("NumInsertions");
    summary.num_deletions = int_field("NumDeletions");
    summary.num_aligned = int_field("NumAligned");
    summary.num_correct = int_field("NumCorrect");
    summary.coverage = float_field("Coverage");
    summary.identity = float_field("Identity");
    summary.accuracy = float_field("Accuracy");
    summary.strand_score = int_field("StrandScore");
    summary.mapping_quality = int_field("MappingQuality");
    summary.bed_hits = int_field("BedHits");

    const auto genome_starts = table.field_view<const std::int32_t>("GenomeStart");
    const auto secondary = table.field_view<const std::uint8_t>("IsSecondary");
    const auto supplementary = table.field_view<const std::uint8_t>("IsSupplementary");
    summary.num_alignments = static_cast<std::int32_t>(
        std::count_if(genome_starts.begin(), genome_starts.end(), [](std::int32_t start) { return start != 0; }));
    summary.num_secondary_alignments = static_cast<std::int32_t>(
        std::count_if(secondary.begin(), secondary.end(), [](std::uint8_t flag) { return flag != 0; }));
    summary.num_supplementary_alignments = static_cast<std::int32_t>(
        std::count_if(supplementary.begin(), supplementary.end(), [](std::uint8_t flag) { return flag != 0; }));
}

}  // namespace common
