// What alignment adds to the reference server's work per read: the stand-in
// basecaller alone on reads simulated from a generated 2 Mb reference, next
// to the caller followed by the alignment step (minimap2, default options)
// on the same reads. Their ratio says whether aligning on the server thread
// holds up the data plane. Argument: bases per read.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "reference_server/alignment/aligner.h"
#include "reference_server/model/basecaller.h"
#include "reference_server/alignment/read_aligner.h"
#include "reference_server/model/read_simulator.h"

namespace {

constexpr std::size_t contig_bases = 1'000'000;
constexpr std::size_t reads_per_size = 64;

// A contig of seeded random bases: a simulated read of that length.
std::string random_bases(std::uint64_t seed, std::size_t length) {
    return reference_server::ReadSimulator({.seed = seed, .length = static_cast<std::uint32_t>(length)}).read(0).sequence;
}

struct Fixture {
    std::vector<reference_server::FastaRecord> reference{{"contig_1", random_bases(1, contig_bases)},
                                                         {"contig_2", random_bases(2, contig_bases)}};
    std::shared_ptr<const reference_server::ReadAligner> aligner;

    Fixture() {
        const auto path = std::filesystem::temp_directory_path() / "alignment_bench_genome.fa";
        {
            std::ofstream fasta(path);
            for (const auto& record : reference) {
                fasta << '>' << record.name << '\n' << record.sequence << '\n';
            }
        }
        aligner = std::make_shared<const reference_server::ReadAligner>(
            std::make_shared<const reference_server::Aligner>(path.string(), ""), nullptr);
        std::filesystem::remove(path);
    }

    std::vector<reference_server::ReceivedRead> reads(std::uint32_t length) const {
        reference_server::ReadSimulator simulator({.seed = 3, .length = length}, reference);
        std::vector<reference_server::ReceivedRead> received;
        for (std::size_t i = 0; i < reads_per_size; ++i) {
            reference_server::SimulatedRead read = simulator.next();
            reference_server::ReceivedRead one;
            one.read_tag = static_cast<std::uint32_t>(i);
            one.read_id = read.read_id;
            one.strand_id = read.read_id;
            one.samples = std::move(read.samples);
            received.push_back(std::move(one));
        }
        return received;
    }
};

const Fixture& fixture() {
    static const Fixture instance;
    return instance;
}

void run(benchmark::State& state, bool align) {
    const auto reads = fixture().reads(static_cast<std::uint32_t>(state.range(0)));
    reference_server::CallerOptions options;
    options.moves = true;
    std::size_t index = 0;
    for (auto _ : state) {
        std::vector<reference_server::CalledResult> results = reference_server::call_read(reads[index], options);
        if (align) {
            fixture().aligner->align(results);
        }
        benchmark::DoNotOptimize(results);
        index = (index + 1) % reads.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_CallOnly(benchmark::State& state) { run(state, false); }
void BM_CallAndAlign(benchmark::State& state) { run(state, true); }

}  // namespace

BENCHMARK(BM_CallOnly)->Arg(1000)->Arg(10000);
BENCHMARK(BM_CallAndAlign)->Arg(1000)->Arg(10000);
