#!/usr/bin/env bash
# Configures and builds the project in build/ (set-up must have run).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A configure that failed half-way leaves a cache but no build files, and
# that cache may name another generator: start that configure afresh.
if [ ! -f build/build.ninja ] && [ ! -f build/Makefile ]; then
    rm -f build/CMakeCache.txt
    cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython3_EXECUTABLE="$root/.venv/bin/python"
fi
cmake --build build -j"$(nproc)"
