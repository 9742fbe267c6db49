#pragma once

// The reference server's signal model: how a base sequence becomes raw
// int16 samples, and how samples are read back into bases. The simulator
// writes signals with it and the stand-in basecaller inverts it exactly, so
// a test can check that every sequence called equals the one its signal was
// made from.
//
// Levels. Every base has two levels: the first stride window of a base is at
// its "start" level, each further window of the same base (a base may dwell
// for several windows) at its "stay" level. The levels lie on one grid of
// level_spacing:
//
//   A 300 / 400, C 500 / 600, G 700 / 800, T (or U) 900 / 1000 (start / stay)
//   open pore 1400
//
// Noise. Each sample is its level plus a seeded, uniform integer noise in
// [-noise_bound, noise_bound]; noise_bound is at most max_noise_bound (49),
// less than half the spacing, so a sample never comes nearer to another
// level than to its own.
//
// Lead-in and gaps. A signal may start with an open-pore lead-in (the caller
// trims it and reports it as trimmed_samples), and pieces of a read may be
// separated by open-pore gaps inside the signal (the caller splits there).
// Any sample at or above open_pore_threshold is open pore.
//
// Seeding. The noise and dwell times come from a small counter-based
// generator seeded by seed_of(read id): a read id and a sequence name one
// signal.
//
// Pure functions; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace reference_server {

constexpr std::int16_t level_spacing = 100;
constexpr std::int16_t first_base_level = 300;  // A's start level
constexpr std::int16_t open_pore_level = 1400;
constexpr std::int16_t open_pore_threshold = 1200;
constexpr std::int16_t max_noise_bound = level_spacing / 2 - 1;

// Levels on the grid, by index: 2 * base index + 1 for a stay window.
constexpr int level_count = 8;

// Base index in the fixed order A, C, G, T (U is T); -1 for any other letter.
int base_index(char base) noexcept;

// The level of a base's start window, or of a stay window when stay is set.
// Throws std::invalid_argument for a letter other than A, C, G, T, U.
std::int16_t base_level(char base, bool stay = false);

// The nearest level index (0 .. level_count - 1) of a value below the
// open-pore threshold; values outside the grid take the nearest end. Inline:
// the caller asks it once per window.
inline int nearest_level_index(std::int32_t value) noexcept {
    const std::int32_t above = value - first_base_level + level_spacing / 2;
    if (above <= 0) {
        return 0;
    }
    const std::int32_t index = above / level_spacing;
    return index < level_count - 1 ? static_cast<int>(index) : level_count - 1;
}

struct SignalOptions {
    std::uint32_t stride = 5;      // samples per window, at least 1
    std::uint32_t lead_in = 0;     // open-pore samples before the first base
    std::uint32_t gap = 50;        // open-pore samples between two pieces
    std::int16_t noise_bound = 30; // 0 .. max_noise_bound
    std::uint32_t max_dwell = 1;   // windows per base: 1 .. max_dwell, seeded
};

// The generator behind every seeded choice of the model and the simulator:
// splitmix64, so a seed names its whole stream.
class SeededStream {
public:
    explicit SeededStream(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next() noexcept;
    // Uniform in [0, bound); bound at least 1.
    std::uint64_t below(std::uint64_t bound) noexcept;
    // Uniform in [low, high].
    std::int64_t between(std::int64_t low, std::int64_t high) noexcept;

private:
    std::uint64_t m_state;
};

// `length` bases, each A, C, G or T with equal chance, from the next
// `length` values of the stream.
std::string random_bases(SeededStream& stream, std::size_t length);
// The same from a stream of its own.
std::string random_bases(std::uint64_t seed, std::size_t length);

// A UUID-shaped text (version 4 layout) from the next two values of the stream.
std::string uuid_from(SeededStream& stream);

// FNV-1a of the text: the seed of a read's signal from its read id.
std::uint64_t seed_of(std::string_view text) noexcept;

// The samples of one or more pieces: lead-in, the first piece, then for each
// further piece a gap and the piece. Throws std::invalid_argument for a
// stride of 0, a noise bound out of range, a dwell of 0 or a letter other
// than A, C, G, T, U.
std::vector<std::int16_t> simulate_signal(const std::vector<std::string>& pieces,
                                          const SignalOptions& options,
                                          std::uint64_t seed);

// The samples of one sequence.
std::vector<std::int16_t> simulate_signal(std::string_view sequence, const SignalOptions& options, std::uint64_t seed);

// The reverse complement: A-T and C-G pairs, U (RNA) pairs with A.
std::string reverse_complement(std::string_view sequence);

}  // namespace reference_server
