#include "reference_server/model/signal_model.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace reference_server {

int base_index(char base) noexcept {
    switch (base) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T':
    case 'U': return 3;
    default: return -1;
    }
}

std::int16_t base_level(char base, bool stay) {
    const int index = base_index(base);
    if (index < 0) {
        throw std::invalid_argument(std::string("the signal model has no level for '") + base + "'");
    }
    return static_cast<std::int16_t>(first_base_level + level_spacing * (2 * index + (stay ? 1 : 0)));
}

std::uint64_t SeededStream::next() noexcept {
    m_state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = m_state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t SeededStream::below(std::uint64_t bound) noexcept {
    // Always one step, so that a choice with one outcome (no noise) leaves
    // the rest of the stream where it would be. The modulo bias is below
    // 2^-40 for every bound this model uses.
    const std::uint64_t value = next();
    return bound <= 1 ? 0 : value % bound;
}

std::int64_t SeededStream::between(std::int64_t low, std::int64_t high) noexcept {
    return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low) + 1));
}

std::string random_bases(SeededStream& stream, std::size_t length) {
    std::string bases(length, 'A');
    for (char& base : bases) {
        base = "ACGT"[stream.below(4)];
    }
    return bases;
}

std::string random_bases(std::uint64_t seed, std::size_t length) {
    SeededStream stream(seed);
    return random_bases(stream, length);
}

std::string uuid_from(SeededStream& stream) {
    const std::uint64_t high = stream.next();
    const std::uint64_t low = stream.next();
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xffff), static_cast<unsigned>(high & 0xfff),
                  static_cast<unsigned>(0x8000 | ((low >> 48) & 0x3fff)),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

std::uint64_t seed_of(std::string_view text) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

namespace {

void check(const SignalOptions& options) {
    if (options.stride == 0) {
        throw std::invalid_argument("the signal stride must be at least 1");
    }
    if (options.noise_bound < 0 || options.noise_bound > max_noise_bound) {
        throw std::invalid_argument("the noise bound must lie in 0.." + std::to_string(max_noise_bound));
    }
    if (options.max_dwell == 0) {
        throw std::invalid_argument("a base must dwell for at least one window");
    }
}

void append_level(std::vector<std::int16_t>& samples,
                  std::int16_t level,
                  std::uint32_t count,
                  std::int16_t noise_bound,
                  SeededStream& stream) {
    for (std::uint32_t i = 0; i < count; ++i) {
        samples.push_back(static_cast<std::int16_t>(level + stream.between(-noise_bound, noise_bound)));
    }
}

}  // namespace

std::vector<std::int16_t> simulate_signal(const std::vector<std::string>& pieces,
                                          const SignalOptions& options,
                                          std::uint64_t seed) {
    check(options);
    std::size_t bases = 0;
    for (const std::string& piece : pieces) {
        bases += piece.size();
        for (const char base : piece) {
            base_level(base);  // rejects a foreign letter before any work
        }
    }
    SeededStream stream(seed);
    std::vector<std::int16_t> samples;
    samples.reserve(options.lead_in + options.gap * (pieces.empty() ? 0 : pieces.size() - 1) +
                    bases * options.stride * (options.max_dwell + 1) / 2);
    append_level(samples, open_pore_level, options.lead_in, options.noise_bound, stream);
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        if (p > 0) {
            append_level(samples, open_pore_level, options.gap, options.noise_bound, stream);
        }
        for (const char base : pieces[p]) {
            const auto dwell = static_cast<std::uint32_t>(stream.between(1, options.max_dwell));
            append_level(samples, base_level(base, false), options.stride, options.noise_bound, stream);
            for (std::uint32_t w = 1; w < dwell; ++w) {
                append_level(samples, base_level(base, true), options.stride, options.noise_bound, stream);
            }
        }
    }
    return samples;
}

std::vector<std::int16_t> simulate_signal(std::string_view sequence, const SignalOptions& options, std::uint64_t seed) {
    return simulate_signal(std::vector<std::string>{std::string(sequence)}, options, seed);
}

std::string reverse_complement(std::string_view sequence) {
    std::string out(sequence.rbegin(), sequence.rend());
    for (char& base : out) {
        switch (base) {
        case 'A': base = 'T'; break;
        case 'T':
        case 'U': base = 'A'; break;
        case 'C': base = 'G'; break;
        case 'G': base = 'C'; break;
        default: break;
        }
    }
    return out;
}

}  // namespace reference_server
