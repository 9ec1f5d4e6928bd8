#!/bin/sh
# Checks packaging/systemd/dovra.service without a running systemd: the unit
# must verify and score at most 1.5 with systemd-analyze, and dovra must relay
# a session when run by hand under the unit's user limits: an unprivileged
# user (nobody), no capability but CAP_NET_BIND_SERVICE (ambient and bounding
# set), no new privileges, an IPC namespace of its own, umask 0077 and
# LimitNOFILE=64, listening on a port below 1024. The same without the
# capability must fail to bind. What it cannot reproduce is the system call
# filter and the mount sandbox, which only the service manager sets up.
#
# Usage, as root, from the source tree: packaging/systemd/check-confined.sh
# BUILD_DIR (default build-confined) is built with the benchmark's tools,
# whose daemon reads dovra.conf from its working directory; nobody must be
# able to reach it (not under /root, say). Only loopback
# traffic; every process it starts is ended, every file outside BUILD_DIR
# removed.
set -eu

cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build-confined}
UNIT=packaging/systemd/dovra.service

fail() {
    echo "check-confined: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || { echo "check-confined: run as root (it switches to nobody)" >&2; exit 2; }
for tool in cmake setpriv unshare ss; do
    command -v "$tool" >/dev/null 2>&1 || { echo "check-confined: needs $tool" >&2; exit 2; }
done

tmp=$(mktemp -d)
pids=""
cleanup() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $pids; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

# ---- the unit ----
cmake -S . -B "$BUILD_DIR" -DBUILD_TESTING=OFF -DDOVRA_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" -j 2 --target dovra dovra-checkconf bench_echo bench_load bench_dovra >/dev/null
build=$(cd "$BUILD_DIR" && pwd)
if command -v systemd-analyze >/dev/null 2>&1; then
    # verify wants the programs where ExecStart= names them: point it at a copy.
    sed "s#/usr/local/sbin/#$build/#" "$UNIT" >"$tmp/dovra.service"
    systemd-analyze verify --man=no "$tmp/dovra.service" || fail "systemd-analyze verify failed"
    # The threshold is on the 0-100 scale of which the printed level is a tenth.
    score=0
    systemd-analyze security --offline=yes --threshold=15 "$UNIT" >"$tmp/score" || score=$?
    tail -n 1 "$tmp/score"
    [ "$score" -eq 0 ] || fail "exposure level above 1.5"
else
    echo "check-confined: no systemd-analyze; the unit itself is not checked" >&2
fi
BIN=$build/bench

# A free port in a range, or nothing.
free_port() {
    for port in $(seq "$1" "$2"); do
        [ -z "$(ss -Htln "sport = :$port")" ] && { echo "$port"; return; }
    done
}
low=$(free_port 900 919)
backend=$(free_port 19100 19119)
[ -n "$low" ] && [ -n "$backend" ] || fail "no free port in 900-919 or 19100-19119"

# ---- one confined run: the daemon under the given capability settings ----
# run NAME CAPS...: starts dovra in $tmp/NAME through bench_load's daemon
# runner, which finds the detached daemon and ends it, and its workers, on
# SIGTERM.
run() {
    name=$1
    shift
    dir=$tmp/$name
    mkdir -p "$dir"
    printf 'localport %s\nserverport %s\nmaxclients 4\nserver 127.0.0.2\n' "$low" "$backend" >"$dir/dovra.conf"
    chmod 755 "$dir"
    chmod 644 "$dir/dovra.conf"
    cat >"$dir/start" <<EOF
#!/bin/sh
umask 077
ulimit -n 64
exec unshare --ipc setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs $* "$BIN/bin/dovra"
EOF
    chmod 755 "$dir/start"
    "$BIN/bench_load" daemon "$dir" "$dir/start" >"$dir/stdout" 2>"$dir/stderr" &
    pids="$pids $!"
}

# Waits up to 5 s for the file to hold the pattern.
wait_for() {
    for _ in $(seq 100); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

"$BIN/bench_echo" "$backend" 1 60 >"$tmp/echo" &
pids="$pids $!"

run allowed --bounding-set=-all,+net_bind_service --inh-caps=-all,+net_bind_service --ambient-caps=+net_bind_service
wait_for "$tmp/allowed/daemon.pid" . || fail "no daemon: $(cat "$tmp/allowed/stdout" "$tmp/allowed/stderr")"
daemon=$(cat "$tmp/allowed/daemon.pid")
status=$(cat "/proc/$daemon/status")
echo "$status" | grep -Eq '^Uid:[[:space:]]+65534[[:space:]]' || fail "the daemon does not run as nobody"
echo "$status" | grep -Eq '^CapEff:[[:space:]]+0*400$' || fail "the daemon's capabilities are not CAP_NET_BIND_SERVICE alone"
echo "$status" | grep -Eq '^NoNewPrivs:[[:space:]]+1$' || fail "the daemon may gain privileges"
for _ in $(seq 100); do
    [ -n "$(ss -Htln "sport = :$low")" ] && break
    sleep 0.05
done
"$BIN/bench_load" ping 127.0.0.1 "$low" 200 5 >"$tmp/ping" || fail "no session through the confined daemon: $(cat "$tmp/ping" "$tmp/allowed/stderr")"
echo "confined daemon (uid nobody, CAP_NET_BIND_SERVICE only, port $low): $(cat "$tmp/ping")"

# Without the capability, the same daemon must not bind the port.
if [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)" -gt "$low" ]; then
    kill "${pids##* }"
    low_taken=$low
    low=$(free_port 920 939)
    [ -n "$low" ] || fail "no free port in 920-939"
    run denied --bounding-set=-all --inh-caps=-all
    wait_for "$tmp/denied/stderr" "Error creating listenning socket: Permission denied" ||
        fail "without CAP_NET_BIND_SERVICE port $low was not refused: $(cat "$tmp/denied/stderr")"
    echo "without the capability: refused as expected (port $low; $low_taken was served)"
else
    echo "ip_unprivileged_port_start lets anyone bind port $low: the refusal is not checked"
fi
echo "check-confined: ok"
