#pragma once

// Marks around the work a benchmark counts instructions for under
// callgrind, run as
//
//   valgrind --tool=callgrind --collect-atstart=no PROGRAM
//
// Collection is off at the start; count_on()/count_off() switch it for the
// calling thread only, so the other threads of the process (a client's
// worker and ZeroMQ's I/O threads, an in-process server) are not counted,
// and dump(label) writes what was counted since the last dump to the next
// numbered output file (callgrind.out.PID.N), whose "totals:" line is the
// figure. Outside valgrind every mark does nothing.

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define CORVANE_BENCH_CALLGRIND 1
#endif

namespace bench_support::callgrind {

inline bool running() {
#ifdef CORVANE_BENCH_CALLGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

// Callgrind's request toggles, so each on needs its off.
inline void count_on() {
#ifdef CORVANE_BENCH_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
}

inline void count_off() {
#ifdef CORVANE_BENCH_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
}

inline void dump([[maybe_unused]] const char* label) {
#ifdef CORVANE_BENCH_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(label);
#endif
}

}  // namespace bench_support::callgrind
