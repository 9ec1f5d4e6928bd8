#!/bin/bash
# Runs dovra and the other forwarders side by side on loopback, in alternating
# rounds, and writes docs/benchmarks.md with its chart. Usage: bench/run.sh
# Settings (environment): BENCH_ROUNDS (5), BENCH_SECONDS per timed run (2),
# BENCH_RR_SECONDS per request/response run (1), BENCH_BUILD_DIR (build-bench),
# BENCH_OUT (docs/benchmarks.md), BENCH_PEERS (names of the peers to run,
# default all), BENCH_DOVRA_BEFORE (another dovra binary, e.g. one built from
# an earlier commit, run beside this one as the peer "dovra-before" on port
# 19007, so that one run compares the two).
# Whether the machine was quiet enough for figures worth publishing is checked
# before and after the rounds, against BENCH_QUIET_LOAD (the 1-minute load
# average when the run began; default a quarter of the cores),
# BENCH_QUIET_FORK_US (a fork+exit+wait, p50; 500) and BENCH_QUIET_DIRECT_CPS
# (direct connections per second at c=1; 5000); the verdict is in the log and
# at the head of what it writes, and a run that fails it is marked NOT QUIET.
# As root, missing peers are installed from Debian packages; peers that are
# still missing are left out of the tables.
set -eu

cd "$(dirname "$0")/.."
ROOT=$PWD
# Read before anything of this run adds to it.
LOAD_AT_START=$(cut -d' ' -f1 /proc/loadavg)
QUIET_LOAD=${BENCH_QUIET_LOAD:-$(awk -v n="$(nproc)" 'BEGIN { print n / 4 }')}
QUIET_FORK_US=${BENCH_QUIET_FORK_US:-500}
QUIET_DIRECT_CPS=${BENCH_QUIET_DIRECT_CPS:-5000}
ROUNDS=${BENCH_ROUNDS:-5}
SECONDS_PER_RUN=${BENCH_SECONDS:-2}
RR_SECONDS=${BENCH_RR_SECONDS:-1}
DOVRA_BEFORE=${BENCH_DOVRA_BEFORE:-}
BUILD_DIR=${BENCH_BUILD_DIR:-build-bench}
OUT=${BENCH_OUT:-docs/benchmarks.md}
CHART=$(dirname "$OUT")/benchmarks.png
PEERS_DIR=$ROOT/bench/peers
ECHO_PORT=19000
IDLE_SESSIONS=100
MAX_CONN=20000

log() { echo "bench: $*" >&2; }

# ---- peers ----
PACKAGES="haproxy socat nginx libnginx-mod-stream rinetd gnuplot-nox"
missing_packages() {
    local missing=""
    command -v haproxy >/dev/null || missing="$missing haproxy"
    command -v socat >/dev/null || missing="$missing socat"
    command -v nginx >/dev/null || missing="$missing nginx"
    [ -e /usr/lib/nginx/modules/ngx_stream_module.so ] || missing="$missing libnginx-mod-stream"
    command -v rinetd >/dev/null || missing="$missing rinetd"
    command -v gnuplot >/dev/null || missing="$missing gnuplot-nox"
    echo "$missing"
}
missing=$(missing_packages)
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        log "installing:$missing"
        # The packages' services are not started: a policy that forbids it
        # stands while apt runs, unless the system already has one.
        own_policy=""
        if [ ! -e /usr/sbin/policy-rc.d ]; then
            printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
            chmod 755 /usr/sbin/policy-rc.d
            own_policy=1
        fi
        # shellcheck disable=SC2086
        { DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null &&
          DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing >/dev/null; } ||
            log "apt-get failed; going on with the peers that are there"
        [ -n "$own_policy" ] && rm -f /usr/sbin/policy-rc.d
    else
        log "not root: peers missing ($missing) are left out; install with: sudo apt-get install -y $PACKAGES"
    fi
fi

# ---- tools ----
generator=""
[ ! -f "$BUILD_DIR/CMakeCache.txt" ] && command -v ninja >/dev/null && generator="-G Ninja"
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" $generator -DBUILD_TESTING=OFF -DDOVRA_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" -j 2 --target bench_echo bench_load bench_report bench_dovra >/dev/null
BIN=$(cd "$BUILD_DIR" && pwd)/bench
LOAD=$BIN/bench_load

if [ -n "$DOVRA_BEFORE" ] && [ ! -x "$DOVRA_BEFORE" ]; then
    log "BENCH_DOVRA_BEFORE=$DOVRA_BEFORE is not an executable"
    exit 1
fi
for port in $(seq $ECHO_PORT $((ECHO_PORT + 7))); do
    if [ -n "$(ss -Hltn "sport = :$port")" ]; then
        log "port $port is in use; the benchmark needs 19000-19007 on loopback"
        exit 1
    fi
done

TMP=$(mktemp -d "${TMPDIR:-/tmp}/dovra-bench.XXXXXX")
STARTED=""   # pids this script started, ended by pid at exit
cleanup() {
    for pid in $STARTED; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in $STARTED; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_listening() {  # port
    for _ in $(seq 100); do
        [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
        sleep 0.05
    done
    return 1
}

"$BIN/bench_echo" $ECHO_PORT 3 1200 >"$TMP/echo.out" &
STARTED="$STARTED $!"
wait_listening $ECHO_PORT || { log "echo backend did not start"; exit 1; }

# ---- is the machine quiet? ----
# A fork+exit+wait and a direct connection are what a process-per-client
# forwarder's rate is made of; when either is far slower than a quiet
# machine makes it, the figures say more about the machine than the
# forwarders. Sets FORK_US[when] and DIRECT_CPS[when].
declare -A FORK_US DIRECT_CPS
probe_machine() {  # when
    FORK_US[$1]=$("$LOAD" fork 1000 | sed -n 's/^p50_us=\([0-9]*\).*/\1/p')
    DIRECT_CPS[$1]=$("$LOAD" conn 127.0.0.2 $ECHO_PORT 1 1 20000 | sed -n 's/^cps=\([0-9]*\).*/\1/p')
    log "machine at the $1: fork+exit+wait ${FORK_US[$1]:-?} µs, direct ${DIRECT_CPS[$1]:-?} connections/s"
}
NOT_QUIET=""
not_quiet_unless() {  # awk condition, reason
    awk "BEGIN { exit !($1) }" || NOT_QUIET="$NOT_QUIET${NOT_QUIET:+; }$2"
}
judge_machine() {
    not_quiet_unless "$LOAD_AT_START <= $QUIET_LOAD" \
        "the load average was $LOAD_AT_START when the run began (limit $QUIET_LOAD)"
    for when in start end; do
        not_quiet_unless "${FORK_US[$when]:-1e9} <= $QUIET_FORK_US" \
            "a fork+exit+wait took ${FORK_US[$when]:-?} µs at the $when (limit $QUIET_FORK_US)"
        not_quiet_unless "${DIRECT_CPS[$when]:-0} >= $QUIET_DIRECT_CPS" \
            "direct connections ran at ${DIRECT_CPS[$when]:-?}/s at the $when (limit $QUIET_DIRECT_CPS)"
    done
    # Within the limits, a machine whose connection rate changed much during
    # the run was not the same machine for every round. A fork's p50 moves
    # by 2× between two quiet runs, so only its limit counts.
    not_quiet_unless "${DIRECT_CPS[end]:-0} * 1.5 >= ${DIRECT_CPS[start]:-1e9} && ${DIRECT_CPS[start]:-0} * 1.5 >= ${DIRECT_CPS[end]:-1e9}" \
        "direct connections went from ${DIRECT_CPS[start]:-?} to ${DIRECT_CPS[end]:-?}/s during the run (more than 1.5×)"
    if [ -z "$NOT_QUIET" ]; then
        QUIET_LINE="**Quiet machine check: passed.** Load average $LOAD_AT_START when the run began (limit $QUIET_LOAD); fork+exit+wait ${FORK_US[start]} µs before the rounds and ${FORK_US[end]} µs after (limit $QUIET_FORK_US, p50 of 1000); direct connections ${DIRECT_CPS[start]}/s and ${DIRECT_CPS[end]}/s (limit $QUIET_DIRECT_CPS, c=1)."
        log "the machine was quiet"
    else
        QUIET_LINE="**Quiet machine check: NOT QUIET**: $NOT_QUIET. These figures describe a busy machine, not the forwarders: do not publish them; run again when the machine is quiet."
        log "NOT QUIET: $NOT_QUIET"
        log "do not publish these figures; run again when the machine is quiet"
    fi
}
probe_machine start

# PEER_PORT[name], PEER_PID[name]: where each peer listens, and the root of
# its process tree (0 for direct).
declare -A PEER_PORT PEER_PID
PEERS="direct"
PEER_PORT[direct]=$ECHO_PORT
PEER_PID[direct]=0
wanted() { [ -z "${BENCH_PEERS:-}" ] || [[ " $BENCH_PEERS " == *" $1 "* ]]; }
add_peer() {  # name port pid
    if wait_listening "$2"; then
        PEERS="$PEERS $1"
        PEER_PORT[$1]=$2
        PEER_PID[$1]=$3
    else
        log "$1 did not start; left out (see $TMP)"
    fi
}

start_dovra() {  # name binary port
    mkdir "$TMP/$1"
    sed "s/^localport .*/localport $3/" "$PEERS_DIR/dovra.conf" >"$TMP/$1/dovra.conf"
    "$LOAD" daemon "$TMP/$1" "$2" >"$TMP/$1/stdout" 2>"$TMP/$1/stderr" &
    STARTED="$STARTED $!"
    for _ in $(seq 100); do [ -s "$TMP/$1/daemon.pid" ] && break; sleep 0.05; done
    add_peer "$1" "$3" "$(cat "$TMP/$1/daemon.pid" 2>/dev/null || echo 0)"
}
wanted dovra && start_dovra dovra "$BIN/bin/dovra" 19001
[ -n "$DOVRA_BEFORE" ] && start_dovra dovra-before "$DOVRA_BEFORE" 19007

if command -v haproxy >/dev/null && wanted haproxy; then
    haproxy -db -f "$PEERS_DIR/haproxy.cfg" >"$TMP/haproxy.log" 2>&1 &
    STARTED="$STARTED $!"
    add_peer haproxy 19002 $!
fi
if command -v haproxy >/dev/null && wanted haproxy-splice; then
    haproxy -db -f "$PEERS_DIR/haproxy-splice.cfg" >"$TMP/haproxy-splice.log" 2>&1 &
    STARTED="$STARTED $!"
    add_peer haproxy-splice 19003 $!
fi
if wanted nginx && command -v nginx >/dev/null && [ -e /usr/lib/nginx/modules/ngx_stream_module.so ]; then
    mkdir "$TMP/nginx"
    nginx -p "$TMP/nginx" -c "$PEERS_DIR/nginx.conf" -e stderr >"$TMP/nginx.log" 2>&1 &
    STARTED="$STARTED $!"
    add_peer nginx 19004 $!
fi
if wanted socat && command -v socat >/dev/null; then
    sh "$PEERS_DIR/socat.sh" >"$TMP/socat.log" 2>&1 &
    STARTED="$STARTED $!"
    add_peer socat 19005 $!
fi
if wanted rinetd && command -v rinetd >/dev/null; then
    rinetd -f -c "$PEERS_DIR/rinetd.conf" >"$TMP/rinetd.log" 2>&1 &
    STARTED="$STARTED $!"
    add_peer rinetd 19006 $!
fi
log "peers:$(echo " $PEERS")"

# ---- rounds ----
RAW=$TMP/raw.txt
: >"$RAW"
host_of() { if [ "$1" = direct ]; then echo 127.0.0.2; else echo 127.0.0.1; fi; }
measure() {  # round peer measure
    local host port pid out
    host=$(host_of "$2")
    port=${PEER_PORT[$2]}
    pid=${PEER_PID[$2]}
    case $3 in
    bulk) out=$(timeout 30 "$LOAD" bulk "$host" "$port" "$SECONDS_PER_RUN" "$pid" 2>&1) || true ;;
    conn1) out=$(timeout 30 "$LOAD" conn "$host" "$port" 1 "$SECONDS_PER_RUN" $MAX_CONN "$pid" 2>&1) || true ;;
    conn16) out=$(timeout 30 "$LOAD" conn "$host" "$port" 16 "$SECONDS_PER_RUN" $MAX_CONN 2>&1) || true ;;
    ping) out=$(timeout 30 "$LOAD" ping "$host" "$port" 20000 "$SECONDS_PER_RUN" 2>&1) || true ;;
    idle)
        [ "$pid" -gt 0 ] || return 0
        out=$(timeout 30 "$LOAD" idle "$host" "$port" $IDLE_SESSIONS "$pid" 2>&1) || true ;;
    rr*) out=$(timeout 30 "$LOAD" rr "$host" "$port" "${RR_SIZE[$3]}" 20000 "$RR_SECONDS" 2>&1) || true ;;
    esac
    [ -n "$out" ] || out="error=timeout"
    echo "$1 $2 $3 $out" | tr '\n' ' ' >>"$RAW"
    echo >>"$RAW"
    log "round $1 $2 $3: $out"
}

# Request/response reply sizes: 6000 bytes is a reply a little over one
# 4096-byte relay piece.
declare -A RR_SIZE=([rr1k]=1024 [rr6k]=6000 [rr64k]=65536 [rr1m]=1048576)
peer_list=($PEERS)
n=${#peer_list[@]}
started_at=$(date +%s)
for round in $(seq "$ROUNDS"); do
    # Each round starts with another peer, so no peer always runs first.
    order=()
    for i in $(seq 0 $((n - 1))); do order+=("${peer_list[$(((i + round - 1) % n))]}"); done
    for m in bulk conn1 conn16 ping idle rr1k rr6k rr64k rr1m; do
        for peer in "${order[@]}"; do
            measure "$round" "$peer" "$m"
            sleep 0.2  # let closed sessions and workers settle
        done
    done
done
elapsed=$(($(date +%s) - started_at))
probe_machine end
judge_machine

# ---- report ----
mkdir -p "$(dirname "$OUT")"
"$BIN/bench_report" "$RAW" "$TMP/chart.dat" >"$TMP/results.md"
chart_line=""
if command -v gnuplot >/dev/null; then
    note=""
    [ -z "$NOT_QUIET" ] || note="NOT QUIET: do not publish. "
    gnuplot -e "datafile='$TMP/chart.dat'; outfile='$CHART'; note='$note'" "$ROOT/bench/chart.gp" &&
        chart_line="![Headline ratios against a direct connection]($(basename "$CHART"))"
fi
{
    echo "# Benchmarks"
    echo
    echo "Written by \`make bench\` (bench/run.sh) on $(date -u '+%Y-%m-%d %H:%M UTC'): $(nproc) cores,"
    echo "$(uname -sr), $ROUNDS rounds of ${SECONDS_PER_RUN}s runs (request/response ${RR_SECONDS}s) in ${elapsed}s."
    echo "Peers: $(for p in $PEERS; do
        case $p in
        haproxy) haproxy -v | sed -n '1s/^HAProxy version \([^ ]*\).*/haproxy \1/p' | tr -d '\n' ;;
        nginx) nginx -v 2>&1 | sed 's/.*: //' | tr -d '\n' ;;
        socat) socat -V | sed -n 's/^socat version \([^ ]*\).*/socat \1/p' | tr -d '\n' ;;
        rinetd) printf 'rinetd %s' "$(rinetd -v 2>&1 | sed 's/[^0-9.]//g')" ;;
        dovra-before) printf 'dovra (before): %s' "$DOVRA_BEFORE" ;;
        *) printf '%s' "$p" ;;
        esac
        printf '; '
    done)configurations in bench/peers/."
    echo
    echo "$QUIET_LINE"
    echo
    echo "## Results"
    echo
    cat "$TMP/results.md"
    echo
    [ -n "$chart_line" ] && { echo "$chart_line"; echo; }
    cat "$ROOT/bench/NOTES.md"
} >"$OUT"
log "wrote $OUT${chart_line:+ and $CHART}"
