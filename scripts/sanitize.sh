#!/usr/bin/env bash
# Builds the suite with a sanitizer in build-asan/ or build-tsan/ and runs
# it: scripts/sanitize.sh address|thread [extra ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

kind=${1:-address}
shift || true
case "$kind" in
    address) dir=build-asan ;;
    thread) dir=build-tsan ;;
    *) echo "usage: scripts/sanitize.sh address|thread [ctest arguments]" >&2; exit 2 ;;
esac

bash scripts/setup.sh

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A configure that failed half-way leaves a cache but no build files, and
# that cache may name another generator: start that configure afresh.
if [ ! -f "$dir/build.ninja" ] && [ ! -f "$dir/Makefile" ]; then
    rm -f "$dir/CMakeCache.txt"
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVANE_SANITIZE="$kind" -DCORVANE_BUILD_BENCH=OFF
fi
cmake --build "$dir" -j"$(nproc)"

export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
cd "$dir"
ctest --output-on-failure -j2 "$@"
