#!/usr/bin/env bash
# The reference_server and corvane_query executables end to end: the server
# binds a free loopback port, answers the four queries, reports bad input,
# and stops cleanly on SIGINT and SIGTERM. Usage: executables_test.sh BUILD_DIR
set -euo pipefail
build=$1
server=$build/reference_server/reference_server
query=$build/corvane_query
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/log" ] && cat "$work/log" >&2; exit 1; }

start_server() {
    # Made before the server starts: the background job opens it only once
    # it runs, and the first look must not find no file (set -e ends the
    # script on sed's error).
    : >"$work/log"
    "$server" --listen 0 "$@" >"$work/log" 2>&1 &
    pid=$!
    for _ in $(seq 1 200); do
        endpoint=$(sed -n 's/^reference_server listening on //p' "$work/log")
        [ -n "$endpoint" ] && return 0
        kill -0 "$pid" 2>/dev/null || fail "server exited early"
        sleep 0.02
    done
    fail "server did not report its endpoint"
}

stop_server() {
    kill "-$1" "$pid"
    wait "$pid" || fail "server exited with $? on $1"
    pid=
    grep -q "stopped (SIG$1)" "$work/log" || fail "no clean stop on $1"
}

start_server --verbosity 2
case $endpoint in tcp://127.0.0.1:[0-9]*) ;; *) fail "bare port bound $endpoint" ;; esac
"$query" "$endpoint" kits | grep -q "KIT-24" || fail "kits"
"$query" "$endpoint" stats | grep -q "^clients: *0" || fail "stats"
"$query" "$endpoint" info | grep -q '"CUDA Devices"' || fail "info"
"$query" "$endpoint" state | grep -q '"ServerInformation"' || fail "state"
grep -q "GET_BARCODE_KITS -> RETURN_CONFIGS" "$work/log" || fail "request log"
stop_server INT

# A settings file with a fault: the query fails with the result's name.
cat >"$work/settings.json" <<'JSON'
{"faults": [{"request": "GET_STATISTICS", "action": "reply", "reply": "BAD_REQUEST", "text": "no"}]}
JSON
start_server --config "$work/settings.json"
status=0
"$query" "$endpoint" stats 2>"$work/err" || status=$?
[ "$status" = 1 ] || fail "failed query exited $status"
grep -q "stats failed: bad_request" "$work/err" || fail "failed query message"
stop_server TERM

# A state report nested far deeper than any server's comes back as it came.
deep=$(head -c 200000 /dev/zero | tr '\0' '[')
printf '{"faults": [{"request": "QUERY", "action": "reply", "reply": "RESPONSE", "text": "%s"}]}' "$deep" \
    >"$work/settings.json"
start_server --config "$work/settings.json"
"$query" "$endpoint" state >"$work/state" 2>&1 || fail "deep state report: exit $?"
[ "$(head -c 5 "$work/state")" = "[[[[[" ] || fail "deep state report not printed as it came"
stop_server TERM

# Output piped to a program that exits early: the server keeps serving.
mkfifo "$work/fifo"
head -1 <"$work/fifo" >"$work/first" &
head_pid=$!
"$server" --listen "ipc://$work/piped.sock" >"$work/fifo" 2>"$work/log" &
pid=$!
wait "$head_pid"
grep -q "listening on" "$work/first" || fail "piped server did not start"
for _ in 1 2 3 4 5; do
    "$query" "ipc://$work/piped.sock" kits >/dev/null || fail "piped server stopped answering"
done
kill -0 "$pid" 2>/dev/null || fail "piped server died"
kill -TERM "$pid"
wait "$pid" || fail "piped server exited with $?"
pid=
# A clean exit removes the ipc:// socket file.
[ ! -e "$work/piped.sock" ] || fail "socket file left behind"

# Output piped to a reader that never reads: the log fills the pipe, and
# the server keeps answering and still stops on SIGTERM.
mkfifo "$work/stalled"
exec 7<>"$work/stalled"
"$server" --listen "ipc://$work/stalled.sock" --verbosity 2 >"$work/stalled" 2>"$work/log" &
pid=$!
for _ in $(seq 1 200); do
    [ -S "$work/stalled.sock" ] && break
    sleep 0.02
done
# Each answer logs the whole internal state: far more than a pipe holds.
for _ in $(seq 1 120); do
    "$query" "ipc://$work/stalled.sock" --timeout 1000 state >/dev/null || fail "server with a stalled log stopped answering"
done
kill -TERM "$pid"
for _ in $(seq 1 250); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.02
done
kill -0 "$pid" 2>/dev/null && fail "server with a stalled log ignored SIGTERM"
wait "$pid" || fail "server with a stalled log exited with $?"
pid=
exec 7<&-

# Bad command lines.
status=0; "$query" "$endpoint" frobnicate 2>/dev/null || status=$?
[ "$status" = 2 ] || fail "unknown query exited $status"
status=0; "$query" "$endpoint" --timeout -5 kits 2>/dev/null || status=$?
[ "$status" = 2 ] || fail "negative timeout exited $status"
status=0; "$query" "ipc://$work/nobody" --timeout 20 kits 2>"$work/err" || status=$?
[ "$status" = 1 ] && grep -q "timed_out" "$work/err" || fail "absent server"
echo '{"configurations": 3}' >"$work/bad.json"
status=0; "$server" --listen 0 --config "$work/bad.json" 2>"$work/err" || status=$?
[ "$status" = 1 ] && grep -q "configurations must be a list" "$work/err" || fail "bad settings file"
status=0; "$server" --listen 0 --data-root "$work/nowhere" 2>"$work/err" || status=$?
[ "$status" = 1 ] && grep -q "data-root $work/nowhere: not a folder" "$work/err" || fail "data root not a folder"
status=0; "$server" --listen inproc://x 2>/dev/null || status=$?
[ "$status" = 1 ] || fail "inproc listen exited $status"
echo "executables: all checks passed"
