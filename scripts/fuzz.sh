#!/usr/bin/env bash
# Builds the fuzz targets with clang, AddressSanitizer and libFuzzer in
# build-fuzz/, and runs each for the given number of seconds (default 60):
# message_fuzz (received frames and called-block decoding) and request_fuzz
# (the reference server's RequestHandler::handle). The corpora grow in
# build-fuzz/corpus/ and build-fuzz/request_corpus/ and are kept between runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=${1:-60}

bash scripts/setup.sh

# A configure that failed half-way leaves a cache but no build files, and
# that cache may name another generator: start that configure afresh.
if [ ! -f build-fuzz/build.ninja ] && [ ! -f build-fuzz/Makefile ]; then
    rm -f build-fuzz/CMakeCache.txt
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    CXX=clang++ cmake -S . -B build-fuzz "${generator[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVANE_SANITIZE=address \
        -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
        -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF -DCORVANE_BUILD_TOOLS=OFF \
        -DCORVANE_BUILD_FUZZ=ON
fi
cmake --build build-fuzz --target message_fuzz request_fuzz make_seeds -j2

# Well-formed messages of every read kind start the corpus, so that the
# fuzzer gets past verification into the decoder from the first run.
if [ ! -d build-fuzz/corpus ]; then
    mkdir -p build-fuzz/corpus
    ./build-fuzz/tests/fuzz/make_seeds build-fuzz/corpus
fi
if [ ! -d build-fuzz/request_corpus ]; then
    mkdir -p build-fuzz/request_corpus
    ./build-fuzz/tests/fuzz/make_seeds "$(mktemp -d)" build-fuzz/request_corpus
fi
./build-fuzz/tests/fuzz/message_fuzz -max_total_time="$seconds" -print_final_stats=1 build-fuzz/corpus
./build-fuzz/tests/fuzz/request_fuzz -max_total_time="$seconds" -print_final_stats=1 build-fuzz/request_corpus
