// Cost of a trace call: on a disabled domain it must stay one virtual call
// with no text built; on an enabled one it builds the line and hands it to
// the writer thread (here a custom output that discards it).

#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "common/runtime/diagnostics/active_trace_context.h"
#include "common/runtime/diagnostics/trace_contexts.h"
#include "common/runtime/diagnostics/tracing.h"

namespace tracing = common::diagnostics::tracing;

namespace {

struct Untraced : tracing::TraceDomain<Untraced> {};

void disabled_trace_event(benchmark::State& state) {
    auto& context = Untraced::trace_context();
    for (auto _ : state) {
        context.trace("pass_read", "read queued");
    }
}
BENCHMARK(disabled_trace_event);

void disabled_lazy_trace_event(benchmark::State& state) {
    auto& context = Untraced::hf_trace_context();
    int read = 0;
    for (auto _ : state) {
        context.trace("pass_read", [&read] { return "read " + std::to_string(read); });
        benchmark::DoNotOptimize(++read);
    }
}
BENCHMARK(disabled_lazy_trace_event);

void disabled_timed_scope(benchmark::State& state) {
    auto& context = Untraced::trace_context();
    for (auto _ : state) {
        tracing::TraceScope scope(context, "pass_read", true);
    }
}
BENCHMARK(disabled_timed_scope);

void enabled_custom_trace_event(benchmark::State& state) {
    auto writer = std::make_shared<tracing::ActiveTraceContext>(std::filesystem::path());
    writer->set_custom_output([](const std::string& line) { benchmark::DoNotOptimize(line.data()); });
    tracing::details::EnabledTraceContext context("bench::Domain", tracing::TraceMode::custom, writer);
    for (auto _ : state) {
        context.trace("pass_read", "read queued");
    }
    writer->flush();
}
BENCHMARK(enabled_custom_trace_event);

}  // namespace
