// The callgrind marks as plain C functions, for Python benchmarks to call
// through ctypes (bench/python/conversion_bench.py).

#include "support/callgrind_marks.h"

extern "C" {

__attribute__((visibility("default"))) int corvane_callgrind_running() {
    return bench_support::callgrind::running() ? 1 : 0;
}

__attribute__((visibility("default"))) void corvane_callgrind_count_on() { bench_support::callgrind::count_on(); }

__attribute__((visibility("default"))) void corvane_callgrind_count_off() { bench_support::callgrind::count_off(); }

__attribute__((visibility("default"))) void corvane_callgrind_dump(const char* label) {
    bench_support::callgrind::dump(label);
}
}
