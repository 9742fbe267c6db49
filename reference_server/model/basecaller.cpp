#include "reference_server/model/basecaller.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "reference_server/model/signal_model.h"

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
    // round(0.9 * sum / samples) in integers.
    const auto penalty = static_cast<int>((9 * distance_sum + 5 * samples) / (10 * samples));
    const int q = max_quality - penalty;
    return std::clamp(q, min_quality, max_quality);
}

// Quality characters of a base by the windows it spans and their summed
// distance to its level, for the bases the model's noise gives (up to
// tabled_windows windows, each at most tabled_distance from its level): the
// window loop looks a base's quality up rather than dividing.
constexpr std::size_t tabled_windows = 8;
constexpr std::size_t tabled_distance = 63;
constexpr std::size_t tabled_sums = tabled_windows * tabled_distance + 1;
using QualityTable = std::array<std::array<char, tabled_sums>, tabled_windows + 1>;

const QualityTable& quality_chars() {
    static const QualityTable table = [] {
        QualityTable values{};
        for (std::size_t windows = 1; windows <= tabled_windows; ++windows) {
            for (std::size_t sum = 0; sum < tabled_sums; ++sum) {
                values[windows][sum] = static_cast<char>(
                    33 + quality_of(static_cast<std::int64_t>(sum), static_cast<std::int64_t>(windows)));
            }
        }
        return values;
    }();
    return table;
}

char quality_char(std::uint32_t distance_sum, std::uint32_t windows, const QualityTable& table) {
    if (windows <= tabled_windows && distance_sum < tabled_sums) {
        return table[windows][distance_sum];
    }
    return static_cast<char>(33 + quality_of(distance_sum, windows));
}

// What one sample below the open-pore threshold says of its window: the
// nearest level, the letter of its base, the distance to the level, and the
// quality character of a base of that window alone. Looked up by value from
// 0 up (a negative sample is read as 0), one table per alphabet, so that a
// window costs one lookup and no arithmetic.
struct WindowReading {
    std::uint8_t level_index = 0;  // 2 * base index, + 1 for a stay level
    char letter = 0;
    char quality = 0;              // of a base of this one window
    std::uint16_t distance = 0;    // to the level
};

using WindowReadings = std::array<WindowReading, open_pore_threshold>;

WindowReadings make_window_readings(const char* letters) {
    WindowReadings values{};
    for (std::int32_t v = 0; v < open_pore_threshold; ++v) {
        const int index = nearest_level_index(v);
        const auto distance = static_cast<std::uint16_t>(std::abs(v - (first_base_level + level_spacing * index)));
        values[static_cast<std::size_t>(v)] = WindowReading{static_cast<std::uint8_t>(index), letters[index / 2],
                                                            quality_char(distance, 1, quality_chars()), distance};
    }
    return values;
}

const WindowReadings& window_readings(bool rna) {
    static const WindowReadings dna = make_window_readings(bases_dna);
    static const WindowReadings rna_readings = make_window_readings(bases_rna);
    return rna ? rna_readings : dna;
}

// Counting the qualities first (in four interleaved tallies, so that runs of
// one quality do not wait on each other) and summing their probabilities in
// quality order keeps the sum free of a long chain of dependent additions.
float mean_qscore_of(std::string_view qstring) {
    if (qstring.empty()) {
        return 0.0f;
    }
    constexpr std::size_t lanes = 4;  // as many as the loop below writes
    std::array<std::array<std::uint32_t, max_quality + 1>, lanes> counts{};
    const std::size_t n = qstring.size();
    std::size_t i = 0;
    const auto index = [&qstring](std::size_t at) { return static_cast<std::size_t>(qstring[at] - 33); };
    for (; i + lanes <= n; i += lanes) {
        ++counts[0][index(i)];
        ++counts[1][index(i + 1)];
        ++counts[2][index(i + 2)];
        ++counts[3][index(i + 3)];
    }
    for (; i < n; ++i) {
        ++counts[0][static_cast<std::size_t>(qstring[i] - 33)];
    }
    const auto& table = error_probabilities();
    double sum = 0.0;
    for (std::size_t q = 0; q <= max_quality; ++q) {
        std::uint64_t count = 0;
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            count += counts[lane][q];
        }
        sum += static_cast<double>(count) * table[q];
    }
    return static_cast<float>(-10.0 * std::log10(sum / static_cast<double>(n)));
}

// One stretch of bases between open-pore runs, as read from the signal. Its
// bases and moves lie in the read's Scan buffers.
struct Piece {
    std::size_t begin = 0;         // its first sample in the read (lead-in or gap included)
    std::size_t end = 0;           // one past its last sample in the read
    std::size_t first_window = 0;  // first sample of its first window
    std::size_t windows_end = 0;   // one past its last window
    std::size_t first_base = 0;    // its bases: [first_base, bases_end) of sequence and qstring
    std::size_t bases_end = 0;
    std::size_t first_move = 0;    // its moves, one per window: [first_move, moves_end) of moves
    std::size_t moves_end = 0;
};

// A read as the signal gives it: the bases of all its pieces one after
// another, and the whole read's moves (a 0 for each whole window of a gap
// between pieces), which is exactly the whole read's call.
struct Scan {
    std::string sequence;
    std::string qstring;
    std::vector<std::uint8_t> moves;
    std::vector<Piece> pieces;

    std::string_view bases_of(const Piece& piece) const {
        return std::string_view(sequence).substr(piece.first_base, piece.bases_end - piece.first_base);
    }
    std::string_view qualities_of(const Piece& piece) const {
        return std::string_view(qstring).substr(piece.first_base, piece.bases_end - piece.first_base);
    }
};

// Where the window loops write a read's call: the next base, quality and
// move go at these places.
struct CallCursor {
    char* sequence = nullptr;
    char* qstring = nullptr;
    std::uint8_t* moves = nullptr;
};

// The base being read: its level pair, and its windows and their summed
// distance to its level so far.
struct OpenBase {
    int letter = -1;
    std::uint32_t windows = 0;
    std::uint32_t distance_sum = 0;
};

// Reads stay windows from `pos` (its window is a stay level) while a window
// fits, its first sample is below the open-pore threshold and its level is a
// stay level, and returns where it stopped. A stay of the base before
// extends it, and the base's quality is rewritten from all its windows so
// far; a stay of another base opens a base.
std::size_t read_stays(const std::int16_t* samples,
                       std::size_t n,
                       std::size_t pos,
                       std::uint32_t stride,
                       const WindowReadings& readings,
                       CallCursor& out,
                       OpenBase base) {
    const QualityTable& qualities = quality_chars();
    for (; pos + stride <= n; pos += stride) {
        const std::int32_t sample = samples[pos];
        if (sample >= open_pore_threshold) {
            break;
        }
        const WindowReading& reading = readings[static_cast<std::size_t>(std::max(sample, std::int32_t{0}))];
        if ((reading.level_index & 1) == 0) {
            break;
        }
        const int letter = reading.level_index >> 1;
        if (letter == base.letter) {
            ++base.windows;
            base.distance_sum += reading.distance;
            out.qstring[-1] = quality_char(base.distance_sum, base.windows, qualities);
            *out.moves++ = 0;
        } else {
            *out.sequence++ = reading.letter;
            *out.qstring++ = reading.quality;
            *out.moves++ = 1;
            base = OpenBase{letter, 1, reading.distance};
        }
    }
    return pos;
}

// Reads windows from `pos` while a window fits and its first sample is below
// the open-pore threshold, and returns where it stopped. The noise never
// takes a sample nearer another level, so one sample names a window's
// level: the work is per window, not per sample.
//
// Most windows open a base (a start level): those take the short loop,
// which writes the base with the quality of its one window and keeps no
// other state. A stay level hands over to read_stays, with the base before
// it as the short loop left it: one window, the one just before.
std::size_t read_windows(const std::int16_t* samples,
                         std::size_t n,
                         std::size_t pos,
                         std::uint32_t stride,
                         const WindowReadings& readings,
                         CallCursor& out) {
    const std::size_t first = pos;
    const std::size_t end = n >= stride ? n - stride + 1 : 0;  // where windows may start
    while (pos < end) {
        // One count for the three outputs, which the short loop fills alike.
        std::size_t written = 0;
        bool open_pore = false;
        for (; pos < end; pos += stride) {
            const std::int32_t sample = samples[pos];
            // One test for both rare cases: open pore, and a negative sample,
            // which reads as the lowest level.
            auto value = static_cast<std::uint32_t>(sample);
            if (value >= static_cast<std::uint32_t>(open_pore_threshold)) [[unlikely]] {
                if (sample >= 0) {
                    open_pore = true;
                    break;
                }
                value = 0;
            }
            const WindowReading& reading = readings[value];
            if ((reading.level_index & 1) != 0) {
                break;
            }
            out.sequence[written] = reading.letter;
            out.qstring[written] = reading.quality;
            out.moves[written] = 1;
            ++written;
        }
        out.sequence += written;
        out.qstring += written;
        out.moves += written;
        if (open_pore || pos >= end) {
            break;
        }
        OpenBase before;
        if (pos != first) {
            const WindowReading& last = readings[static_cast<std::size_t>(
                std::max(static_cast<std::int32_t>(samples[pos - stride]), std::int32_t{0}))];
            before = OpenBase{last.level_index >> 1, 1, last.distance};
        }
        pos = read_stays(samples, n, pos, stride, readings, out, before);
    }
    return pos;
}

// Reads the signal into pieces in one pass over its windows. Open pore
// before the first base is the lead-in; open pore between two bases
// separates pieces, up to max_pieces of them: past that a gap stays
// inside the last piece (its windows 0 moves, as in the whole read's
// call), so a signal of gaps cannot make a result every few samples; open
// pore at the end belongs to the last piece.
//
// The outputs are written into buffers sized for the most windows the
// signal can hold (windows and whole gap windows never overlap, so there
// are at most n / stride of them); read_windows does the work of every
// window between two open-pore runs.
Scan read_pieces(std::span<const std::int16_t> signal, std::uint32_t stride, bool rna, std::size_t max_pieces) {
    const std::int16_t* samples = signal.data();
    const std::size_t n = signal.size();
    const std::size_t most_windows = n / stride + 1;
    Scan scan;
    scan.sequence.resize(most_windows);
    scan.qstring.resize(most_windows);
    scan.moves.resize(most_windows);
    CallCursor out{scan.sequence.data(), scan.qstring.data(), scan.moves.data()};
    const auto bases_written = [&] { return static_cast<std::size_t>(out.sequence - scan.sequence.data()); };
    const auto moves_written = [&] { return static_cast<std::size_t>(out.moves - scan.moves.data()); };

    Piece* current = nullptr;
    bool gap_open = false;        // an open-pore run since the current piece's last window
    std::size_t gap_start = 0;
    std::size_t windows_end = 0;  // of the current piece
    const WindowReadings& readings = window_readings(rna);
    const auto close_piece = [&] {
        current->windows_end = windows_end;
        current->bases_end = bases_written();
        current->moves_end = moves_written();
    };

    std::size_t pos = 0;
    while (pos < n) {
        if (samples[pos] >= open_pore_threshold) {
            if (current != nullptr && !gap_open) {
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
        if (current != nullptr && gap_open && scan.pieces.size() >= max_pieces) {
            const std::size_t gap_windows = (pos - windows_end) / stride;
            std::fill_n(out.moves, gap_windows, std::uint8_t{0});
            out.moves += gap_windows;
            gap_open = false;
        }
        if (current == nullptr || gap_open) {
            std::size_t begin = 0;
            if (current != nullptr) {
                close_piece();
                current->end = gap_start;
                begin = gap_start;
                // The whole read's call holds a 0 move per whole window of the gap.
                const std::size_t gap_windows = (pos - windows_end) / stride;
                std::fill_n(out.moves, gap_windows, std::uint8_t{0});
                out.moves += gap_windows;
            }
            Piece& piece = scan.pieces.emplace_back();
            current = &piece;
            piece.begin = begin;
            piece.first_window = pos;
            piece.end = n;
            piece.first_base = bases_written();
            piece.first_move = moves_written();
            gap_open = false;
        }
        // At least one window: it fits and its first sample is not open pore.
        pos = read_windows(samples, n, pos, stride, readings, out);
        windows_end = pos;
    }
    if (current != nullptr) {
        close_piece();
    }
    scan.sequence.resize(bases_written());
    scan.qstring.resize(bases_written());
    scan.moves.resize(moves_written());
    return scan;
}

// The counts of values low, low + 1, ... turned into running totals: how
// many values lie at or below each. The k-th smallest value (from 0) is then
// the first whose total exceeds k, and how many values lie in a range is a
// difference of two totals, so both medians take a binary search each
// rather than a walk over the values.
class CountedValues {
public:
    CountedValues(std::span<std::uint32_t> counts, std::int64_t low) : m_totals(counts), m_low(low) {
        for (std::size_t i = 1; i < m_totals.size(); ++i) {
            m_totals[i] += m_totals[i - 1];
        }
    }

    std::int64_t kth(std::size_t k) const {
        const auto at = std::upper_bound(m_totals.begin(), m_totals.end(), k);
        return m_low + (at - m_totals.begin());
    }

    // How many values v lie within |2 v - center2| <= deviation2.
    std::size_t within(std::int64_t center2, std::int64_t deviation2) const {
        const std::int64_t high = m_low + static_cast<std::int64_t>(m_totals.size()) - 1;
        const std::int64_t from = std::max((center2 - deviation2 + 1) >> 1, m_low);  // ceil((c - d) / 2)
        const std::int64_t to = std::min((center2 + deviation2) >> 1, high);        // floor((c + d) / 2)
        if (from > to) {
            return 0;
        }
        const std::size_t below = from > m_low ? m_totals[static_cast<std::size_t>(from - m_low - 1)] : 0;
        return m_totals[static_cast<std::size_t>(to - m_low)] - below;
    }

    // The k-th smallest doubled deviation |2 v - center2| (from 0): the
    // smallest deviation that takes in more than k values.
    std::int64_t kth_deviation(std::int64_t center2, std::size_t k) const {
        const std::int64_t high = m_low + static_cast<std::int64_t>(m_totals.size()) - 1;
        std::int64_t small = 0;
        std::int64_t large = std::max(std::abs(2 * m_low - center2), std::abs(2 * high - center2));
        while (small < large) {
            const std::int64_t middle = small + (large - small) / 2;
            if (within(center2, middle) > k) {
                large = middle;
            } else {
                small = middle + 1;
            }
        }
        return small;
    }

private:
    std::span<std::uint32_t> m_totals;
    std::int64_t m_low;
};

// Median and median absolute deviation of samples [begin, end) (of at most
// max_scaling_samples evenly spaced ones), in pA when the read gives its
// digitisation. Counting keeps it linear: the samples are counted once into
// a tally over every int16 value (kept per thread and cleared over the range
// used), and both medians are read from the counts. They are kept doubled
// (the median of an even count is the mean of the two middle values), so
// that they stay integral.
ScalingResult scaling_of(const ReceivedRead& read, std::size_t begin, std::size_t end) {
    ScalingResult scaling;
    scaling.version = scaling_version;
    if (begin >= end) {
        return scaling;
    }
    constexpr std::int32_t lowest = std::numeric_limits<std::int16_t>::min();
    constexpr std::size_t int16_values = std::size_t{1} << 16;
    // Allocated once per thread; the tally is all zero between calls.
    thread_local std::vector<std::uint32_t> tally(int16_values, 0);
    const std::span<const std::int16_t> samples = read.signal();
    const std::size_t step = (end - begin + max_scaling_samples - 1) / max_scaling_samples;
    std::int32_t low = samples[begin];
    std::int32_t high = low;
    std::size_t n = 0;
    for (std::size_t i = begin; i < end; i += step, ++n) {
        const std::int32_t value = samples[i];
        ++tally[static_cast<std::size_t>(value - lowest)];
        low = std::min(low, value);
        high = std::max(high, value);
    }
    const auto range = static_cast<std::size_t>(high - low) + 1;
    const std::span<std::uint32_t> counts(tally.data() + (low - lowest), range);
    const CountedValues values(counts, low);
    const std::size_t low_rank = (n - 1) / 2;
    const std::size_t high_rank = n / 2;
    const std::int64_t median2 = values.kth(low_rank) + values.kth(high_rank);
    const std::int64_t mad4 = values.kth_deviation(median2, low_rank) + values.kth_deviation(median2, high_rank);
    std::fill(counts.begin(), counts.end(), 0);
    double median = static_cast<double>(median2) / 2.0;
    double mad = static_cast<double>(mad4) / 4.0;
    if (read.daq_scaling != 0.0f) {
        median = (median + read.daq_offset) * read.daq_scaling;
        mad *= std::fabs(read.daq_scaling);
    }
    scaling.median = static_cast<float>(median);
    scaling.med_abs_dev = static_cast<float>(mad);
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
    call.result = uncalled_result(read, options);
    CalledResult& result = call.result;
    result.trimmed_samples = static_cast<std::uint32_t>(first_window - begin);
    result.scaling = scaling_of(read, first_window, end);
    result.median = result.scaling->median;
    result.med_abs_dev = result.scaling->med_abs_dev;
    call.first_window = first_window;
    return call;
}

void finish_scores(CalledResult& result) {
    result.mean_qscore = mean_qscore_of(result.qstring);
}

// Where the whole read's bases begin: after the lead-in.
std::size_t trimmed_samples_of(std::span<const std::int16_t> samples, const Scan& scan) {
    if (!scan.pieces.empty()) {
        return scan.pieces.front().first_window;
    }
    std::size_t trimmed = 0;
    while (trimmed < samples.size() && samples[trimmed] >= open_pore_threshold) {
        ++trimmed;
    }
    return trimmed;
}

// The whole read: every piece's bases, with a 0 move per whole window of a
// gap, which is what the scan holds; it takes the scan's buffers.
Call whole_call(const ReceivedRead& read, const CallerOptions& options, Scan&& scan) {
    const std::span<const std::int16_t> samples = read.signal();
    Call call = make_call(read, options, 0, samples.size(), trimmed_samples_of(samples, scan));
    CalledResult& result = call.result;
    result.sequence = std::move(scan.sequence);
    result.qstring = std::move(scan.qstring);
    call.moves = std::move(scan.moves);
    finish_scores(result);
    return call;
}

Call piece_call(const ReceivedRead& read,
                const CallerOptions& options,
                const Scan& scan,
                const Piece& piece,
                std::uint32_t index) {
    Call call = make_call(read, options, piece.begin, piece.end, piece.first_window);
    CalledResult& result = call.result;
    result.sub_tag = index;
    result.strand_id = piece_strand_id(read.read_id, index);
    result.duration = static_cast<std::uint32_t>(piece.end - piece.begin);
    result.start_time = read.start_time + piece.begin;
    result.split_point = static_cast<std::int32_t>(piece.begin);
    result.sequence = scan.bases_of(piece);
    result.qstring = scan.qualities_of(piece);
    call.moves.assign(scan.moves.begin() + static_cast<std::ptrdiff_t>(piece.first_move),
                      scan.moves.begin() + static_cast<std::ptrdiff_t>(piece.moves_end));
    finish_scores(result);
    return call;
}

bool is_duplex_pair(const ReceivedRead& read, const CallerOptions& options, const Scan& scan) {
    if (!options.duplex || options.rna || !read.pairing || scan.pieces.size() != 2) {
        return false;
    }
    const std::string_view first = scan.bases_of(scan.pieces[0]);
    return !first.empty() && scan.bases_of(scan.pieces[1]) == reverse_complement(first);
}

// The duplex read of a template and its complement: the template's bases,
// each with the better quality of the two strands.
Call duplex_call(const ReceivedRead& read, const CallerOptions& options, const Call& template_call, const Call& complement_call) {
    Call call = make_call(read, options, 0, read.signal().size(), template_call.first_window);
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

std::vector<CalledResult> call_read(const ReceivedRead& read, const CallerOptions& options) {
    if (options.stride == 0) {
        CallerOptions one = options;
        one.stride = 1;
        return call_read(read, one);
    }
    const std::span<const std::int16_t> samples = read.signal();
    Scan scan = read_pieces(samples, options.stride, options.rna, std::max<std::size_t>(options.max_pieces, 1));
    if (!scan.pieces.empty() && samples.size() - scan.pieces.front().first_window < options.min_samples) {
        scan = Scan{};
    }

    std::vector<CalledResult> results;
    if (options.split_reads && scan.pieces.size() >= 2) {
        std::vector<Call> calls;
        calls.reserve(scan.pieces.size());
        for (std::size_t p = 0; p < scan.pieces.size(); ++p) {
            calls.push_back(piece_call(read, options, scan, scan.pieces[p], static_cast<std::uint32_t>(p + 1)));
        }
        std::optional<Call> duplex;
        if (is_duplex_pair(read, options, scan)) {
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
    Call whole = whole_call(read, options, std::move(scan));
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

CalledResult uncalled_result(const ReceivedRead& read, const CallerOptions& options) {
    CalledResult result;
    result.read_tag = read.read_tag;
    result.sub_tag = read.sub_tag;
    result.strand_id = read.strand_id.empty() ? read.read_id : read.strand_id;
    result.duration = read.duration;
    result.start_time = read.start_time;
    result.num_keldrow_events = read.num_keldrow_events;
    result.split_point = read.split_point;
    result.model_stride = options.stride;
    result.model_version_id = options.model_version_id;
    if (options.modified_bases) {
        result.modbase_model_version_id = options.modbase_model_version_id;
    }
    return result;
}

}  // namespace reference_server
