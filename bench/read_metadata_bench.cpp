// Keyed metadata access with literal keys, and column reads of a row
// table: both sit on per-read paths (read conversion, SAM tags, alignment
// summaries), so they must cost a few nanoseconds and never allocate.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/read_model/align_results_table.h"
#include "data_wrappers/data_table.h"
#include "interfaces/read_metadata.h"
#include "interfaces/read_metadata_mutable_view.h"
#include "interfaces/read_metadata_view.h"

// The counting operator new below hands out malloc memory, which GCC
// cannot see when it checks the matching operator delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<std::int64_t> g_allocations{0};

// Reports heap allocations per iteration of the timed loop, which must stay 0.
class AllocationCounter {
public:
    explicit AllocationCounter(benchmark::State& state) : m_state(state), m_start(g_allocations.load()) {}
    ~AllocationCounter() {
        m_state.counters["allocs_per_iter"] = benchmark::Counter(
            static_cast<double>(g_allocations.load() - m_start), benchmark::Counter::kAvgIterations);
    }

private:
    benchmark::State& m_state;
    std::int64_t m_start;
};

}  // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

void BM_MetadataGetLiteralKey(benchmark::State& state) {
    interfaces::ReadMetadata record;
    record.read_id = "0a1b2c3d-read";
    const interfaces::ReadMetadataView view(record);
    AllocationCounter counter(state);
    for (auto _ : state) {
        const std::string* read_id = view.get<std::string>("read_data::read_id");
        benchmark::DoNotOptimize(read_id);
    }
}
BENCHMARK(BM_MetadataGetLiteralKey);

void BM_MetadataGetGroupMember(benchmark::State& state) {
    interfaces::ReadMetadata record;
    interfaces::ReadMetadataMutableView(record).set<std::int32_t>("alignment_data::num_supplementary_alignments", 2);
    const interfaces::ReadMetadataView view(record);
    AllocationCounter counter(state);
    for (auto _ : state) {
        const std::int32_t* value = view.get<std::int32_t>("alignment_data::num_supplementary_alignments");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_MetadataGetGroupMember);

void BM_MetadataGetWrongType(benchmark::State& state) {
    interfaces::ReadMetadata record;
    const interfaces::ReadMetadataView view(record);
    AllocationCounter counter(state);
    for (auto _ : state) {
        const double* value = view.get<double>("read_data::start_time");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_MetadataGetWrongType);

void BM_MetadataSetLiteralKey(benchmark::State& state) {
    interfaces::ReadMetadata record;
    const interfaces::ReadMetadataMutableView view(record);
    std::uint64_t start = 0;
    AllocationCounter counter(state);
    for (auto _ : state) {
        bool stored = view.set<std::uint64_t>("read_data::start_time", ++start);
        benchmark::DoNotOptimize(stored);
    }
    benchmark::DoNotOptimize(record.start_time);
}
BENCHMARK(BM_MetadataSetLiteralKey);

void BM_MetadataSetGroupMember(benchmark::State& state) {
    interfaces::ReadMetadata record;
    const interfaces::ReadMetadataMutableView view(record);
    float score = 0.0f;
    AllocationCounter counter(state);
    for (auto _ : state) {
        bool stored = view.set<float>("barcode_data::front_score", score += 0.5f);
        benchmark::DoNotOptimize(stored);
    }
    benchmark::DoNotOptimize(record.barcode_data);
}
BENCHMARK(BM_MetadataSetGroupMember);

// A short text fits the string's own buffer, so this stays allocation-free.
void BM_MetadataSetShortString(benchmark::State& state) {
    interfaces::ReadMetadata record;
    const interfaces::ReadMetadataMutableView view(record);
    AllocationCounter counter(state);
    for (auto _ : state) {
        bool stored = view.set<std::string>("read_data::run_id", "run-42");
        benchmark::DoNotOptimize(stored);
    }
    benchmark::DoNotOptimize(record.run_id);
}
BENCHMARK(BM_MetadataSetShortString);

// Summing one column of an alignment table of range(0) rows.
void BM_AlignTableColumnSum(benchmark::State& state) {
    const auto rows = static_cast<std::uint64_t>(state.range(0));
    auto table = common::make_align_results_table(rows);
    auto starts = table.field_view<std::int32_t>("GenomeStart");
    for (std::uint64_t i = 0; i < rows; ++i) {
        starts[i] = static_cast<std::int32_t>(i);
    }
    AllocationCounter counter(state);
    for (auto _ : state) {
        const auto column = table.field_view<std::int32_t>("GenomeStart");
        std::int64_t sum = 0;
        for (std::size_t i = 0; i < column.size(); ++i) {
            sum += column[i];
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}
BENCHMARK(BM_AlignTableColumnSum)->Arg(1)->Arg(64)->Arg(4096);

// Building a column view alone: name lookup and checks.
void BM_AlignTableFieldView(benchmark::State& state) {
    auto table = common::make_align_results_table(16);
    AllocationCounter counter(state);
    for (auto _ : state) {
        auto column = table.field_view<float>("Accuracy");
        benchmark::DoNotOptimize(column);
    }
}
BENCHMARK(BM_AlignTableFieldView);

}  // namespace
