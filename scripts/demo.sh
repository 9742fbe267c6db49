#!/usr/bin/env bash
# Installs, builds, and runs the project's main job: prints the library's
# versions, then starts the reference server on an ipc:// socket, asks it the
# four server queries, has the example application basecall a few hundred
# simulated reads through it (FASTQ and SAM), and stops it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh

./build/corvane_info

work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

address="ipc://$work/server.sock"
./build/reference_server/reference_server --listen "$address" --verbosity 1 >"$work/server.log" 2>&1 &
server_pid=$!

# The server prints its endpoint once it is bound.
for _ in $(seq 1 100); do
    grep -q "listening on" "$work/server.log" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { tail -n 20 "$work/server.log" >&2; exit 1; }
    sleep 0.05
done
grep -q "listening on" "$work/server.log" || { echo "demo: reference server did not start" >&2; exit 1; }

echo
echo "== reference server at $address"
for query in kits stats info state; do
    echo
    echo "== corvane_query $query"
    ./build/corvane_query "$address" --timeout 2000 "$query"
done

echo
echo "== corvane_basecall_example: 300 simulated reads to FASTQ"
./build/corvane_basecall_example --server "$address" --reads 300 --length 400 --output "$work/reads.fastq"
echo "-- first records"
head -n 8 "$work/reads.fastq" | cut -c1-160
echo
echo "== corvane_basecall_example: 20 simulated reads to SAM"
./build/corvane_basecall_example --server "$address" --reads 20 --length 200 --format sam --seed 7 \
    --output "$work/reads.sam"
echo "-- first records"
head -n 4 "$work/reads.sam" | cut -c1-160

kill -TERM "$server_pid"
wait "$server_pid"
server_pid=
echo
echo "== reference server log"
tail -n 20 "$work/server.log"
