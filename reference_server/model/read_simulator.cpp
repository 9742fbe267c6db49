#include "reference_server/model/read_simulator.h"

#include <algorithm>
#include <stdexcept>

namespace reference_server {

namespace {

constexpr char dna[] = "ACGT";

bool chance(SeededStream& stream, double fraction) {
    // 2^53 steps: exact for every fraction a user types.
    return static_cast<double>(stream.next() >> 11) < fraction * static_cast<double>(1ULL << 53);
}

}  // namespace

ReadSimulator::ReadSimulator(SimulationOptions options, std::vector<FastaRecord> reference)
    : m_options(std::move(options)), m_reference(std::move(reference)) {
    // The signal model checks its own options on a read of one base.
    SignalOptions signal;
    signal.stride = m_options.stride;
    signal.noise_bound = m_options.noise_bound;
    signal.max_dwell = m_options.max_dwell;
    simulate_signal("A", signal, 0);
    const auto fraction_ok = [](double f) { return f >= 0.0 && f <= 1.0; };
    if (!fraction_ok(m_options.split_fraction) || !fraction_ok(m_options.duplex_fraction) ||
        m_options.split_fraction + m_options.duplex_fraction > 1.0) {
        throw std::invalid_argument("the split and duplex fractions must lie in 0..1 and add up to at most 1");
    }
    if (m_options.channels < 1) {
        throw std::invalid_argument("a simulated run needs at least one channel");
    }
    std::uint64_t total = 0;
    for (const FastaRecord& record : m_reference) {
        total += record.sequence.size();
        m_reference_ends.push_back(total);
    }
    if (!m_reference.empty() && total == 0) {
        throw std::invalid_argument("the reference holds no bases");
    }
}

std::string ReadSimulator::draw_sequence(SeededStream& stream, std::uint32_t length, std::string& source) const {
    std::string sequence;
    if (m_reference.empty()) {
        sequence.resize(length);
        for (char& base : sequence) {
            base = dna[stream.below(4)];
        }
    } else {
        const std::uint64_t pick = stream.below(m_reference_ends.back());
        const auto at = std::upper_bound(m_reference_ends.begin(), m_reference_ends.end(), pick);
        const FastaRecord& record = m_reference[static_cast<std::size_t>(at - m_reference_ends.begin())];
        const std::size_t size = record.sequence.size();
        const std::size_t take = std::min<std::size_t>(length, size);
        const std::size_t start = stream.below(size - take + 1);
        sequence = record.sequence.substr(start, take);
        for (char& base : sequence) {
            if (base == 'U') {
                base = 'T';
            } else if (base_index(base) < 0) {
                base = dna[stream.below(4)];
            }
        }
        const bool reverse = stream.below(2) == 1;
        if (reverse) {
            sequence = reverse_complement(sequence);
        }
        source = record.name + ":" + std::to_string(start) + "-" + std::to_string(start + take) + ":" +
                 (reverse ? "-" : "+");
    }
    return sequence;
}

SimulatedRead ReadSimulator::read(std::uint64_t index) const {
    SeededStream stream(m_options.seed ^ (0xd1b54a32d192ed03ULL * (index + 1)));
    SimulatedRead read;
    read.read_id = uuid_from(stream);
    read.run_id = m_options.run_id;
    read.channel = static_cast<std::int32_t>(1 + stream.below(static_cast<std::uint64_t>(m_options.channels)));
    read.mux = static_cast<std::int32_t>(1 + stream.below(4));
    read.start_time = index * 100000 + stream.below(50000);
    read.signal.stride = m_options.stride;
    read.signal.lead_in = static_cast<std::uint32_t>(stream.below(std::uint64_t{m_options.max_lead_in} + 1));
    read.signal.gap = m_options.gap;
    read.signal.noise_bound = m_options.noise_bound;
    read.signal.max_dwell = m_options.max_dwell;

    // Drawn only when asked for, so that fixed-length reads stay what they were.
    const std::uint32_t half = m_options.length / 2;
    const std::uint32_t length =
        m_options.vary_length
            ? static_cast<std::uint32_t>(stream.between(m_options.length - half, m_options.length + half))
            : m_options.length;
    const bool duplex = chance(stream, m_options.duplex_fraction);
    const bool split = !duplex && chance(stream, m_options.split_fraction) && length >= 2;
    const std::string sequence = draw_sequence(stream, length, read.source);
    if (duplex) {
        read.duplex = true;
        read.pieces = {sequence, reverse_complement(sequence)};
    } else if (split && sequence.size() >= 2) {
        const std::size_t at = 1 + stream.below(sequence.size() - 1);
        read.pieces = {sequence.substr(0, at), sequence.substr(at)};
    } else {
        read.pieces = {sequence};
    }
    if (m_options.rna) {
        for (std::string& piece : read.pieces) {
            std::replace(piece.begin(), piece.end(), 'T', 'U');
        }
    }
    for (const std::string& piece : read.pieces) {
        read.sequence += piece;
    }
    read.samples = simulate_signal(read.pieces, read.signal, seed_of(read.read_id));
    return read;
}

}  // namespace reference_server
