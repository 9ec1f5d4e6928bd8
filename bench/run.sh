#!/bin/bash
# Runs dovra and the other forwarders side by side on loopback, in alternating
# rounds, and writes docs/benchmarks.md with its chart. Usage: bench/run.sh
# Every sentence it writes that states a figure, a ratio or a verdict is
# computed from the run it describes (by bench_report); what holds for any run
# is in bench/NOTES.md, which it links to. It also rewrites the lines between
# "<!-- bench:begin" and "<!-- bench:end -->" in the README from the same run.
# Settings (environment): BENCH_ROUNDS (5), BENCH_SECONDS per timed run (2),
# BENCH_RR_SECONDS per request/response run (1), BENCH_BUILD_DIR (build-bench),
# BENCH_OUT (docs/benchmarks.md), BENCH_README (the README whose benchmark
# lines are rewritten: README.md when BENCH_OUT is not set, else none unless
# given), BENCH_PIN (the CPUs of the client, the forwarder and the backend
# during the round-trip measures, as three taskset lists; default all three
# on the last CPU; "none" leaves them where the scheduler puts them; see
# bench/NOTES.md), BENCH_PEERS (names of the peers to run,
# default all), BENCH_DOVRA_BEFORE (another dovra binary, e.g. one built from
# an earlier commit, run beside this one as the peer "dovra-before" on port
# 19007, so that one run compares the two), BENCH_PROFILE_CONNS (connections
# of the profile per connection, 2000; see bench/NOTES.md).
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
if [ -z "${BENCH_OUT:-}" ]; then README=${BENCH_README-README.md}; else README=${BENCH_README:-}; fi
LAST_CPU=$(($(nproc) - 1))
PIN=${BENCH_PIN:-$LAST_CPU $LAST_CPU $LAST_CPU}
ALL_CPUS=0-$LAST_CPU
if [ "$PIN" != none ]; then
    read -r PIN_CLIENT PIN_FORWARDER PIN_BACKEND <<<"$PIN"
    if [ -z "${PIN_BACKEND:-}" ] || ! taskset -c "$PIN_CLIENT,$PIN_FORWARDER,$PIN_BACKEND" true 2>/dev/null; then
        echo "bench: BENCH_PIN=\"$PIN\" is not three CPU lists of this machine (or taskset is missing)" >&2
        exit 1
    fi
fi
CHART=$(dirname "$OUT")/benchmarks.png
PEERS_DIR=$ROOT/bench/peers
ECHO_PORT=19000
IDLE_SESSIONS=100
MAX_CONN=20000

log() { echo "bench: $*" >&2; }

# ---- peers ----
wanted() { [ -z "${BENCH_PEERS:-}" ] || [[ " $BENCH_PEERS " == *" $1 "* ]]; }
PACKAGES="haproxy socat nginx libnginx-mod-stream rinetd gnuplot-nox linux-perf strace"
# The packages that the peers of BENCH_PEERS, the chart and the profile need
# and that are not there.
missing_packages() {
    local missing=""
    if wanted haproxy || wanted haproxy-splice; then
        command -v haproxy >/dev/null || missing="$missing haproxy"
    fi
    if wanted socat; then command -v socat >/dev/null || missing="$missing socat"; fi
    if wanted nginx; then
        command -v nginx >/dev/null || missing="$missing nginx"
        [ -e /usr/lib/nginx/modules/ngx_stream_module.so ] || missing="$missing libnginx-mod-stream"
    fi
    if wanted rinetd; then command -v rinetd >/dev/null || missing="$missing rinetd"; fi
    command -v gnuplot >/dev/null || missing="$missing gnuplot-nox"
    if wanted dovra || wanted proto-s || [ -n "$DOVRA_BEFORE" ]; then
        command -v perf >/dev/null || missing="$missing linux-perf"
        command -v strace >/dev/null || missing="$missing strace"
    fi
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
cmake --build "$BUILD_DIR" -j 2 --target bench_echo bench_load bench_report bench_dovra bench_proto_s >/dev/null
BIN=$(cd "$BUILD_DIR" && pwd)/bench
LOAD=$BIN/bench_load

if [ -n "$DOVRA_BEFORE" ] && [ ! -x "$DOVRA_BEFORE" ]; then
    log "BENCH_DOVRA_BEFORE=$DOVRA_BEFORE is not an executable"
    exit 1
fi
for port in $(seq $ECHO_PORT $((ECHO_PORT + 8))); do
    if [ -n "$(ss -Hltn "sport = :$port")" ]; then
        log "port $port is in use; the benchmark needs 19000-19008 on loopback"
        exit 1
    fi
done

TMP=$(mktemp -d "${TMPDIR:-/tmp}/dovra-bench.XXXXXX")
STARTED=""   # pids this script started, ended by pid at exit
PROFILER=""  # the perf or strace running now, if any (see profile below)
cleanup() {
    [ -z "$PROFILER" ] || end_profiler
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
ECHO_PID=$!
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
# dovra's design at its barest, with dovra's backends and maxclients.
if wanted proto-s; then
    # shellcheck disable=SC2046  # one argument per backend
    "$BIN/bench_proto_s" 19008 "$(sed -n 's/^serverport //p' "$PEERS_DIR/dovra.conf")" \
        "$(sed -n 's/^maxclients //p' "$PEERS_DIR/dovra.conf")" \
        $(sed -n 's/^server //p' "$PEERS_DIR/dovra.conf") >"$TMP/proto-s.log" 2>&1 &
    STARTED="$STARTED $!"
    add_peer proto-s 19008 $!
fi

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
tree_of() {  # pid: it and its descendants
    local child
    echo "$1"
    # shellcheck disable=SC2013  # the file is one line of pids, split on spaces
    for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do tree_of "$child"; done
}
pin_tree() {  # cpus pid: every thread of every process of the tree
    local p
    [ "$2" -gt 0 ] || return 0
    for p in $(tree_of "$2"); do taskset -a -p -c "$1" "$p" >/dev/null 2>&1 || true; done
}
# The round-trip measures run with the client, the forwarder's processes and
# the backend on the CPUs of BENCH_PIN (the forwarder's later children, a
# session's worker, inherit its CPUs); the other measures on any CPU.
CLIENT=()
pin_for() {  # measure peer-pid
    [ "$PIN" != none ] || return 0
    case $1 in
    ping | rr*)
        pin_tree "$PIN_BACKEND" "$ECHO_PID"
        pin_tree "$PIN_FORWARDER" "$2"
        CLIENT=(taskset -c "$PIN_CLIENT") ;;
    *)
        pin_tree "$ALL_CPUS" "$ECHO_PID"
        pin_tree "$ALL_CPUS" "$2"
        CLIENT=() ;;
    esac
}
measure() {  # round peer measure
    local host port pid out
    host=$(host_of "$2")
    port=${PEER_PORT[$2]}
    pid=${PEER_PID[$2]}
    pin_for "$3" "$pid"
    case $3 in
    bulk) out=$(timeout 30 "$LOAD" bulk "$host" "$port" "$SECONDS_PER_RUN" "$pid" 2>&1) || true ;;
    conn1) out=$(timeout 30 "$LOAD" conn "$host" "$port" 1 "$SECONDS_PER_RUN" $MAX_CONN "$pid" 2>&1) || true ;;
    conn16) out=$(timeout 30 "$LOAD" conn "$host" "$port" 16 "$SECONDS_PER_RUN" $MAX_CONN 2>&1) || true ;;
    ping) out=$(timeout 30 "${CLIENT[@]}" "$LOAD" ping "$host" "$port" 20000 "$SECONDS_PER_RUN" 2>&1) || true ;;
    idle)
        [ "$pid" -gt 0 ] || return 0
        out=$(timeout 30 "$LOAD" idle "$host" "$port" $IDLE_SESSIONS "$pid" 2>&1) || true ;;
    rr*) out=$(timeout 30 "${CLIENT[@]}" "$LOAD" rr "$host" "$port" "${RR_SIZE[$3]}" 20000 "$RR_SECONDS" 2>&1) || true ;;
    esac
    case $3 in ping | rr*) pin_for none "$pid" ;; esac
    [ -n "$out" ] || out="error=timeout"
    echo "$1 $2 $3 $out" | tr '\n' ' ' >>"$RAW"
    echo >>"$RAW"
    log "round $1 $2 $3: $out"
}

# Request/response reply sizes: 6000 bytes is a reply a little over the
# 4 KiB that many relays read at once, 65536 one piece of dovra's relay.
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

# ---- profile per connection ----
# What a connection costs in counts, which a busy machine does not change as
# it changes times: page faults and context switches (perf stat) and system
# calls (strace) of a forwarder's daemon and workers, over a fixed number of
# connections at c=1, divided by the connections made. Both tools follow the
# workers forked after they attach, and reaped workers' counts are added to
# their parent's; the load generator is not counted. Written as raw lines
# "0 PEER profile ..." (and "0 dovra calls NAME=..." for dovra's calls by
# name) for bench_report.
PROFILE_CONNS=${BENCH_PROFILE_CONNS:-2000}
PROFILE_OUT=""
PROFILE_PEERS=""
for peer in dovra dovra-before proto-s; do
    [[ " $PEERS " == *" $peer "* ]] && PROFILE_PEERS="$PROFILE_PEERS $peer"
done
HAVE_PERF=""
HAVE_STRACE=""
command -v perf >/dev/null && HAVE_PERF=1
command -v strace >/dev/null && HAVE_STRACE=1
[ -n "$HAVE_PERF" ] || log "perf is missing: page faults and context switches are left out of the profile"
[ -n "$HAVE_STRACE" ] || log "strace is missing: system calls are left out of the profile"

# Ends PROFILER with SIGINT, on which perf and strace write what they
# counted, and waits for it (at most 10 s, then SIGKILL).
end_profiler() {
    local alive=1
    kill -INT "$PROFILER" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$PROFILER" 2>/dev/null || { alive=""; break; }
        sleep 0.1
    done
    [ -z "$alive" ] || kill -KILL "$PROFILER" 2>/dev/null || true
    wait "$PROFILER" 2>/dev/null || true
    PROFILER=""
}
# Whether the profiler PROFILER has attached to the process tree at pid.
attached() {  # tool pid
    case $1 in
    perf)
        local fd
        for fd in /proc/"$PROFILER"/fd/*; do
            [[ "$(readlink "$fd" 2>/dev/null)" == *perf_event* ]] && return 0
        done
        return 1 ;;
    strace) [ "$(awk '/^TracerPid:/ { print $2 }' "/proc/$2/status" 2>/dev/null)" = "$PROFILER" ] ;;
    esac
}
# Starts the profiler (a command that attaches to pid's tree and writes what
# it counted when it gets SIGINT), makes conns connections at c=1 once it has
# attached, lets the workers be reaped (bench_load waits for the tree to
# settle) and ends the profiler by its pid. Sets PROFILE_OUT to bench_load's
# line; returns 1 when the profiler did not attach (nothing was run), 2 when
# the load failed its check. Not run in a subshell, so that the cleanup at
# exit knows PROFILER.
profiled_load() {  # tool port pid conns command...
    local tool=$1 port=$2 pid=$3 conns=$4 out="" rc=0
    shift 4
    "$@" &
    PROFILER=$!
    for _ in $(seq 50); do attached "$tool" "$pid" && break; sleep 0.1; done
    if attached "$tool" "$pid"; then
        sleep 0.3
        out=$(timeout 60 "$LOAD" conn 127.0.0.1 "$port" 1 30 "$conns" "$pid" 2>&1) || rc=2
    else
        rc=1
    fi
    end_profiler
    [ -n "$out" ] || [ $rc = 1 ] || out="error=timeout"
    PROFILE_OUT=$out
    return $rc
}
# What a profiler that failed leaves: a note when it did not attach (rc 1),
# else the load's own line among the figures, which names its error.
profiler_failed() {  # peer tool rc out what
    if [ "$3" = 1 ]; then
        log "profile $1: $2 did not attach (no permission?): $5 left out"
    else
        echo "0 $1 profile $4" >>"$RAW"
        log "profile $1, $2: $4"
    fi
}
profile() {  # peer
    local peer=$1 port=${PEER_PORT[$1]} pid=${PEER_PID[$1]} out rc conns faults ctxsw total fields=""
    [ "$pid" -gt 0 ] || return 0
    if [ -n "$HAVE_PERF" ]; then
        profiled_load perf "$port" "$pid" "$PROFILE_CONNS" \
            perf stat -e page-faults,context-switches -x, -o "$TMP/$peer.perf" -p "$pid" && rc=0 || rc=$?
        out=$PROFILE_OUT
        if [ $rc = 0 ]; then
            conns=$(sed -n 's/.*conns=\([0-9]*\).*/\1/p' <<<"$out")
            faults=$(awk -F, '$3 == "page-faults" && $1 ~ /^[0-9]+$/ { print $1 }' "$TMP/$peer.perf" 2>/dev/null)
            ctxsw=$(awk -F, '$3 == "context-switches" && $1 ~ /^[0-9]+$/ { print $1 }' "$TMP/$peer.perf" 2>/dev/null)
            if [ -n "$faults" ] && [ -n "$ctxsw" ] && [ "${conns:-0}" -gt 0 ]; then
                fields="$(awk -v f="$faults" -v c="$ctxsw" -v n="$conns" \
                    'BEGIN { printf "faults_per_conn=%.1f ctxsw_per_conn=%.1f", f / n, c / n }') conns=$conns"
            else
                log "profile $peer: perf stat counted nothing (no permission?): page faults and context switches left out"
                sed 's/^/bench:   /' "$TMP/$peer.perf" >&2 2>/dev/null || true
            fi
        else
            profiler_failed "$peer" "perf stat" $rc "$out" "page faults and context switches"
        fi
    fi
    if [ -n "$HAVE_STRACE" ]; then
        profiled_load strace "$port" "$pid" $((PROFILE_CONNS > 3 ? PROFILE_CONNS / 4 : 1)) \
            strace -f -c -q -p "$pid" -o "$TMP/$peer.strace" && rc=0 || rc=$?
        out=$PROFILE_OUT
        if [ $rc = 0 ]; then
            conns=$(sed -n 's/.*conns=\([0-9]*\).*/\1/p' <<<"$out")
            # The summary: "% time seconds usecs/call calls [errors] syscall",
            # and a last line whose syscall is "total".
            total=$(awk '$NF == "total" && $4 ~ /^[0-9]+$/ { print $4 }' "$TMP/$peer.strace" 2>/dev/null)
            if [ -n "$total" ] && [ "${conns:-0}" -gt 0 ]; then
                fields="$fields $(awk -v t="$total" -v n="$conns" 'BEGIN { printf "syscalls_per_conn=%.1f", t / n }') strace_conns=$conns"
                if [ "$peer" = dovra ]; then
                    echo "0 $peer calls $(awk -v n="$conns" '
                        $4 ~ /^[0-9]+$/ && $NF != "total" && $4 / n >= 0.5 { printf "%d %s=%.2f\n", $4, $NF, $4 / n }' \
                        "$TMP/$peer.strace" | sort -rn | cut -d' ' -f2 | tr '\n' ' ')" >>"$RAW"
                fi
            else
                log "profile $peer: strace wrote no summary: system calls left out"
            fi
        else
            profiler_failed "$peer" strace $rc "$out" "system calls"
        fi
    fi
    if [ -n "$fields" ]; then
        echo "0 $peer profile $fields" >>"$RAW"
        log "profile $peer: $fields"
    fi
}
if [ -n "$PROFILE_PEERS" ] && { [ -n "$HAVE_PERF" ] || [ -n "$HAVE_STRACE" ]; }; then
    profile_started=$(date +%s)
    for peer in $PROFILE_PEERS; do profile "$peer"; done
    log "profile of$PROFILE_PEERS took $(($(date +%s) - profile_started))s"
fi

probe_machine end
judge_machine
# The floor of a fork-per-client design, for the targets: the median of the
# two fork+exit+wait figures.
if [ -n "${FORK_US[start]:-}" ] || [ -n "${FORK_US[end]:-}" ]; then
    echo "0 machine fork fork_us=$(awk -v a="${FORK_US[start]:-${FORK_US[end]}}" -v b="${FORK_US[end]:-${FORK_US[start]}}" \
        'BEGIN { print (a + b) / 2 }')" >>"$RAW"
fi

# ---- report ----
mkdir -p "$(dirname "$OUT")"
NOTES_LINK=$(realpath --relative-to="$(dirname "$OUT")" "$ROOT/bench/NOTES.md")
HISTORY_LINK=$(realpath --relative-to="$(dirname "$OUT")" "$ROOT/bench/HISTORY.md")
"$BIN/bench_report" "$RAW" "$TMP/chart.dat" "$TMP/readme.txt" "$NOTES_LINK" >"$TMP/results.md"
chart_line=""
if command -v gnuplot >/dev/null; then
    note=""
    [ -z "$NOT_QUIET" ] || note="NOT QUIET: do not publish. "
    gnuplot -e "datafile='$TMP/chart.dat'; outfile='$CHART'; note='$note'" "$ROOT/bench/chart.gp" &&
        chart_line="![dovra and the other forwarders, relative to a direct connection]($(basename "$CHART"))"
fi
if [ "$PIN" = none ]; then
    pin_line="Round trips were not pinned to CPUs (\`BENCH_PIN=none\`): where the scheduler put the processes is part of their figures."
else
    if [ "$PIN_CLIENT" = "$PIN_FORWARDER" ] && [ "$PIN_FORWARDER" = "$PIN_BACKEND" ]; then
        where="the client, the forwarder and the backend all on CPU $PIN_CLIENT"
    else
        where="the client on CPU $PIN_CLIENT, the forwarder on CPU $PIN_FORWARDER and the backend on CPU $PIN_BACKEND"
    fi
    pin_line="Round trips (ping-pong and request/response) ran with $where (\`BENCH_PIN\`; [why](${NOTES_LINK}#where-the-processes-run)); the other measures on any CPU."
fi
RUN_DATE=$(date -u '+%Y-%m-%d %H:%M UTC')
{
    echo "# Benchmarks"
    echo
    echo "Written by \`make bench\` (bench/run.sh) on $RUN_DATE: $(nproc) cores,"
    echo "$(uname -sr), $ROUNDS round$([ "$ROUNDS" = 1 ] || echo s) of ${SECONDS_PER_RUN}s runs (request/response ${RR_SECONDS}s) in ${elapsed}s."
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
    echo "$pin_line"
    echo
    echo "$QUIET_LINE"
    echo
    echo "Every figure, ratio and verdict below is of this run. How it is measured, what each measure"
    echo "means and why dovra costs what it costs: [bench/NOTES.md]($NOTES_LINK). What single changes"
    echo "gained, each measured against the build before it at the time: [bench/HISTORY.md]($HISTORY_LINK)."
    echo
    [ -n "$chart_line" ] && { echo "$chart_line"; echo; }
    cat "$TMP/results.md"
} >"$OUT"
log "wrote $OUT${chart_line:+ and $CHART}"

# The README's lines, from the same run: between the markers, replaced whole.
if [ -n "$README" ]; then
    if [ -s "$TMP/readme.txt" ] && grep -q '^<!-- bench:begin' "$README" && grep -q '^<!-- bench:end -->' "$README"; then
        if [ -z "$NOT_QUIET" ]; then verdict="quiet by its own check"; else verdict="NOT QUIET: not to be published"; fi
        chart_from_readme=$(realpath --relative-to="$(dirname "$README")" "$CHART")
        out_from_readme=$(realpath --relative-to="$(dirname "$README")" "$OUT")
        {
            echo "<!-- bench:begin: written by bench/run.sh from the run of $out_from_readme; edits here are lost -->"
            printf 'The run of %s (%s round%s, %s cores, %s), [in full](%s), against a direct connection:\n' \
                "${RUN_DATE%% *}" "$ROUNDS" "$([ "$ROUNDS" = 1 ] || echo s)" "$(nproc)" "$verdict" "$out_from_readme"
            cat "$TMP/readme.txt"
            if [ -n "$chart_line" ]; then
                echo
                echo "![dovra beside the forwarders one would use instead, each against direct]($chart_from_readme)"
            fi
            echo "<!-- bench:end -->"
        } >"$TMP/readme-block.md"
        awk -v block="$TMP/readme-block.md" '
            /^<!-- bench:begin/ { while ((getline l < block) > 0) print l; skip = 1; next }
            /^<!-- bench:end -->/ { skip = 0; next }
            !skip' "$README" >"$TMP/README.new"
        cat "$TMP/README.new" >"$README"
        log "rewrote the benchmark lines of $README"
    else
        log "$README has no <!-- bench:begin --> and <!-- bench:end --> lines (or the run measured nothing): left alone"
    fi
fi
