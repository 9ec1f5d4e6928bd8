#!/bin/bash
# Boots Debian 12 with its own systemd in a container, installs dovra there
# and drives packaging/systemd/dovra.service as an operator would: starts
# (idle and with every CPU busy), boot, relay, the daemon's user, capabilities
# and filters, a port below 1024, a port in use, a refused configuration,
# restart and stop with sessions open, reload with sessions open and clients
# running, the workers' lines in the journal, the exposure score, and with a
# package an apt upgrade with sessions open. One line per check, with counts.
#
# Usage, as root on Linux:
#   systemd_test.sh BUILD_DIR SOURCE_DIR
#       the build, installed by cmake --install (CMAKE names the cmake to
#       use), with the tree's unit in /etc/systemd/system;
#   systemd_test.sh --deb PACKAGE SOURCE_DIR
#       a Debian package, installed by apt: PACKAGE is the .deb, or the
#       directory where "./build.sh deb" left the one of SOURCE_DIR's version
#       (DOVRA_SYSTEMD_TEST_DEB, when set, names the .deb instead). Then
#       removed and purged.
# Exit status 0 when every check passes, 1 when one fails, 77 (with the
# reason on standard error) when the container cannot be had here.
#
# The container's root, a minimal Debian 12 made by debootstrap, is kept
# between runs in $DOVRA_SYSTEMD_TEST_CACHE (default /var/tmp/dovra-systemd)
# and never changed: each run boots a copy, removed at the end. The
# container has a network namespace of its own (--private-network), so every
# byte stays on its loopback.
set -u

SKIP=77
NAME=dovra-systemd-test
CACHE=${DOVRA_SYSTEMD_TEST_CACHE:-/var/tmp/dovra-systemd}
ROOT=$CACHE/root
PACKAGES=systemd,systemd-sysv,dbus,libnss-systemd,procps,iproute2,socat,python3-minimal
STARTS=${DOVRA_SYSTEMD_TEST_STARTS:-40}
BOOTS=${DOVRA_SYSTEMD_TEST_BOOTS:-3}
PORT=8080
BACKEND_PORT=8000
LOW_PORT=80
CONTAINER_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

skip() {
    echo "$NAME: skipped: $*" >&2
    exit "$SKIP"
}

# ---- arguments ----
DEB=""
BUILD=""
if [ "${1:-}" = --deb ]; then
    DEB=${DOVRA_SYSTEMD_TEST_DEB:-${2:-}}
    SOURCE=${3:-}
else
    BUILD=${1:-}
    SOURCE=${2:-}
fi
if [ -z "$SOURCE" ] || [ -z "$DEB$BUILD" ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR | $0 --deb PACKAGE SOURCE_DIR" >&2
    exit 2
fi
SOURCE=$(cd "$SOURCE" && pwd) || exit 2
if [ -n "$DEB" ]; then
    if [ -d "$DEB" ]; then
        version=$(sed -nE '1s/^dovra \(([^)]*)\).*/\1/p' "$SOURCE/debian/changelog" 2>/dev/null)
        arch=$(dpkg --print-architecture 2>/dev/null)
        DEB=$DEB/dovra_${version}_$arch.deb
    fi
    [ -f "$DEB" ] || skip "no Debian package at $DEB (./build.sh deb makes it)"
    DEB=$(cd "$(dirname "$DEB")" && pwd)/$(basename "$DEB")
    SBIN=/usr/sbin
    CONF=/etc/dovra.conf
    MODE="the Debian package $DEB"
else
    BUILD=$(cd "$BUILD" && pwd) || exit 2
    # The tree's unit names /usr/local's paths; a build for other places (the
    # Debian package's) is checked through its package.
    for setting in CMAKE_INSTALL_PREFIX:PATH=/usr/local DOVRA_CONFIG_PATH:STRING=/usr/local/etc/dovra.conf; do
        grep -qx "$setting" "$BUILD/CMakeCache.txt" 2>/dev/null ||
            skip "$BUILD is not a build for /usr/local (wanted $setting), whose paths the unit names"
    done
    SBIN=/usr/local/sbin
    CONF=/usr/local/etc/dovra.conf
    MODE="cmake --install of $BUILD"
fi

# ---- what this machine must offer ----
[ "$(uname -s)" = Linux ] || skip "systemd runs on Linux only"
[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
# The container's private network starts with its loopback down, and its
# systemd brings it up with no more capabilities than this process has:
# without CAP_NET_ADMIN (bit 12) it cannot, and every check talks over that
# loopback. A container started by systemd-nspawn's defaults lacks it, and
# this is known before anything is installed or made.
caps=$(sed -n 's/^CapEff:[[:space:]]*//p' /proc/self/status)
case $caps in
'' | *[!0-9a-fA-F]*) ;;
*)
    (((0x$caps >> 12) & 1)) ||
        skip "this process lacks CAP_NET_ADMIN, so the container's private network could not bring up its" \
            "loopback (a container within a container?), and every check talks over it"
    ;;
esac

# Installed when we can, never demanded: a machine without them skips.
need_packages=""
command -v systemd-nspawn >/dev/null 2>&1 || need_packages="$need_packages systemd-container"
[ -x "$ROOT/lib/systemd/systemd" ] || command -v debootstrap >/dev/null 2>&1 || need_packages="$need_packages debootstrap"
if [ -n "$need_packages" ]; then
    command -v apt-get >/dev/null 2>&1 || skip "needs$need_packages, and there is no apt-get to install them"
    echo "$NAME: installing$need_packages" >&2
    # shellcheck disable=SC2086
    { DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q $need_packages; } >/dev/null 2>&1 ||
        skip "needs$need_packages, which apt-get could not install"
fi
for tool in systemd-nspawn nsenter; do
    command -v "$tool" >/dev/null 2>&1 || skip "needs $tool"
done

# ---- clean-up: whatever this run made goes, however it ends ----
WORK=""
NSPAWN=""
PID1=""
CGROUPS=""
BUSY=""
ROOT_TMP=""

stop_busy() {
    for pid in $BUSY; do
        kill "$pid" 2>/dev/null
    done
    for pid in $BUSY; do
        wait "$pid" 2>/dev/null
    done
    BUSY=""
}

# Powers the container off and waits for nspawn; one that does not stop is
# killed, its container's process 1 first (that ends the container's PID
# namespace, so nothing of it outlives nspawn).
halt_container() {
    [ -n "$NSPAWN" ] || return 0
    if kill -0 "$NSPAWN" 2>/dev/null && [ -n "$PID1" ]; then
        in_container systemctl --no-block poweroff >/dev/null 2>&1
    fi
    waited=0
    while kill -0 "$NSPAWN" 2>/dev/null && [ "$waited" -lt 300 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$NSPAWN" 2>/dev/null; then
        echo "$NAME: the container did not power off in 30 s; killing it" >&2
        [ -z "$PID1" ] || kill -KILL "$PID1" 2>/dev/null
        sleep 1
        kill -KILL "$NSPAWN" 2>/dev/null
    fi
    wait "$NSPAWN" 2>/dev/null
    NSPAWN=""
    PID1=""
}

remove_cgroups() {
    for cg in $CGROUPS; do
        [ -d "$cg" ] || continue
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null
            [ -d "$cg" ] || break
            sleep 0.2
        done
        [ ! -d "$cg" ] || echo "$NAME: could not remove the control group $cg" >&2
    done
    CGROUPS=""
}

cleanup() {
    stop_busy
    halt_container
    remove_cgroups
    if [ -n "$WORK" ]; then
        # nspawn mounts in a namespace of its own; this only guards against
        # a mount that leaked into ours.
        grep -F " $WORK/" /proc/mounts | cut -d' ' -f2 | sort -r | while read -r m; do
            umount -l "$m"
        done
        rm -rf "$WORK"
    fi
    [ -z "$ROOT_TMP" ] || rm -rf "$ROOT_TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# ---- the cached root ----
# The Debian archive this machine's apt uses for bookworm, else Debian's own.
mirror() {
    [ -z "${DOVRA_SYSTEMD_TEST_MIRROR:-}" ] || { echo "$DOVRA_SYSTEMD_TEST_MIRROR"; return; }
    found=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }')
    if [ -z "$found" ]; then
        found=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
            /^URIs:/ { uri = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") { print uri; exit } }')
    fi
    echo "${found:-http://deb.debian.org/debian}"
}

if [ ! -x "$ROOT/lib/systemd/systemd" ]; then
    command -v debootstrap >/dev/null 2>&1 || skip "no cached root at $ROOT and no debootstrap"
    mkdir -p "$CACHE"
    ROOT_TMP=$(mktemp -d "$CACHE/root.tmp.XXXXXX")
    # mktemp's 0700 would become the container's /, which its services'
    # users (messagebus, ...) could not enter: D-Bus would never start.
    chmod 755 "$ROOT_TMP"
    url=$(mirror)
    echo "$NAME: making the container's root with debootstrap from $url (about a minute)" >&2
    if ! debootstrap --variant=minbase --include="$PACKAGES" bookworm "$ROOT_TMP" "$url" \
        >"$ROOT_TMP.log" 2>&1; then
        tail -n 5 "$ROOT_TMP.log" >&2
        rm -f "$ROOT_TMP.log"
        skip "debootstrap could not make a Debian 12 root from $url (no network?), and none is cached at $ROOT"
    fi
    rm -f "$ROOT_TMP.log"
    # Renamed only when whole, so that a half-made root is never booted.
    mv -T "$ROOT_TMP" "$ROOT" 2>/dev/null || rm -rf "$ROOT_TMP"
    ROOT_TMP=""
fi

# What a run killed outright (SIGKILL, no trap) left: its copy and its
# control groups, named after its pid, once that pid is gone and the groups
# hold no process.
alive() { case $1 in '' | *[!0-9]*) return 1 ;; esac; kill -0 "$1" 2>/dev/null; }
for stale in /sys/fs/cgroup/$NAME-* /sys/fs/cgroup/*/$NAME-*; do
    [ -d "$stale" ] && ! alive "${stale##*-}" || continue
    [ -z "$(find "$stale" -name cgroup.procs -exec cat {} + 2>/dev/null)" ] &&
        find "$stale" -depth -type d -exec rmdir {} + 2>/dev/null
done
for stale in "$CACHE"/run.*.*; do
    owner=$(basename "$stale" | cut -d. -f2)
    [ -d "$stale" ] && ! alive "$owner" || continue
    find /sys/fs/cgroup -maxdepth 2 -name "$NAME-$owner" | grep -q . || rm -rf "$stale"
done

START_TIME=$SECONDS
WORK=$(mktemp -d "$CACHE/run.$$.XXXXXX")
COPY=$WORK/root
cp -a "$ROOT" "$COPY" || { echo "$NAME: cannot copy $ROOT" >&2; exit 1; }
chmod 755 "$COPY"

# nspawn puts the container below the control group it is started from:
# one of its own under each systemd hierarchy this machine mounts (the named
# v1 one and the unified one of a hybrid layout, or the v2 root alone), or
# it would write at the root of the hierarchy.
make_cgroups() {
    CGROUPS=""
    if [ -f /sys/fs/cgroup/cgroup.procs ]; then
        bases=/sys/fs/cgroup
    else
        bases=""
        for b in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
            [ -f "$b/cgroup.procs" ] && bases="$bases $b"
        done
    fi
    [ -n "$bases" ] || return 1
    for b in $bases; do
        cg="$b/$NAME-$$"
        mkdir "$cg" 2>/dev/null || return 1
        CGROUPS="$CGROUPS $cg"
    done
}

# ---- running things in the container ----
in_container() {
    env -i PATH="$CONTAINER_PATH" LANG=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 \
        nsenter -t "$PID1" -a "$@"
}

# Boots the copy and waits until its systemd has finished starting.
boot() {
    make_cgroups || skip "cannot make a control group of our own under /sys/fs/cgroup"
    (
        for cg in $CGROUPS; do
            echo "$BASHPID" >"$cg/cgroup.procs" || exit 99
        done
        exec systemd-nspawn -D "$COPY" --boot --private-network --register=no --keep-unit \
            --quiet --console=read-only
    ) >>"$WORK/nspawn.log" 2>&1 </dev/null &
    NSPAWN=$!
    for _ in $(seq 100); do
        PID1=$(cut -d' ' -f1 "/proc/$NSPAWN/task/$NSPAWN/children" 2>/dev/null)
        [ -n "$PID1" ] && [ "$(cat "/proc/$PID1/comm" 2>/dev/null)" = systemd ] && break
        PID1=""
        kill -0 "$NSPAWN" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$PID1" ]; then
        wait "$NSPAWN"
        code=$?
        NSPAWN=""
        tail -n 20 "$WORK/nspawn.log" >&2
        [ "$code" -ne 99 ] || skip "cannot enter our own control group"
        skip "systemd-nspawn could not boot the container here (status $code)"
    fi
    local state="" end=$((SECONDS + 90))
    while [ "$SECONDS" -lt "$end" ]; do
        state=$(in_container timeout 5 systemctl is-system-running --wait 2>/dev/null)
        case $state in
        running | degraded)
            loopback_works || skip "the container's loopback does not carry a connection to 127.0.0.1" \
                "($(in_container ip -brief address show lo 2>&1 | tr -s ' ' | head -n 1)): its private network cannot be" \
                "set up here (a container within a container?), and every check talks over it"
            return 0
            ;;
        esac
        sleep 0.5
    done
    echo "$NAME: the container did not finish booting in 90 s (state: $state); its jobs and failures:" >&2
    in_container systemctl list-jobs --no-pager >&2
    in_container journalctl -b -p warning --no-pager -n 20 >&2
    exit 1
}

# Whether a TCP connection to 127.0.0.1 in the container is made.
loopback_works() {
    in_container timeout 10 python3 -c '
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
socket.create_connection(s.getsockname(), timeout=5).close()' >/dev/null 2>&1
}

# Runs the peer helper in the container as a transient service, so that its
# processes belong to the container and end with it.
peer_unit() {
    local unit=$1
    shift
    in_container systemd-run --quiet --unit="$unit" -p CollectMode=inactive-or-failed \
        /usr/bin/python3 /opt/dovra-test/peer.py "$@"
}

# ---- the unit's state ----
prop() { in_container systemctl show -p "$1" --value dovra; }
main_pid() { prop MainPID; }
# The pids of every process named dovra in the container.
dovra_pids() { in_container pgrep -x dovra | tr '\n' ' ' | sed 's/ $//'; }
# The pid of the process listening on the port, or nothing.
listener_pid() {
    in_container ss -Htlnp "sport = :$1" | sed -n 's/.*pid=\([0-9]*\),.*/\1/p' | head -n 1
}

# Waits up to SECONDS for the command to succeed.
wait_until() {
    local end=$((SECONDS + $1))
    shift
    while ! "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# Why the running unit is not what a good start leaves, or nothing: active,
# its main process the daemon (parent the service manager, listening on the
# port), not the session leader between launcher and daemon.
start_fault() {
    local port=${1:-$PORT} state main listener ppid
    state=$(prop ActiveState)
    [ "$state" = active ] || { echo "unit $state ($(prop Result))"; return; }
    main=$(main_pid)
    [ "$main" -gt 0 ] 2>/dev/null || { echo "no main process"; return; }
    listener=$(listener_pid "$port")
    [ -n "$listener" ] || { echo "nothing listens on $port"; return; }
    [ "$listener" = "$main" ] || { echo "main process $main is not the listener $listener"; return; }
    ppid=$(in_container awk '/^PPid:/ { print $2 }' "/proc/$main/status")
    [ "$ppid" = 1 ] || echo "main process $main is a child of $ppid"
}

# The journal from a mark on: mark_journal, then journal_since [ARGS]. The
# mark is a line of our own and the reading starts at it (--cursor): with a
# filter, journalctl 252's --after-cursor skips the first entry that matches.
MARK=""
MARKS=0
mark_journal() {
    MARKS=$((MARKS + 1))
    in_container logger -t dovra-test-mark "mark $MARKS"
    wait_until 5 mark_seen "mark $MARKS" || MARK=""
}
mark_seen() {
    local out
    out=$(in_container journalctl -q -n 1 -t dovra-test-mark -o cat --show-cursor)
    [ "$(echo "$out" | head -n 1)" = "$1" ] || return 1
    MARK=$(echo "$out" | sed -n 's/^-- cursor: //p')
}
journal_since() {
    in_container journalctl -q --no-pager ${MARK:+--cursor="$MARK"} "$@"
}
journal_match() { journal_since -u dovra -o cat | grep -Eq -- "$1"; }
journal_has() { wait_until "$1" journal_match "$2"; }

FAILED=0
CHECKED=0
# result NAME PASSED TOTAL [DETAIL]: one summary line per check.
result() {
    CHECKED=$((CHECKED + 1))
    if [ "$2" -eq "$3" ]; then
        printf 'PASS  %s: %s of %s%s\n' "$1" "$2" "$3" "${4:+; $4}"
    else
        printf 'FAIL  %s: %s of %s%s\n' "$1" "$2" "$3" "${4:+; $4}"
        FAILED=$((FAILED + 1))
    fi
}

# Rounds of one check: round LABEL FAULT counts a round that found no fault
# and keeps the faults of the others; rounds_result TEXT ROUNDS prints the
# check's line and the first five faults.
round() {
    if [ -z "$2" ]; then
        ok=$((ok + 1))
    else
        faults="$faults
      $1: $2"
    fi
}
rounds_result() {
    result "$1" "$ok" "$2"
    [ -z "$faults" ] || echo "$faults" | sed -n '2,6p'
}
note() { printf 'NOTE  %s\n' "$*"; }

write_config() {
    printf 'localport %s\nserverport %s\nmaxclients 16\nserver 127.0.0.2\nserver 127.0.0.3\n' \
        "${1:-$PORT}" "$BACKEND_PORT" | in_container tee "$CONF" >/dev/null
    in_container chmod 644 "$CONF"
}

# Each start clears the unit's failed state and start count first, as an
# operator does after a fix: the unit's start limit (five in a minute) would
# otherwise refuse the checks' many starts.
start_unit() {
    in_container systemctl reset-failed dovra 2>/dev/null
    in_container systemctl start dovra 2>/dev/null
}

stop_unit() {
    in_container systemctl stop dovra 2>/dev/null
    in_container systemctl reset-failed dovra 2>/dev/null
}

# ---- the checks ----

# STARTS starts in a row, each checked half a second after systemctl start
# returned, then stopped. Counts the good ones; prints the first few faults.
check_starts() {
    label=$1
    ok=0
    faults=""
    for i in $(seq "$STARTS"); do
        start_unit
        sleep 0.5
        fault=$(start_fault)
        in_container systemctl stop dovra 2>/dev/null
        left=$(dovra_pids)
        [ -z "$left" ] || fault="${fault:+$fault; }dovra left after stop: $left"
        round "start $i" "$fault"
    done
    rounds_result "starts that stay active with the daemon as main process listening ($label)" "$STARTS"
}

check_unit_files() {
    if out=$(in_container systemd-analyze verify --man=no dovra.service 2>&1) && [ -z "$out" ]; then
        result "systemd-analyze verify" 1 1 "no complaint"
    else
        result "systemd-analyze verify" 0 1 "$out"
    fi
    line=$(in_container systemd-analyze security dovra 2>/dev/null | grep 'Overall exposure level')
    level=$(echo "$line" | sed -n 's/.*: \([0-9.]*\) .*/\1/p')
    if [ -n "$level" ] && awk "BEGIN { exit !($level <= 1.5) }"; then
        result "exposure of systemd-analyze security dovra at most 1.5" 1 1 "${line#*→ }"
    else
        result "exposure of systemd-analyze security dovra at most 1.5" 0 1 "${line:-no score}"
    fi
    note "not enforced inside a container, so not checked here: KeyringMode= (no keyring namespace), DevicePolicy= (the devices controller is not delegated), TasksMax= (the pids controller is not delegated)"
}

# The running daemon's and its workers' credentials (sessions held open so
# that workers exist): a dynamic user named dovra, CAP_NET_BIND_SERVICE as
# the only capability, no new privileges, a seccomp filter.
check_credentials() {
    start_unit
    hold_sessions cred 2 || true
    main=$(main_pid)
    pids="$main $(in_container pgrep -P "$main" | tr '\n' ' ')"
    total=0
    ok=0
    faults=""
    for pid in $pids; do
        total=$((total + 1))
        status=$(in_container cat "/proc/$pid/status")
        uid=$(echo "$status" | awk '/^Uid:/ { print $2 }')
        user=$(in_container getent passwd "$uid" | cut -d: -f1)
        fault=""
        [ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] && [ "$user" = dovra ] ||
            fault="user $user ($uid), not a dynamic user dovra;"
        for field in CapEff CapBnd CapAmb; do
            value=$(echo "$status" | awk -v f="$field:" '$1 == f { print $2 }')
            [ "$value" = 0000000000000400 ] || fault="$fault $field $value;"
        done
        value=$(echo "$status" | awk '$1 == "NoNewPrivs:" { print $2 }')
        [ "$value" = 1 ] || fault="$fault NoNewPrivs $value;"
        value=$(echo "$status" | awk '$1 == "Seccomp:" { print $2 }')
        [ "$value" = 2 ] || fault="$fault Seccomp $value;"
        value=$(echo "$status" | awk '$1 == "Umask:" { print $2 }')
        [ "$value" = 0077 ] || fault="$fault umask $value;"
        value=$(in_container awk '/^Max open files/ { print $4 "/" $5 }' "/proc/$pid/limits")
        [ "$value" = 64/64 ] || fault="$fault descriptor limit $value;"
        [ "$(in_container readlink "/proc/$pid/ns/ipc")" != "$(in_container readlink /proc/1/ns/ipc)" ] ||
            fault="$fault the system's IPC namespace;"
        value=$(in_container awk '$5 == "/" { print substr($6, 1, 2) }' "/proc/$pid/mountinfo")
        [ "$value" = ro ] || fault="$fault / mounted $value;"
        if [ -z "$fault" ]; then
            ok=$((ok + 1))
        else
            faults="$faults
      pid $pid: $fault"
        fi
    done
    exe=$(in_container readlink "/proc/$main/exe")
    [ "$exe" = "$SBIN/dovra" ] || faults="$faults
      the daemon runs $exe, not $SBIN/dovra"
    [ "$total" -ge 3 ] || faults="$faults
      only $total processes (daemon and workers) to look at"
    result "daemon and workers: dynamic user dovra, only cap_net_bind_service (CapEff, CapBnd, CapAmb), NoNewPrivs 1, Seccomp 2, umask 0077, 64 descriptors, own IPC namespace, / read-only" \
        "$ok" "$(( total < 3 ? 3 : total ))" "uid $uid"
    [ -z "$faults" ] || echo "$faults" | sed 1d
    stop_unit
    release_sessions cred
}

# hold_sessions NAME COUNT: COUNT sessions through dovra, held open by a
# helper until the relay closes them.
hold_sessions() {
    in_container rm -f "/run/dovra-test-$1"
    peer_unit "dovra-test-hold-$1" hold 127.0.0.1 "$PORT" "$2" 30 "/run/dovra-test-$1"
    wait_until 5 state_is "$1" "held $2"
}
state_is() { in_container grep -qx "$2" "/run/dovra-test-$1" 2>/dev/null; }
# sessions_closed NAME COUNT: the helper saw all COUNT closed by the relay.
sessions_closed() {
    wait_until 5 state_is "$1" "closed $2"
}
release_sessions() {
    in_container systemctl stop "dovra-test-hold-$1" 2>/dev/null
    in_container rm -f "/run/dovra-test-$1"
}

check_relay() {
    start_unit
    if out=$(in_container timeout 120 /usr/bin/python3 /opt/dovra-test/peer.py relay \
        127.0.0.1 "$PORT" 4 2 /run/dovra-test-received 2>&1); then
        result "relay through the unit, every byte compared by SHA-256 both ways" 1 1 "$(echo "$out" | tail -n 1)"
    else
        result "relay through the unit, every byte compared by SHA-256 both ways" 0 1 "$(echo "$out" | tail -n 3 | tr '\n' ' ')"
    fi
    stop_unit
}

# One session over IPv6 through the unit, which must allow AF_INET6: the
# daemon alone on [::1]:PORT (as ss shows it), relaying to a backend on ::1,
# every byte compared. Skipped, with the reason, where the container's
# loopback has no IPv6.
check_ipv6_relay() {
    name="relay over IPv6 through the unit: localaddress ::1, server ::1, every byte compared by SHA-256 both ways"
    if ! why=$(in_container /usr/bin/python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>&1); then
        note "SKIP $name: no IPv6 on the container's loopback: $(echo "$why" | tail -n 1)"
        return
    fi
    peer_unit dovra-test-backend6 backend /run/dovra-test-received6 ::1 "$BACKEND_PORT"
    printf 'localaddress ::1\nlocalport %s\nserverport %s\nmaxclients 16\nserver ::1\n' "$PORT" "$BACKEND_PORT" |
        in_container tee "$CONF" >/dev/null
    fault=""
    if wait_until 5 listening_at "[::1]:$BACKEND_PORT" "$BACKEND_PORT"; then
        start_unit
        fault=$(start_fault)
        at=$(in_container ss -Htln "sport = :$PORT" | awk '{ print $4 }' | tr '\n' ' ')
        [ "$at" = "[::1]:$PORT " ] || fault="${fault:+$fault; }listening at: ${at:-nothing}"
        out=$(in_container timeout 60 /usr/bin/python3 /opt/dovra-test/peer.py relay \
            ::1 "$PORT" 1 2 /run/dovra-test-received6 2>&1) || fault="${fault:+$fault; }$(echo "$out" | tail -n 3 | tr '\n' ' ')"
    else
        fault="the IPv6 test backend did not start"
    fi
    if [ -z "$fault" ]; then
        result "$name" 1 1 "$(echo "$out" | tail -n 1)"
    else
        result "$name" 0 1 "$fault"
    fi
    stop_unit
    in_container systemctl stop dovra-test-backend6 2>/dev/null
    write_config
}
# listening_at ADDRESS:PORT PORT: something listens there, as ss shows it.
listening_at() { in_container ss -Htln "sport = :$2" | awk '{ print $4 }' | grep -qxF "$1"; }

# With every backend refusing, a worker says so in the journal.
check_worker_lines() {
    start_unit
    in_container systemctl stop dovra-test-backend 2>/dev/null
    mark_journal
    main=$(main_pid)
    in_container timeout 10 /usr/bin/python3 /opt/dovra-test/peer.py knock 127.0.0.1 "$PORT" 2>/dev/null
    if wait_until 5 worker_line_logged "$main"; then
        result "a worker's line in the journal" 1 1 "\"All the servers are down: Connection refused\""
    else
        result "a worker's line in the journal" 0 1 "none; the unit's journal: $(journal_since -u dovra -o cat | tail -n 3 | tr '\n' ' ')"
    fi
    start_backend
    stop_unit
}

# A line of a worker, not of the daemon MAIN.
worker_line_logged() {
    journal_since -u dovra -o short |
        grep -E "dovra\[[0-9]+\]: All the servers are down: Connection refused" | grep -vq "dovra\[$1\]:"
}

listening() { [ -n "$(listener_pid "$1")" ]; }

start_backend() {
    peer_unit dovra-test-backend backend /run/dovra-test-received \
        127.0.0.2 "$BACKEND_PORT" 127.0.0.3 "$BACKEND_PORT"
    wait_until 5 listening "$BACKEND_PORT"
}

# Restart, then stop, with sessions open: the daemon is replaced, every
# worker of the old one ends (its sessions closed), nothing is left after a
# stop.
check_restart_stop() {
    rounds=10
    ok=0
    faults=""
    for i in $(seq "$rounds"); do
        start_unit
        fault=""
        hold_sessions restart 2 || fault="sessions not held;"
        old=$(main_pid)
        in_container systemctl reset-failed dovra 2>/dev/null
        in_container systemctl restart dovra 2>/dev/null || fault="$fault systemctl restart failed;"
        sleep 0.5
        why=$(start_fault)
        [ -z "$why" ] || fault="$fault $why;"
        new=$(main_pid)
        [ "$new" != "$old" ] || fault="$fault main process unchanged;"
        sessions_closed restart 2 || fault="$fault old sessions still open: $(in_container cat /run/dovra-test-restart | tr '\n' ' ');"
        left=$(dovra_pids)
        [ "$left" = "$new" ] || fault="$fault dovra processes $left besides the daemon $new;"
        release_sessions restart
        stop_unit
        round "restart $i" "$fault"
    done
    rounds_result "restart with sessions open: active, new daemon listening, old workers gone" "$rounds"

    rounds=5
    ok=0
    faults=""
    for i in $(seq "$rounds"); do
        start_unit
        fault=""
        hold_sessions stop 3 || fault="sessions not held;"
        in_container systemctl stop dovra 2>/dev/null || fault="$fault systemctl stop failed;"
        state=$(prop ActiveState)
        [ "$state" = inactive ] || fault="$fault unit $state;"
        left=$(dovra_pids)
        [ -z "$left" ] || fault="$fault dovra processes left: $left;"
        sessions_closed stop 3 || fault="$fault sessions still open;"
        release_sessions stop
        stop_unit
        round "stop $i" "$fault"
    done
    rounds_result "stop with sessions open: inactive, no dovra process left, every session closed" "$rounds"
}

# systemctl reload, three times, with two sessions held open and a bounded
# load of clients running through the reloads (30 runs of two relayed
# sessions, every byte compared): each reload passes the checker and the
# daemon's new image says so in the journal, the unit stays active under the
# same main process, the held sessions stay open, and no client of the load
# is refused, reset or short.
reloads_seen() { [ "$(journal_since -u dovra -o cat | grep -Ec '^Reloaded: dovra [0-9.]+ runs, [0-9]+ sessions? carried over$')" -ge "$1" ]; }
check_reload() {
    local name="systemctl reload with sessions open and clients running: same main process, sessions kept, every client relayed exactly"
    local fault="" old load n why
    start_unit
    hold_sessions reload 2 || fault="sessions not held;"
    old=$(main_pid)
    mark_journal
    in_container rm -f /run/dovra-test-load
    in_container timeout 120 sh -c 'for n in $(seq 30); do
        /usr/bin/python3 /opt/dovra-test/peer.py relay 127.0.0.1 '"$PORT"' 2 1 /run/dovra-test-received \
            >/run/dovra-test-load.out 2>&1 || { echo "run $n failed: $(tail -n 1 /run/dovra-test-load.out)" >/run/dovra-test-load; exit 1; }
        done; echo done >/run/dovra-test-load' &
    load=$!
    for n in 1 2 3; do
        sleep 0.5
        in_container systemctl reload dovra 2>/dev/null || fault="$fault reload $n failed;"
        wait_until 10 reloads_seen "$n" || fault="$fault no line of reload $n in the journal;"
        [ "$(main_pid)" = "$old" ] || fault="$fault main process $old replaced by $(main_pid) at reload $n;"
    done
    wait "$load"
    [ "$(in_container cat /run/dovra-test-load 2>/dev/null)" = "done" ] ||
        fault="$fault load: $(in_container cat /run/dovra-test-load 2>/dev/null || echo "did not end in 120 s");"
    why=$(start_fault)
    [ -z "$why" ] || fault="$fault $why;"
    state_is reload "held 2" || fault="$fault held sessions: $(in_container cat /run/dovra-test-reload | tr '\n' ' ');"
    release_sessions reload
    in_container rm -f /run/dovra-test-load /run/dovra-test-load.out
    stop_unit
    if [ -z "$fault" ]; then
        result "$name" 1 1 "3 reloads"
    else
        result "$name" 0 1 "$fault"
    fi
}

# localport 80: served with the unit's capability, refused without it (a
# drop-in that empties AmbientCapabilities=).
check_low_port() {
    unprivileged=$(in_container cat /proc/sys/net/ipv4/ip_unprivileged_port_start)
    write_config "$LOW_PORT"
    start_unit
    sleep 0.5
    fault=$(start_fault "$LOW_PORT")
    stop_unit
    if [ -z "$fault" ]; then
        result "port $LOW_PORT served with CAP_NET_BIND_SERVICE" 1 1
    else
        result "port $LOW_PORT served with CAP_NET_BIND_SERVICE" 0 1 "$fault"
    fi
    if [ "$unprivileged" -le "$LOW_PORT" ]; then
        note "ip_unprivileged_port_start is $unprivileged in the container: anyone may bind $LOW_PORT, the refusal is not checked"
    else
        in_container mkdir -p /etc/systemd/system/dovra.service.d
        printf '[Service]\nAmbientCapabilities=\n' |
            in_container tee /etc/systemd/system/dovra.service.d/no-capability.conf >/dev/null
        in_container systemctl daemon-reload
        mark_journal
        start_unit
        if journal_has 5 '^Error creating listenning socket: Permission denied$'; then
            result "port $LOW_PORT refused without the capability" 1 1 "\"Error creating listenning socket: Permission denied\" in the journal"
        else
            result "port $LOW_PORT refused without the capability" 0 1 "no such line; the unit's journal: $(journal_since -u dovra -o cat | tail -n 3 | tr '\n' ' ')"
        fi
        stop_unit
        in_container rm -r /etc/systemd/system/dovra.service.d
        in_container systemctl daemon-reload
    fi
    write_config
}

result_is() { [ "$(prop Result)" = "$1" ]; }
restarted_and_serving() { [ "$(prop NRestarts)" -ge 1 ] && [ -z "$(start_fault)" ]; }

# Port taken: every start fails the unit (systemctl start says so, the
# result is exit-code) with the daemon's line in the journal; left alone,
# Restart= starts it again, and once the port is free it runs.
check_port_in_use() {
    peer_unit dovra-test-squatter squat "$PORT"
    wait_until 5 listening "$PORT"
    rounds=20
    ok=0
    faults=""
    for i in $(seq "$rounds"); do
        mark_journal
        fault=""
        start_unit && fault="systemctl start succeeded;"
        # The daemon's failure may come after the launcher has returned.
        wait_until 2 result_is exit-code || fault="$fault result $(prop Result), state $(prop ActiveState)/$(prop SubState);"
        journal_has 3 '^Error creating listenning socket: Address already in use$' || fault="$fault no line in the journal;"
        stop_unit
        round "start $i" "$fault"
    done
    rounds_result "port in use: start fails, unit result exit-code, the daemon's line in the journal" "$rounds"

    # Restart= after a failed start: the port is freed once the first start
    # has failed; the restart RestartSec= later must find it free and run.
    start_unit
    in_container systemctl stop dovra-test-squatter 2>/dev/null
    if wait_until 15 restarted_and_serving; then
        result "restarted by Restart= after the failed start, then serving" 1 1 "$(prop NRestarts) restart(s)"
    else
        result "restarted by Restart= after the failed start, then serving" 0 1 "$(prop NRestarts) restart(s); $(start_fault)"
    fi
    stop_unit
}

# A configuration the checker refuses: the unit fails and settles as failed
# within a minute, stays so, with the checker's own line in the journal.
check_refused_config() {
    printf 'localport %s\nserverport %s\nmaxclients 16\n' "$PORT" "$BACKEND_PORT" |
        in_container tee "$CONF" >/dev/null
    mark_journal
    begin=$SECONDS
    start_unit && echo "      systemctl start succeeded"
    settled=""
    while [ $((SECONDS - begin)) -lt 60 ]; do
        if [ "$(prop ActiveState)" = failed ]; then
            settled=$((SECONDS - begin))
            break
        fi
        sleep 0.5
    done
    line=$(journal_since -t dovra-checkconf -o cat | grep -m 1 'Configuration error: undefined servers')
    detail="$(prop NRestarts) restart(s)"
    ok=0
    if [ -z "$settled" ]; then
        detail="not failed after 60 s ($(prop ActiveState)/$(prop SubState)), $detail"
    else
        restarts=$(prop NRestarts)
        # Longer than RestartSec=: a restart still pending would show.
        sleep 11
        if [ "$(prop ActiveState)" = failed ] && [ "$(prop NRestarts)" = "$restarts" ]; then
            ok=1
            detail="failed after ${settled} s and still failed 11 s later, $detail"
        else
            detail="failed after ${settled} s but then $(prop ActiveState), $detail"
        fi
    fi
    if [ -z "$line" ]; then
        ok=0
        detail="$detail; no line of dovra-checkconf in the journal"
    else
        detail="$detail; journal: \"$(echo "$line" | sed 's/^ *//; s/ *$//')\""
    fi
    result "refused configuration: unit failed and settled" "$ok" 1 "$detail"
    stop_unit
    write_config
}

# Enabled, the unit comes up with the container: BOOTS boots.
check_boots() {
    in_container systemctl enable dovra 2>/dev/null
    ok=0
    faults=""
    for i in $(seq "$BOOTS"); do
        halt_container
        remove_cgroups
        boot
        start_backend
        sleep 0.5
        fault=$(start_fault)
        round "boot $i" "$fault"
    done
    rounds_result "enabled, active with the daemon listening after boot" "$BOOTS"
}

# ---- the Debian package ----
# Installed by apt from the file alone (the container has no network): the
# unit is there, neither enabled nor started.
deb_install() {
    local out enabled active fragment conffiles
    if ! out=$(in_container env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        "/opt/dovra-test/$(basename "$DEB")" 2>&1); then
        result "apt-get install of the package" 0 1 "$(echo "$out" | tail -n 3 | tr '\n' ' ')"
        return 1
    fi
    enabled=$(in_container systemctl is-enabled dovra 2>&1)
    active=$(in_container systemctl is-active dovra 2>&1)
    fragment=$(in_container systemctl show -p FragmentPath --value dovra)
    conffiles=$(in_container dpkg-query -W -f '${Conffiles}' dovra | awk '{ print $1 }' | tr '\n' ' ')
    if [ "$fragment" = /lib/systemd/system/dovra.service ] && [ "$enabled" = disabled ] &&
        [ "$active" = inactive ] && [ -z "$(dovra_pids)" ] && [ "$conffiles" = "$CONF " ]; then
        result "apt-get install: unit installed, neither enabled nor active; $CONF a conffile" 1 1 "$fragment"
    else
        result "apt-get install: unit installed, neither enabled nor active; $CONF a conffile" 0 1 \
            "unit ${fragment:-missing}, $enabled, $active, conffiles: $conffiles, dovra processes: $(dovra_pids)"
    fi
}

# Remove stops the service and keeps the configuration; purge leaves no file
# of the package, no enablement link and no user.
deb_remove_purge() {
    local files out fault="" f
    files=$(in_container dpkg-query -L dovra)
    if ! out=$(in_container env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q dovra 2>&1); then
        fault="apt-get remove failed: $(echo "$out" | tail -n 2 | tr '\n' ' ');"
    fi
    [ -z "$(dovra_pids)" ] || fault="$fault dovra processes left: $(dovra_pids);"
    [ "$(in_container systemctl is-active dovra 2>/dev/null)" != active ] || fault="$fault unit still active;"
    in_container test -f "$CONF" || fault="$fault $CONF gone;"
    [ "$(in_container dpkg-query -W -f '${db:Status-Abbrev}' dovra 2>/dev/null)" = "rc " ] ||
        fault="$fault status $(in_container dpkg-query -W -f '${db:Status-Abbrev}' dovra 2>&1);"
    if [ -z "$fault" ]; then
        result "apt-get remove: service stopped, no dovra process, $CONF kept" 1 1
    else
        result "apt-get remove: service stopped, no dovra process, $CONF kept" 0 1 "$fault"
    fi

    fault=""
    if ! out=$(in_container env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q dovra 2>&1); then
        fault="apt-get purge failed: $(echo "$out" | tail -n 2 | tr '\n' ' ');"
    fi
    ! in_container test -e "$CONF" || fault="$fault $CONF left;"
    [ -z "$(in_container dpkg-query -L dovra 2>/dev/null)" ] || fault="$fault dpkg-query -L still lists files;"
    for f in $files; do
        # Directories the package shares with the system stay.
        if in_container test -d "$f"; then
            case $f in *dovra*) fault="$fault $f left;" ;; esac
        elif in_container test -e "$f"; then
            fault="$fault $f left;"
        fi
    done
    ! in_container test -e /etc/systemd/system/multi-user.target.wants/dovra.service ||
        fault="$fault enablement link left;"
    [ -z "$(in_container getent passwd dovra)" ] || fault="$fault user dovra left;"
    [ -z "$(in_container getent group dovra)" ] || fault="$fault group dovra left;"
    [ -z "$(dovra_pids)" ] || fault="$fault dovra processes left;"
    if [ -z "$fault" ]; then
        result "apt-get purge: no file, configuration, link, user or process of the package left" 1 1 \
            "$(echo "$files" | wc -l) paths checked"
    else
        result "apt-get purge: no file, configuration, link, user or process of the package left" 0 1 "$fault"
    fi
}

# apt upgrades the package to a higher version, the same package repacked as
# VERSION+reload1 (dpkg still replaces /usr/sbin/dovra with a new file), while
# the service runs with two sessions open: the upgrade reloads the service
# rather than restarting it, so the main process stays, runs the new file
# (its /proc/PID/exe is /usr/sbin/dovra, not a deleted one), the sessions stay
# open, and the journal has the reload's line.
check_deb_upgrade() {
    local name="apt upgrade to a higher version with sessions open: reloaded, the same main process runs the new file, sessions kept"
    local fault="" version old exe out why
    if ! command -v dpkg-deb >/dev/null 2>&1; then
        note "SKIP $name: dpkg-deb is not installed here"
        return
    fi
    version=$(dpkg-deb -f "$DEB" Version)
    if ! dpkg-deb -R "$DEB" "$WORK/upgrade" ||
        ! sed -i "s/^Version: .*/Version: $version+reload1/" "$WORK/upgrade/DEBIAN/control" ||
        ! dpkg-deb -b --root-owner-group "$WORK/upgrade" "$COPY/opt/dovra-test/dovra-upgrade.deb" >/dev/null; then
        result "$name" 0 1 "the package could not be repacked as $version+reload1"
        return
    fi
    start_unit
    hold_sessions upgrade 2 || fault="sessions not held;"
    old=$(main_pid)
    mark_journal
    if ! out=$(in_container env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        /opt/dovra-test/dovra-upgrade.deb 2>&1); then
        fault="$fault apt-get install failed: $(echo "$out" | tail -n 2 | tr '\n' ' ');"
    fi
    [ "$(in_container dpkg-query -W -f '${Version}' dovra)" = "$version+reload1" ] || fault="$fault version not upgraded;"
    wait_until 10 reloads_seen 1 || fault="$fault no reload line in the journal;"
    why=$(start_fault)
    [ -z "$why" ] || fault="$fault $why;"
    [ "$(main_pid)" = "$old" ] || fault="$fault main process $old replaced by $(main_pid);"
    exe=$(in_container readlink "/proc/$old/exe")
    [ "$exe" = /usr/sbin/dovra ] || fault="$fault the daemon runs ${exe:-nothing};"
    state_is upgrade "held 2" || fault="$fault held sessions: $(in_container cat /run/dovra-test-upgrade | tr '\n' ' ');"
    release_sessions upgrade
    stop_unit
    if [ -z "$fault" ]; then
        result "$name" 1 1 "$version to $version+reload1"
    else
        result "$name" 0 1 "$fault"
    fi
}

check_idle_starts() { check_starts idle; }

with_busy_cpus() {
    cpus=$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)
    for _ in $(seq "$cpus"); do
        # Bounded on its own too, should this script be killed outright.
        (end=$((SECONDS + 300)); while [ "$SECONDS" -lt "$end" ]; do :; done) &
        BUSY="$BUSY $!"
    done
    "$@"
    stop_busy
}

# ---- install ----
echo "$NAME: $MODE, Debian 12 $(chroot "$COPY" dpkg-query -W -f '${Version}' systemd 2>/dev/null | sed 's/^/systemd /')"
mkdir -p "$COPY/opt/dovra-test"
cp "$SOURCE/tests/service/peer.py" "$COPY/opt/dovra-test/peer.py"
if [ -z "$DEB" ]; then
    DESTDIR=$COPY "${CMAKE:-cmake}" --install "$BUILD" --prefix /usr/local >/dev/null || {
        echo "$NAME: cmake --install failed" >&2
        exit 1
    }
    cp "$SOURCE/packaging/systemd/dovra.service" "$COPY/etc/systemd/system/dovra.service"
    mkdir -p "$COPY/usr/local/etc"
else
    cp "$DEB" "$COPY/opt/dovra-test/"
fi

boot

if [ -n "$DEB" ]; then
    deb_install || exit 1
fi
write_config
in_container systemctl daemon-reload
start_backend || { echo "$NAME: the test backend did not start" >&2; exit 1; }

check_busy_starts() {
    with_busy_cpus check_starts "a busy loop on each of $(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2) CPUs"
}
CHECKS="check_unit_files check_idle_starts check_busy_starts check_credentials check_relay check_ipv6_relay
    check_worker_lines check_restart_stop check_reload check_low_port check_port_in_use check_refused_config check_boots"
# A subset, to look into one check: DOVRA_SYSTEMD_TEST_ONLY="check_relay ...".
for check in ${DOVRA_SYSTEMD_TEST_ONLY:-$CHECKS}; do
    "$check"
done
if [ -n "$DEB" ]; then
    check_deb_upgrade
    deb_remove_purge
fi

echo "$NAME: $CHECKED checks, $FAILED failed, $((SECONDS - START_TIME)) s"
[ "$FAILED" -eq 0 ] || exit 1
exit 0
