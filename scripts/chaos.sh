#!/usr/bin/env bash
# scripts/chaos.sh [SECONDS] [SEED]: chaos runs of the client against a
# misbehaving reference server (restarts, NOT_READY, stalls) for SECONDS
# (default 600), seeds from SEED on (default: random). Prints every run's
# figures and the totals; fails when a read was lost, duplicated or came
# back with another sequence.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-600}
seed=${2:-$(( (RANDOM << 15) | RANDOM ))}
[ -x build/tests/tools/corvane_chaos ] || { bash scripts/setup.sh && bash scripts/build.sh; }
echo "chaos: ${seconds}s from seed $seed"
exec build/tests/tools/corvane_chaos "$seconds" "$seed"
