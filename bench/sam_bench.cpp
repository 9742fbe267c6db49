// SAM record generation for a long called read: a 10,000-base read with
// two modification channels (A+a, C+m), a move table and the usual
// per-read tags.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/read_model/read_alignment.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/dataset.h"
#include "interfaces/read_metadata.h"

namespace {

namespace dw = vesk::data_wrappers::v2;

constexpr std::size_t num_bases = 10000;

common::ReadHolder long_modified_read(const std::string& context) {
    std::mt19937 random(17);
    std::uniform_int_distribution<int> base(0, 3);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string sequence(num_bases, 'A');
    for (char& c : sequence) {
        c = "ACGT"[base(random)];
    }
    // Columns A, a, C, m.
    std::vector<std::uint8_t> probs(num_bases * 4, 0);
    for (std::size_t i = 0; i < num_bases; ++i) {
        probs[i * 4 + 1] = sequence[i] == 'A' ? static_cast<std::uint8_t>(byte(random)) : 0;
        probs[i * 4 + 3] = sequence[i] == 'C' ? static_cast<std::uint8_t>(byte(random)) : 0;
    }
    std::vector<std::uint8_t> moves(num_bases * 2, 0);
    for (std::size_t i = 0; i < moves.size(); i += 2) {
        moves[i] = 1;
    }

    common::ReadHolder read;
    interfaces::ReadMetadata& m = *read.metadata;
    m.read_id = m.strand_id = "0a5c2b8e-1d47-4c8b-9f1e-3b6a7d2c9e01";
    m.run_id = "run";
    m.channel = 12;
    m.mux = 1;
    m.duration = 50000;
    m.sampling_rate = 5000.0f;
    m.time_stamp = "2024-03-05T10:11:12Z";
    m.basecall_data.emplace();
    m.basecall_data->mean_qscore = 15.5f;
    m.basecall_data->model_stride = 5;
    m.basecall_data->base_mod_alphabet = "A a C m";
    m.basecall_data->base_mod_context = context;
    read.datasets.emplace(dw::qstring, dw::DataSetData(std::string(num_bases, '5')));
    read.datasets.emplace(dw::sequence, dw::DataSetData(std::move(sequence)));
    read.datasets.emplace(dw::base_mod_probs,
                          dw::DataSetData(std::move(probs), dw::VecView2D<std::uint8_t>(nullptr, num_bases, 4)));
    read.datasets.emplace(dw::movement, dw::DataSetData(std::move(moves)));
    return read;
}

void run(benchmark::State& state, const common::ReadHolder& read) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto lines = common::sam_and_bed_lines(read, 5.0f);
        bytes += lines.front().sam_line.size();
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(state.iterations());
}

void BM_SamLine10kBasesTwoChannels(benchmark::State& state) {
    run(state, long_modified_read(""));
}
BENCHMARK(BM_SamLine10kBasesTwoChannels);

// Motif contexts (A anywhere, C in CpG) make the candidates a sequence
// search instead of a threshold test.
void BM_SamLine10kBasesTwoChannelsWithContext(benchmark::State& state) {
    run(state, long_modified_read("X:XG:_:_"));
}
BENCHMARK(BM_SamLine10kBasesTwoChannelsWithContext);

}  // namespace
