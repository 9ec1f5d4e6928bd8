#!/bin/bash
# What the front door costs per connection: dovra with none of its keywords,
# with a deny list of 100 rules that no client matches (every rule is
# tested), and with maxperclient, in alternating rounds against one echo
# backend on loopback. (proxyprotocol needs a backend that expects the
# header, which the echo backend does not: its cost is one getpeername(),
# one getsockname() and one send() of 28 bytes in the worker.) Prints, for each, the connection rate of one client
# and the CPU time dovra's process tree spent per connection (the median of
# the rounds). Usage: bench/front_door.sh [BUILD_DIR]; settings (environment):
# FRONT_ROUNDS (3), FRONT_SECONDS per run (3), FRONT_BEFORE (another dovra
# binary, e.g. one built from an earlier commit, run with none of the
# keywords as the case "before").
set -eu
cd "$(dirname "$0")/.."
ROUNDS=${FRONT_ROUNDS:-3}
SECONDS_PER_RUN=${FRONT_SECONDS:-3}
cmake --build "${1:-build}" -j 2 --target bench_echo bench_load bench_dovra >/dev/null
BIN=$(cd "${1:-build}/bench" && pwd)
TMP=$(mktemp -d)
STARTED=""
cleanup() {
    # shellcheck disable=SC2086
    [ -z "$STARTED" ] || kill $STARTED 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT
BASE=$((20000 + $$ % 20000))
ECHO_PORT=$BASE
"$BIN/bench_echo" $ECHO_PORT 1 600 >"$TMP/echo.out" &
STARTED="$STARTED $!"
listening() {
    for _ in $(seq 100); do
        [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
        sleep 0.05
    done
    return 1
}
listening $ECHO_PORT || { cat "$TMP/echo.out" >&2; echo "echo backend did not start" >&2; exit 1; }

# The settings of each case, after the four required ones.
settings() {
    case $1 in
    none | before) ;;
    deny100) for i in $(seq 0 99); do echo "deny 10.$i.0.0/16"; done ;;
    perclient) echo "maxperclient 8" ;;
    esac
}

CASES="none deny100 perclient"
[ -z "${FRONT_BEFORE:-}" ] || CASES="before $CASES"
for round in $(seq "$ROUNDS"); do
    for c in $CASES; do
        dir=$TMP/$c.$round
        port=$((BASE + 1))
        mkdir "$dir"
        { printf 'localport %s\nserverport %s\nmaxclients 64\nserver 127.0.0.2\n' "$port" "$ECHO_PORT"; settings "$c"; } >"$dir/dovra.conf"
        binary=$BIN/bin/dovra
        [ "$c" != before ] || binary=$FRONT_BEFORE
        "$BIN/bench_load" daemon "$dir" "$binary" >"$dir/stdout" 2>"$dir/stderr" &
        runner=$!
        for _ in $(seq 100); do [ -s "$dir/daemon.pid" ] && break; sleep 0.05; done
        listening "$port" || { cat "$dir/stdout" "$dir/stderr" >&2; echo "dovra did not start" >&2; exit 1; }
        out=$(timeout 30 "$BIN/bench_load" conn 127.0.0.1 "$port" 1 "$SECONDS_PER_RUN" 20000 "$(cat "$dir/daemon.pid")" 2>&1) || true
        echo "$c $out" >>"$TMP/results"
        kill "$runner"
        wait "$runner" || true
    done
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { tr " " "\n" | sed -n "s/^$1=//p"; }
printf '%-8s %10s %14s\n' case conn/s cpu_us/conn
for c in $CASES; do
    rate=$(grep "^$c " "$TMP/results" | field cps | median)
    cpu=$(grep "^$c " "$TMP/results" | field cpu_us_per_conn | median)
    printf '%-8s %10s %14s\n' "$c" "$rate" "$cpu"
done
