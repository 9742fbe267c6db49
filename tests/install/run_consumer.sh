#!/usr/bin/env bash
# run_consumer.sh BUILD_DIR CONSUMER_SOURCE CMAKE
set -euo pipefail
build=$1 source=$2 cmake=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
"$cmake" -S "$source" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
"$cmake" --build "$scratch/build" >/dev/null
output=$("$scratch/build/consumer")
echo "$output"
grep -q '^protocol 26.0.0$' <<<"$output"
grep -q '^result 14 invalid_aligner_options$' <<<"$output"
"$scratch/prefix/bin/corvane_info" | grep -q "protocol version: *26.0.0"
grep -q '^key hash 550155506$' <<<"$output"
grep -q '^param 2.500000 5$' <<<"$output"
grep -q "^sam r1	4	\*	0	0	\*	\*	0	0	AC$" <<<"$output"

# The example application builds against the installed package alone, both
# through pkg-config and through the CMake package.
example="$scratch/prefix/share/corvane/examples/basecall_example.cpp"
test -f "$example"
export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig:$scratch/prefix/lib64/pkgconfig:${PKG_CONFIG_PATH:-}"
pkg-config --modversion corvane | grep -q '^7\.13\.6$'
c++ -std=c++20 -o "$scratch/example_pc" "$example" $(pkg-config --cflags --libs corvane)
mkdir -p "$scratch/example_cmake"
cat >"$scratch/example_cmake/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.22)
project(example LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(corvane CONFIG REQUIRED)
add_executable(example "$example")
target_link_libraries(example PRIVATE corvane::corvane)
CMAKE
"$cmake" -S "$scratch/example_cmake" -B "$scratch/example_cmake/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
"$cmake" --build "$scratch/example_cmake/build" >/dev/null
# The installed example runs with the installed reference server.
"$scratch/prefix/bin/corvane_basecall_example" --reads 20 --length 200 --output "$scratch/reads.fastq"
test "$(grep -c '^@' "$scratch/reads.fastq")" -ge 20
