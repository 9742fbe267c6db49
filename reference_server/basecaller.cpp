#include "reference_server/basecaller.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "reference_server/signal_model.h"

namespace reference_server {

namespace {

constexpr char bases_dna[] = "ACGT";
constexpr char bases_rna[] = "ACGU";
constexpr int max_quality = 50;
constexpr int min_quality = 1;
constexpr std::size_t max_barcode_mismatches = 3;
constexpr char scaling_version[] = "median_mad";

// 10^(-q/10) for every quality the caller gives.
const std::array<double, max_quality + 1>& error_probabilities() {
    static const std::array<double, max_quality + 1> table = [] {
        std::array<double, max_quality + 1> values{};
        for (int q = 0; q <= max_quality; ++q) {
            values[static_cast<std::size_t>(q)] = std::pow(10.0, -q / 10.0);
        }
        return values;
    }();
    return table;
}

int quality_of(std::int64_t distance_sum, std::int64_t samples) {
    if (samples <= 0) {
        return min_quality;
    }
    const double mean = static_cast<double>(distance_sum) / static_cast<double>(samples);
    const int q = max_quality - static_cast<int>(std::lround(0.9 * mean));
    return std::clamp(q, min_quality, max_quality);
}

float mean_qscore_of(const std::string& qstring) {
    if (qstring.empty()) {
        return 0.0f;
    }
    const auto& table = error_probabilities();
    double sum = 0.0;
    for (const char c : qstring) {
        sum += table[static_cast<std::size_t>(c - 33)];
    }
    return static_cast<float>(-10.0 * std::log10(sum / static_cast<double>(qstring.size())));
}

// One stretch of bases between open-pore runs, as read from the signal.
struct Piece {
    std::size_t begin = 0;         // its first sample in the read (lead-in or gap included)
    std::size_t end = 0;           // one past its last sample in the read
    std::size_t first_window = 0;  // first sample of its first window
    std::size_t windows_end = 0;   // one past its last window
    std::string sequence;
    std::string qstring;
    std::vector<std::uint8_t> moves;  // one per window
};

// Reads the signal into pieces. Open pore before the first base is the
// lead-in; open pore between two bases separates pieces; open pore at the
// end belongs to the last piece.
std::vector<Piece> read_pieces(const std::vector<std::int16_t>& samples, std::uint32_t stride, bool rna) {
    const char* letters = rna ? bases_rna : bases_dna;
    const std::size_t n = samples.size();
    std::vector<Piece> pieces;
    Piece* current = nullptr;
    bool gap_open = false;       // an open-pore run since the current piece's last window
    std::size_t gap_start = 0;
    int base_letter = -1;        // level pair of the base being read in the current piece
    std::int64_t distance_sum = 0;
    std::int64_t distance_samples = 0;
    const auto finish_base = [&] {
        if (current != nullptr && base_letter >= 0) {
            current->qstring.push_back(static_cast<char>(33 + quality_of(distance_sum, distance_samples)));
        }
        base_letter = -1;
        distance_sum = 0;
        distance_samples = 0;
    };

    std::size_t pos = 0;
    while (pos < n) {
        if (samples[pos] >= open_pore_threshold) {
            if (current != nullptr && !gap_open) {
                finish_base();
                gap_open = true;
                gap_start = pos;
            }
            while (pos < n && samples[pos] >= open_pore_threshold) {
                ++pos;
            }
            continue;
        }
        if (pos + stride > n) {
            break;  // a last window too short to read
        }
        std::int64_t sum = 0;
        std::size_t open_pore_at = n;
        for (std::size_t i = pos; i < pos + stride; ++i) {
            if (samples[i] >= open_pore_threshold) {
                open_pore_at = i;
                break;
            }
            sum += samples[i];
        }
        if (open_pore_at != n) {
            pos = open_pore_at;  // a window cut short by open pore is not read
            continue;
        }
        if (current == nullptr || gap_open) {
            finish_base();
            const std::size_t begin = current == nullptr ? 0 : gap_start;
            if (current != nullptr) {
                current->end = gap_start;
            }
            pieces.emplace_back();
            current = &pieces.back();
            current->begin = begin;
            current->first_window = pos;
            current->end = n;
            gap_open = false;
        }
        const auto rounded = static_cast<std::int32_t>(
            (2 * sum + (sum >= 0 ? 1 : -1) * static_cast<std::int64_t>(stride)) / (2 * static_cast<std::int64_t>(stride)));
        const int level_index = nearest_level_index(rounded);
        const int letter = level_index / 2;
        const bool stay = level_index % 2 == 1;
        const std::int32_t level = first_base_level + level_spacing * level_index;
        if (!stay || letter != base_letter) {
            finish_base();
            base_letter = letter;
            current->sequence.push_back(letters[letter]);
            current->moves.push_back(1);
        } else {
            current->moves.push_back(0);
        }
        for (std::size_t i = pos; i < pos + stride; ++i) {
            distance_sum += std::abs(static_cast<std::int32_t>(samples[i]) - level);
        }
        distance_samples += stride;
        pos += stride;
        current->windows_end = pos;
    }
    finish_base();
    return pieces;
}

// Median of the values, reordering them.
double median_of(std::vector<std::int32_t>& values) {
    if (values.empty()) {
        return 0.0;
    }
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return (lower + upper) / 2.0;
}

// Median and median absolute deviation of samples [begin, end), in pA when
// the read gives its digitisation.
ScalingResult scaling_of(const ReceivedRead& read, std::size_t begin, std::size_t end) {
    thread_local std::vector<std::int32_t> scratch;  // reused: no allocation per read once warm
    scratch.clear();
    for (std::size_t i = begin; i < end; ++i) {
        scratch.push_back(2 * static_cast<std::int32_t>(read.samples[i]));
    }
    // Doubled values keep the median of an even count integral.
    const double doubled_median = median_of(scratch);
    const auto center = static_cast<std::int32_t>(doubled_median);
    for (std::int32_t& value : scratch) {
        value = std::abs(value - center);
    }
    const double doubled_mad = median_of(scratch);
    ScalingResult scaling;
    double median = doubled_median / 2.0;
    double mad = doubled_mad / 2.0;
    if (read.daq_scaling != 0.0f) {
        median = (median + read.daq_offset) * read.daq_scaling;
        mad *= std::fabs(read.daq_scaling);
    }
    scaling.median = static_cast<float>(median);
    scaling.med_abs_dev = static_cast<float>(mad);
    scaling.version = scaling_version;
    return scaling;
}

// A result under construction: the call and where its windows lie.
struct Call {
    CalledResult result;
    std::vector<std::uint8_t> moves;
    std::size_t first_window = 0;  // in the read's samples
};

Call make_call(const ReceivedRead& read,
               const CallerOptions& options,
               std::size_t begin,
               std::size_t end,
               std::size_t first_window) {
    Call call;
    CalledResult& result = call.result;
    result.read_tag = read.read_tag;
    result.sub_tag = read.sub_tag;
    result.strand_id = read.strand_id.empty() ? read.read_id : read.strand_id;
    result.duration = read.duration;
    result.start_time = read.start_time;
    result.num_keldrow_events = read.num_keldrow_events;
    result.split_point = read.split_point;
    result.model_stride = options.stride;
    result.trimmed_samples = static_cast<std::uint32_t>(first_window - begin);
    result.model_version_id = options.model_version_id;
    if (options.modified_bases) {
        result.modbase_model_version_id = options.modbase_model_version_id;
    }
    result.scaling = scaling_of(read, first_window, end);
    result.median = result.scaling->median;
    result.med_abs_dev = result.scaling->med_abs_dev;
    call.first_window = first_window;
    return call;
}

void finish_scores(CalledResult& result) {
    result.mean_qscore = mean_qscore_of(result.qstring);
}

// The whole read: every piece's bases, with a 0 move per whole window of a gap.
Call whole_call(const ReceivedRead& read, const CallerOptions& options, const std::vector<Piece>& pieces) {
    const std::size_t n = read.samples.size();
    std::size_t trimmed = 0;
    if (pieces.empty()) {
        while (trimmed < n && read.samples[trimmed] >= open_pore_threshold) {
            ++trimmed;
        }
    } else {
        trimmed = pieces.front().first_window;
    }
    Call call = make_call(read, options, 0, n, trimmed);
    CalledResult& result = call.result;
    std::size_t bases = 0;
    std::size_t windows = 0;
    for (const Piece& piece : pieces) {
        bases += piece.sequence.size();
        windows += piece.moves.size();
    }
    result.sequence.reserve(bases);
    result.qstring.reserve(bases);
    call.moves.reserve(windows + (n - trimmed) / options.stride);
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        const Piece& piece = pieces[p];
        if (p > 0) {
            const std::size_t gap = piece.first_window - pieces[p - 1].windows_end;
            call.moves.insert(call.moves.end(), gap / options.stride, 0);
        }
        result.sequence += piece.sequence;
        result.qstring += piece.qstring;
        call.moves.insert(call.moves.end(), piece.moves.begin(), piece.moves.end());
    }
    finish_scores(result);
    return call;
}

Call piece_call(const ReceivedRead& read, const CallerOptions& options, const Piece& piece, std::uint32_t index) {
    Call call = make_call(read, options, piece.begin, piece.end, piece.first_window);
    CalledResult& result = call.result;
    result.sub_tag = index;
    result.strand_id = piece_strand_id(read.read_id, index);
    result.duration = static_cast<std::uint32_t>(piece.end - piece.begin);
    result.start_time = read.start_time + piece.begin;
    result.split_point = static_cast<std::int32_t>(piece.begin);
    result.sequence = piece.sequence;
    result.qstring = piece.qstring;
    call.moves = piece.moves;
    finish_scores(result);
    return call;
}

bool is_duplex_pair(const ReceivedRead& read, const CallerOptions& options, const std::vector<Piece>& pieces) {
    return options.duplex && !options.rna && read.pairing && pieces.size() == 2 &&
           !pieces[0].sequence.empty() && pieces[1].sequence == reverse_complement(pieces[0].sequence);
}

// The duplex read of a template and its complement: the template's bases,
// each with the better quality of the two strands.
Call duplex_call(const ReceivedRead& read, const CallerOptions& options, const Call& template_call, const Call& complement_call) {
    Call call = make_call(read, options, 0, read.samples.size(), template_call.first_window);
    CalledResult& result = call.result;
    result.sub_tag = duplex_sub_tag;
    result.strand_id = template_call.result.strand_id + ";" + complement_call.result.strand_id;
    result.duplex_strands = std::make_pair(template_call.result.strand_id, complement_call.result.strand_id);
    result.sequence = template_call.result.sequence;
    const std::string& q1 = template_call.result.qstring;
    const std::string& q2 = complement_call.result.qstring;
    result.qstring.resize(q1.size());
    for (std::size_t i = 0; i < q1.size(); ++i) {
        result.qstring[i] = std::max(q1[i], q2[q2.size() - 1 - i]);
    }
    call.moves = template_call.moves;  // for sample positions only: a duplex read has no move table
    finish_scores(result);
    return call;
}

void add_modified_bases(CalledResult& result) {
    const std::string& sequence = result.sequence;
    result.base_mod = BaseModResult{"C m", "5mC", "_:XG:_:_"};
    result.base_mod_probs.assign(2 * sequence.size(), 0);
    std::vector<bool> mask(sequence.size(), false);
    const std::uint64_t seed = seed_of(result.strand_id);
    for (std::size_t i = 0; i + 1 < sequence.size(); ++i) {
        if (sequence[i] == 'C' && sequence[i + 1] == 'G') {
            mask[i] = true;
            const auto modified = static_cast<std::uint8_t>(SeededStream(seed ^ (i * 0x9e3779b97f4a7c15ULL)).next() & 0xff);
            result.base_mod_probs[2 * i] = static_cast<std::uint8_t>(255 - modified);
            result.base_mod_probs[2 * i + 1] = modified;
        }
    }
    result.base_mod_context_mask = std::move(mask);
}

// The pattern with its first %i or %d (optionally zero-padded, "%02i")
// replaced by the index; any other text is kept as it is, so a pattern from
// a settings file is never used as a format.
std::string arrangement_name(const std::string& pattern, std::int32_t index) {
    for (std::size_t at = pattern.find('%'); at != std::string::npos; at = pattern.find('%', at + 1)) {
        std::size_t end = at + 1;
        bool zero = false;
        if (end < pattern.size() && pattern[end] == '0') {
            zero = true;
            ++end;
        }
        std::size_t width = 0;
        while (end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9' && width < 10) {
            width = width * 10 + static_cast<std::size_t>(pattern[end] - '0');
            ++end;
        }
        if (end < pattern.size() && (pattern[end] == 'i' || pattern[end] == 'd')) {
            std::string number = std::to_string(index);
            if (number.size() < width) {
                number.insert(0, width - number.size(), zero ? '0' : ' ');
            }
            return pattern.substr(0, at) + number + pattern.substr(end + 1);
        }
    }
    return pattern;
}

std::size_t mismatches(const std::string& text, std::size_t at, const std::string& expected) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        count += text[at + i] != expected[i] ? 1 : 0;
    }
    return count;
}

const std::vector<BarcodeKitSetting>& built_in_kits() {
    static const std::vector<BarcodeKitSetting> kits = default_settings().barcode_kits;
    return kits;
}

float barcode_score(std::size_t mismatch_count) {
    return 100.0f * static_cast<float>(barcode_length - mismatch_count) / static_cast<float>(barcode_length);
}

void add_barcode(CalledResult& result, const CallerOptions& options) {
    const std::vector<BarcodeKitSetting>& kits = options.kit_definitions.empty() ? built_in_kits() : options.kit_definitions;
    const std::string& sequence = result.sequence;
    const std::string as_dna = options.rna ? [&] {
        std::string text = sequence;
        std::replace(text.begin(), text.end(), 'U', 'T');
        return text;
    }() : std::string();
    const std::string& bases = options.rna ? as_dna : sequence;

    const BarcodeKitSetting* best_kit = nullptr;
    std::int32_t best_index = 0;
    std::size_t best_mismatches = max_barcode_mismatches + 1;
    if (bases.size() >= barcode_length) {
        for (const std::string& name : options.barcode_kits) {
            const auto kit = std::find_if(kits.begin(), kits.end(), [&](const BarcodeKitSetting& k) { return k.kit_name == name; });
            if (kit == kits.end() || kit->first_index < 1) {
                continue;
            }
            for (std::int32_t index = kit->first_index; index <= kit->last_index; ++index) {
                const std::size_t count = mismatches(bases, 0, barcode_sequence(index));
                if (count < best_mismatches) {
                    best_kit = &*kit;
                    best_index = index;
                    best_mismatches = count;
                }
            }
        }
    }

    BarcodeResult barcode;
    BarcodeTrimResult trim;
    if (best_kit == nullptr) {
        barcode.arrangement = "unclassified";
        barcode.kit = "unclassified";
        barcode.variant = "n/a";
    } else {
        barcode.arrangement = arrangement_name(best_kit->normalised_pattern, best_index);
        barcode.kit = best_kit->kit_name;
        barcode.variant = "n/a";
        barcode.score = barcode_score(best_mismatches);
        barcode.front = BarcodeEnd{barcode.score, 0, static_cast<std::int32_t>(barcode_length)};
        trim.trim_front = static_cast<std::int32_t>(barcode_length);
        if (best_kit->is_both_ends && bases.size() >= 2 * barcode_length) {
            const std::size_t rear_mismatches =
                mismatches(bases, bases.size() - barcode_length, reverse_complement(barcode_sequence(best_index)));
            if (rear_mismatches <= max_barcode_mismatches) {
                barcode.rear = BarcodeEnd{barcode_score(rear_mismatches), static_cast<std::int32_t>(bases.size()),
                                          static_cast<std::int32_t>(barcode_length)};
                trim.trim_rear = static_cast<std::int32_t>(barcode_length);
            }
        }
    }
    result.barcode = std::move(barcode);
    result.barcode_trim = trim;
}

// Sample positions of a call's bases: where each base's first window starts,
// and where its last window ends.
std::int64_t base_start_sample(const Call& call, std::size_t base, std::uint32_t stride) {
    std::size_t seen = 0;
    for (std::size_t w = 0; w < call.moves.size(); ++w) {
        if (call.moves[w] != 0 && seen++ == base) {
            return static_cast<std::int64_t>(call.first_window + w * stride);
        }
    }
    return static_cast<std::int64_t>(call.first_window + call.moves.size() * stride);
}

void add_poly_tail(Call& call, const CallerOptions& options) {
    CalledResult& result = call.result;
    const std::string& sequence = result.sequence;
    const char tail_base = 'A';
    const char head_base = options.rna ? 'U' : 'T';
    std::size_t tail = 0;
    while (tail < sequence.size() && sequence[sequence.size() - 1 - tail] == tail_base) {
        ++tail;
    }
    std::size_t head = 0;
    while (head < sequence.size() && sequence[head] == head_base) {
        ++head;
    }
    PolyTailResult poly{0, -1, -1, -1, -1, -1};
    if (tail >= min_poly_tail && tail >= head) {
        poly.length = static_cast<std::int32_t>(tail);
        poly.start_1 = base_start_sample(call, sequence.size() - tail, options.stride);
        poly.end_1 = base_start_sample(call, sequence.size(), options.stride);
        poly.anchor = poly.start_1;
        result.strand_orientation_code = 1;
    } else if (head >= min_poly_tail) {
        poly.length = static_cast<std::int32_t>(head);
        poly.start_1 = base_start_sample(call, 0, options.stride);
        poly.end_1 = base_start_sample(call, head, options.stride);
        poly.anchor = poly.end_1;
        result.strand_orientation_code = -1;
    }
    result.poly_tail = poly;
}

CalledResult finish(Call& call, const CallerOptions& options, bool keep_moves) {
    if (options.modified_bases) {
        add_modified_bases(call.result);
    }
    if (!options.barcode_kits.empty()) {
        add_barcode(call.result, options);
    }
    if (options.estimate_poly_a) {
        add_poly_tail(call, options);
    }
    if (options.moves && keep_moves) {
        call.result.moves = std::move(call.moves);
    }
    return std::move(call.result);
}

}  // namespace

std::vector<CalledResult> call_read(const ReceivedRead& read, const CallerOptions& input_options) {
    CallerOptions options = input_options;
    options.stride = std::max<std::uint32_t>(1, options.stride);
    std::vector<Piece> pieces = read_pieces(read.samples, options.stride, options.rna);
    if (!pieces.empty() && read.samples.size() - pieces.front().first_window < options.min_samples) {
        pieces.clear();
    }

    std::vector<CalledResult> results;
    if (options.split_reads && pieces.size() >= 2) {
        std::vector<Call> calls;
        calls.reserve(pieces.size());
        for (std::size_t p = 0; p < pieces.size(); ++p) {
            calls.push_back(piece_call(read, options, pieces[p], static_cast<std::uint32_t>(p + 1)));
        }
        std::optional<Call> duplex;
        if (is_duplex_pair(read, options, pieces)) {
            calls[0].result.is_duplex_parent = true;
            calls[1].result.is_duplex_parent = true;
            duplex = duplex_call(read, options, calls[0], calls[1]);
        }
        results.reserve(calls.size() + 2);
        for (Call& call : calls) {
            results.push_back(finish(call, options, true));
        }
        if (duplex) {
            results.push_back(finish(*duplex, options, false));
        }
    }
    Call whole = whole_call(read, options, pieces);
    results.push_back(finish(whole, options, true));
    return results;
}

std::string barcode_sequence(std::int32_t index) {
    SeededStream stream(seed_of("barcode") + static_cast<std::uint64_t>(index));
    std::string sequence(barcode_length, 'A');
    for (char& base : sequence) {
        base = bases_dna[stream.below(4)];
    }
    return sequence;
}

std::string piece_strand_id(const std::string& read_id, std::uint32_t piece) {
    SeededStream stream(seed_of(read_id) ^ (0xa0761d6478bd642fULL * piece));
    return uuid_from(stream);
}

}  // namespace reference_server
