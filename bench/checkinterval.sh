#!/bin/bash
# What taking the probe off the client's path gains: dovra in front of the
# three echo backends, as bench/run.sh runs it, once as configured there and
# once with "checkinterval 2"; for each, connections a second, CPU per
# connection (the daemon's tree) and the connections the backends accepted
# per session. Runs in a network namespace of its own, so that the system's
# count of accepted TCP connections (Tcp PassiveOpens) holds only this run's:
# each session is one accepted by dovra plus what the backends accept.
# Usage: bench/checkinterval.sh [BUILD_DIR] (default build); settings
# (environment): SECONDS_PER_RUN (3), CONCURRENCY ("1 8"), MAXCONN (20000).
set -eu
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
if [ "${IN_NETNS:-}" != 1 ]; then
    exec env IN_NETNS=1 unshare -rn "$0" "$@"
fi
ip link set lo up
SECONDS_PER_RUN=${SECONDS_PER_RUN:-3}
CONCURRENCY=${CONCURRENCY:-1 8}
MAXCONN=${MAXCONN:-20000}
LOAD=$BUILD/bench/bench_load
TMP=$(mktemp -d)
ECHO=
RUNNER=
cleanup() {
    [ -n "$RUNNER" ] && kill "$RUNNER" 2>/dev/null && wait "$RUNNER" 2>/dev/null
    [ -n "$ECHO" ] && kill "$ECHO" 2>/dev/null && wait "$ECHO" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT
passive_opens() {
    awk '/^Tcp:/ { if (!n) { for (i = 1; i <= NF; i++) if ($i == "PassiveOpens") col = i; n = 1 } else print $col }' \
        /proc/net/snmp
}
"$BUILD/bench/bench_echo" 19000 3 600 >"$TMP/echo.out" &
ECHO=$!
for _ in $(seq 100); do grep -q ready "$TMP/echo.out" 2>/dev/null && break; sleep 0.05; done
for setting in "" "checkinterval 2"; do
    mkdir -p "$TMP/run"
    { cat bench/peers/dovra.conf; echo "$setting"; } >"$TMP/run/dovra.conf"
    rm -f "$TMP/run/daemon.pid"
    "$LOAD" daemon "$TMP/run" "$BUILD/bench/bin/dovra" >"$TMP/run/stdout" 2>"$TMP/run/stderr" &
    RUNNER=$!
    for _ in $(seq 100); do [ -s "$TMP/run/daemon.pid" ] && break; sleep 0.05; done
    sleep 0.5
    for c in $CONCURRENCY; do
        before=$(passive_opens)
        line=$("$LOAD" conn 127.0.0.1 19001 "$c" "$SECONDS_PER_RUN" "$MAXCONN" "$(cat "$TMP/run/daemon.pid")")
        after=$(passive_opens)
        conns=$(sed -n 's/.*conns=\([0-9]*\).*/\1/p' <<<"$line")
        per=$(awk -v a="$before" -v b="$after" -v n="$conns" 'BEGIN { printf "%.2f", (b - a - n) / n }')
        echo "${setting:-default} c=$c $line backend_conns_per_session=$per"
    done
    kill "$RUNNER"
    wait "$RUNNER" || true
    RUNNER=
    rm -rf "$TMP/run"
done
