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
