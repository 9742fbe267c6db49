#!/usr/bin/env bash
# corvane_simulate end to end: reproducible output, a reads file, reads drawn
# from a FASTA file, and bad command lines. Usage: simulate_test.sh BUILD_DIR
set -euo pipefail
simulate=$1/reference_server/corvane_simulate
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$simulate" --reads 5 --length 40 --seed 9 >"$work/a.jsonl"
"$simulate" --reads 5 --length 40 --seed 9 -o "$work/b.jsonl"
cmp -s "$work/a.jsonl" "$work/b.jsonl" || fail "same seed, different reads"
[ "$(wc -l <"$work/a.jsonl")" = 5 ] || fail "five reads expected"
"$simulate" --reads 5 --length 40 --seed 10 >"$work/c.jsonl"
cmp -s "$work/a.jsonl" "$work/c.jsonl" && fail "another seed, the same reads"
grep -q '"sequence":"[ACGT]\{40\}"' "$work/a.jsonl" || fail "no 40-base sequence"

printf '>only\nGGGGGGGGGGGGGGGGGGGG\n' >"$work/ref.fa"
"$simulate" --reads 3 --length 8 --reference "$work/ref.fa" >"$work/ref.jsonl"
grep -c '"sequence":"\(GGGGGGGG\|CCCCCCCC\)"' "$work/ref.jsonl" | grep -qx 3 || fail "reads not from the reference"
grep -q '"source":"only:' "$work/ref.jsonl" || fail "no source"

expect_status() {
    local want=$1 message=$2
    shift 2
    status=0
    "$simulate" "$@" >/dev/null 2>"$work/err" || status=$?
    [ "$status" = "$want" ] || fail "$* exited $status"
    grep -q -- "$message" "$work/err" || fail "$* did not say '$message'"
}
expect_status 2 "--reads and --length are required" --length 5
expect_status 2 "takes a number" --reads x --length 5
expect_status 2 "unknown argument" --reads 1 --length 5 --frobnicate
expect_status 1 "noise bound" --reads 1 --length 5 --noise 60
expect_status 1 "cannot read FASTA" --reads 1 --length 5 --reference "$work/missing.fa"
expect_status 1 "cannot write" --reads 1 --length 5 -o "$work/no/such/dir/x.jsonl"
echo "corvane_simulate: all checks passed"
