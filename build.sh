#!/bin/sh
# Builds, tests, installs, starts, stops and packages dovra.
# Usage: ./build.sh run|stop|test|install|build|bench|deb
# Needs cmake, a C++20 compiler, make or ninja, and GoogleTest; as root the
# missing ones are installed with apt-get on Debian or pkg on FreeBSD,
# otherwise the line to run is shown.
#
#   run     builds what it starts, installs the sample configuration where
#           the daemon reads its file and there is none, starts demo backends
#           where that file names loopback servers and none of its servers
#           answers, starts the daemon, and prints how to try it and how to
#           stop it; where dovra does not start, it says why, ends what it
#           started and exits with status 1
#   stop    ends the daemon run started, with its workers, and the demo
#           backends, found by the ports they listen on; nothing else
#
# Settings (environment):
#   BUILD_DIR           the build directory (build)
#   DOVRA_SANITIZE_PASS 0 skips test's sanitizer and fuzzing pass
#   SANITIZE_BUILD_DIR  that pass's build directory (BUILD_DIR-sanitize)
#   FUZZ_SECONDS        how long each fuzz target runs (30)
#   DOVRA_RUN_DIR       for run and stop: a directory holding a daemon already
#                       built, "dovra", that reads "dovra.conf" from its working
#                       directory, and that file; run starts it there, without
#                       building, and stop looks on that file's ports. The
#                       test suite runs both this way, on ports of its own.
set -eu

cd "$(dirname "$0")"
BUILD_DIR=${BUILD_DIR:-build}
SYSTEM=$(uname -s)

# FreeBSD's base system has the compiler, make and mandoc.
if [ "$SYSTEM" = FreeBSD ]; then
    PACKAGES="cmake googletest"
    GTEST_PACKAGE=googletest
else
    PACKAGES="cmake g++ make libgtest-dev mandoc"
    GTEST_PACKAGE=libgtest-dev
fi

# The command that installs the packages named, as the system spells it.
install_command() {
    if [ "$SYSTEM" = FreeBSD ]; then
        echo "pkg install -y $*"
    else
        echo "apt-get install -y $*"
    fi
}

install_packages() {
    echo "Installing: $*" >&2
    if [ "$SYSTEM" = FreeBSD ]; then
        # ASSUME_ALWAYS_YES also lets pkg bootstrap itself on a new system.
        ASSUME_ALWAYS_YES=yes pkg install -y -q "$@" >/dev/null
    else
        DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
    fi
}

missing_packages() {
    missing=""
    command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
    command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing="$missing g++"
    command -v make >/dev/null 2>&1 || command -v ninja >/dev/null 2>&1 || missing="$missing make"
    [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] || missing="$missing $GTEST_PACKAGE"
    # mandoc only lints the manuals: installed when we can, never demanded.
    [ "$(id -u)" -ne 0 ] || command -v mandoc >/dev/null 2>&1 || missing="$missing mandoc"
    echo "$missing"
}

ensure_tools() {
    missing=$(missing_packages)
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "dovra needs:$missing. Install them with:" >&2
        echo "  sudo $(install_command "$PACKAGES")" >&2
        exit 1
    fi
    # shellcheck disable=SC2086
    install_packages $PACKAGES
}

jobs() { getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2; }

# The test command's second pass needs clang with its sanitizer and libFuzzer
# runtimes: the test is whether a fuzz target links.
clang_ready() {
    command -v clang++ >/dev/null 2>&1 || return 1
    probe=$(mktemp -d)
    echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' >"$probe/f.cpp"
    ok=0
    clang++ -fsanitize=fuzzer,address,undefined "$probe/f.cpp" -o "$probe/f" >/dev/null 2>&1 || ok=1
    rm -rf "$probe"
    return $ok
}

ensure_clang() {
    clang_ready && return 0
    if [ "$SYSTEM" = FreeBSD ]; then
        # The base system's clang has these runtimes; pkg's compilers are
        # named clang++NN, so nothing here would pick one up.
        echo "The sanitizer and fuzzing pass needs clang++ with its sanitizer and libFuzzer runtimes." >&2
        echo "Skip that pass with DOVRA_SANITIZE_PASS=0 $0 test" >&2
        exit 1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "The sanitizer and fuzzing pass needs clang. Install it with:" >&2
        echo "  sudo apt-get install -y clang libclang-rt-dev" >&2
        echo "or skip that pass with DOVRA_SANITIZE_PASS=0 $0 test" >&2
        exit 1
    fi
    install_packages clang libclang-rt-dev
}

# FreeBSD's lo0 answers 127.0.0.1 alone, and binding another loopback address
# fails until it is an alias there. The tests' backends listen on 127.0.0.2
# and up, one for each of the ten servers a configuration may name. Only the
# aliases added here are removed, when this script exits.
TEST_ALIASES=""

# Adds address $2 to lo0 as root, or says what $1 need and exits. Returns 1
# when the address was there already.
lo0_alias() {
    ifconfig lo0 | grep -q "inet $(echo "$2" | sed 's/\./\\./g') " && return 1
    if [ "$(id -u)" -ne 0 ]; then
        echo "$1 need $2 on lo0. Run as root, or add it with:" >&2
        echo "  sudo ifconfig lo0 inet $2/32 alias" >&2
        exit 1
    fi
    ifconfig lo0 inet "$2/32" alias
}

remove_test_addresses() {
    for n in $TEST_ALIASES; do
        ifconfig lo0 inet "127.0.0.$n" -alias || true
    done
    TEST_ALIASES=""
}

add_test_addresses() {
    [ "$SYSTEM" = FreeBSD ] || return 0
    trap remove_test_addresses EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    n=2
    while [ "$n" -le 11 ]; do
        if lo0_alias "The tests" "127.0.0.$n"; then
            TEST_ALIASES="$TEST_ALIASES $n"
        fi
        n=$((n + 1))
    done
}

configure() {
    generator=""
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
        generator="-G Ninja"
    fi
    # shellcheck disable=SC2086
    cmake -S . -B "$BUILD_DIR" $generator "$@" >/dev/null
}

build() {
    ensure_tools
    configure "$@"
    cmake --build "$BUILD_DIR" -j "$(jobs)"
}

config_path() {
    sed -n 's/^DOVRA_CONFIG_PATH:STRING=//p' "$BUILD_DIR/CMakeCache.txt"
}

# Runs the suite in BUILD_DIR, one test per CPU. A test that fails fails the
# suite: a test that fails only beside others has found a race, in dovra or
# in the test, and running it again alone would hide it.
run_suite() {
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(jobs)"
}

# The whole suite again, built by clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, then each fuzz target for FUZZ_SECONDS. The
# daemon's standard error goes to files the tests read, so every sanitizer
# report is written to a file of its own, and any such file fails the pass.
sanitize_pass() {
    ensure_clang
    BUILD_DIR=${SANITIZE_BUILD_DIR:-$BUILD_DIR-sanitize}
    configure -DCMAKE_CXX_COMPILER=clang++ -DDOVRA_SANITIZE=address,undefined -DDOVRA_FUZZ=ON -DDOVRA_WERROR=ON
    cmake --build "$BUILD_DIR" -j "$(jobs)"
    reports="$(cd "$BUILD_DIR" && pwd)/sanitizer-reports"
    rm -rf "$reports"
    mkdir -p "$reports"
    status=0
    # No leak check: forked test children end in copies of multithreaded
    # processes whose other stacks are gone, so it reports false leaks.
    ASAN_OPTIONS="detect_leaks=0:log_path=$reports/report" \
    UBSAN_OPTIONS="print_stacktrace=1:log_path=$reports/report" \
        run_suite || status=$?
    if [ -n "$(ls -A "$reports")" ]; then
        echo "Sanitizer reports:" >&2
        cat "$reports"/* >&2
        status=1
    fi
    [ "$status" -eq 0 ] || exit "$status"
    rmdir "$reports"
    for target in config checkconf relay proxy; do
        work="$BUILD_DIR/fuzz/$target"
        mkdir -p "$work/corpus"
        echo "Fuzzing $target for ${FUZZ_SECONDS:-30} s"
        if ! "$BUILD_DIR/tests/fuzz/${target}_fuzz" -max_total_time="${FUZZ_SECONDS:-30}" -timeout=30 \
            -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "tests/fuzz/corpus/$target" \
            >"$work/log" 2>&1; then
            tail -n 60 "$work/log" >&2
            echo "Fuzzing $target found a fault; the input is in $work/" >&2
            exit 1
        fi
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$work/log" || true
        echo "corpus: $(ls "$work/corpus" | wc -l) inputs"
    done
}

# Runs a command as nobody, with no capability and no way to gain one.
as_nobody() {
    if command -v setpriv >/dev/null 2>&1; then
        setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
            --inh-caps=-all --bounding-set=-all --no-new-privs "$@"
    else
        su -m nobody -c "$*"
    fi
}

# ---- run and stop ----
# run starts the daemon with the configuration it reads and, where that
# configuration names loopback servers and none of its servers answers,
# demo backends there; stop ends what run started and nothing else. There is
# no pid file: both find the processes by the sockets they listen on, and
# signal only those that run this build's programs.

# The programs and files run and stop use: DAEMON, CONF, the daemon's working
# directory RUN_CWD, CHECKCONF and DEMO. Paths are physical, as the system
# reports a running program's.
run_paths() {
    build_abs=$(cd "$BUILD_DIR" 2>/dev/null && pwd -P) || build_abs=$BUILD_DIR
    CHECKCONF=$build_abs/dovra-checkconf
    DEMO=$build_abs/demo/dovra-demo
    if [ -n "${DOVRA_RUN_DIR:-}" ]; then
        RUN_CWD=$(cd "$DOVRA_RUN_DIR" && pwd -P)
        DAEMON=$RUN_CWD/dovra
        CONF=$RUN_CWD/dovra.conf
    else
        RUN_CWD=/
        DAEMON=$build_abs/dovra
        CONF=$(config_path 2>/dev/null || true)
    fi
    for program in "$DAEMON" "$CHECKCONF" "$DEMO"; do
        if [ ! -x "$program" ]; then
            echo "$program is missing: build first with $0 build" >&2
            exit 1
        fi
    done
    # How the user runs this script again, with the settings in force.
    SELF=$0
    case $SELF in */*) ;; *) SELF="sh $SELF" ;; esac
    [ "$BUILD_DIR" = build ] || SELF="BUILD_DIR=$BUILD_DIR $SELF"
    [ -z "${DOVRA_RUN_DIR:-}" ] || SELF="DOVRA_RUN_DIR=$DOVRA_RUN_DIR $SELF"
}

# Finding a listener's process needs ss(8) on Linux; FreeBSD's base system
# has sockstat(1) and procstat(1).
ensure_socket_tools() {
    [ "$SYSTEM" = FreeBSD ] && return 0
    command -v ss >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "run and stop need ss. Install it with:" >&2
        echo "  sudo $(install_command iproute2)" >&2
        exit 1
    fi
    install_packages iproute2
}

# Reads CONF with the checker, which is the daemon's own parser: LOCALPORT and
# SERVERPORT as the daemon uses them (the low 16 bits), LOCALADDRESS (empty
# for every IPv4 address) and SERVERS. With
# "probe", the checker also probes every server, its warnings are shown, and
# ANSWERED counts the servers that answered and DEMO_ADDRESSES lists those in
# 127.0.0.0/8 that did not. Returns 1 when the daemon would refuse the file.
read_config() {
    if [ "${1:-}" = probe ]; then
        out=$("$CHECKCONF" -p "$CONF") || true
    else
        out=$("$CHECKCONF" "$CONF" 2>/dev/null) || true
    fi
    port=$(printf '%s\n' "$out" | sed -n 's/^ localport //p')
    [ -n "$port" ] || return 1
    LOCALPORT=$((port & 65535))
    port=$(printf '%s\n' "$out" | sed -n 's/^ serverport //p')
    SERVERPORT=$((port & 65535))
    LOCALADDRESS=$(printf '%s\n' "$out" | sed -n 's/^ localaddress //p')
    SERVERS=$(printf '%s\n' "$out" | sed -n 's/^	== \(.*\) ==$/\1/p' | tr '\n' ' ')
    ANSWERED=$(printf '%s\n' "$out" | grep -c ': reachable (' || true)
    DEMO_ADDRESSES=$(printf '%s\n' "$out" | grep -v ': reachable (' |
        sed -n 's/^\(127\.[0-9]*\.[0-9]*\.[0-9]*\): .* ([0-9]* ms)$/\1/p' | sort -u | tr '\n' ' ')
}

# "PID ADDRESS" for every process listening on TCP port $1; PID is "-" where
# the system does not show it to this user.
listeners() {
    if [ "$SYSTEM" = FreeBSD ]; then
        sockstat -4 -6 -l -P tcp -p "$1" | awk -v port="$1" '
            $1 != "USER" && $6 ~ (":" port "$") { a = $6; sub(/:[0-9]+$/, "", a); print $3, a }'
    else
        ss -Hltnp "sport = :$1" | awk '{
            a = $4; sub(/:[0-9]+$/, "", a)
            n = split($0, f, "pid=")
            if (n < 2) print "-", a
            for (i = 2; i <= n; i++) { p = f[i]; sub(/[^0-9].*/, "", p); print p, a } }'
    fi
}

# The path of the program process $1 runs, as the system has it.
program_of() {
    if [ "$SYSTEM" = FreeBSD ]; then
        procstat -h -b "$1" 2>/dev/null | awk '{ print $NF }'
    else
        # A program rebuilt or removed since it started reads "PATH (deleted)".
        readlink "/proc/$1/exe" 2>/dev/null | sed 's/ (deleted)$//'
    fi
}

# Whether process $1 runs program $2, or the copy launch made of it.
runs_program() {
    exe=$(program_of "$1")
    [ -n "$exe" ] || return 1
    [ "$exe" = "$2" ] && return 0
    stage=$(dirname "$exe")
    case $(basename "$stage") in dovra-run.*) ;; *) return 1 ;; esac
    [ "$(basename "$exe")" = "$(basename "$2")" ] && grep -qxF "$2" "$stage/origin" 2>/dev/null
}

# "pid N (name)" for a pid listeners gave.
who_is() {
    if [ "$1" = - ]; then
        echo "a process of another user"
    else
        echo "pid $1 ($(ps -o comm= -p "$1" 2>/dev/null))"
    fi
}

# The pids of the processes that listen on port $1 and run program $2.
own_listeners() {
    listeners "$1" | while read -r pid address; do
        [ "$pid" != - ] && runs_program "$pid" "$2" && echo "$pid"
    done | sort -u | tr '\n' ' '
}

# Processes of $1 (pids) and of the process groups $2 that have not ended.
alive() {
    ps -A -o pid= -o pgid= -o stat= | awk -v pids=" $1 " -v groups=" $2 " '
        $3 !~ /^Z/ && (index(pids, " " $1 " ") || index(groups, " " $2 " ")) { print $1 }'
}

# Sends SIGTERM to the pids given, waits up to 5 s for them to end, then
# kills what is left.
end_processes() {
    # shellcheck disable=SC2086
    kill -TERM $1 2>/dev/null || true
    tries=0
    while [ -n "$(alive "$1" "")" ] && [ "$tries" -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    left=$(alive "$1" "")
    # shellcheck disable=SC2086
    [ -z "$left" ] || kill -KILL $left 2>/dev/null || true
}

# Started by root, the daemon and the demo backends run as nobody rather
# than as root: the sample listens on a port above 1024, which needs no
# privilege.
as_nobody_if_root() {
    if [ "$(id -u)" -eq 0 ]; then as_nobody "$@"; else "$@"; fi
}

# Starts program $1 with the arguments after it, in RUN_CWD. A program nobody
# cannot reach (a build under /root, say) runs from a copy in a directory of
# its own under /tmp, whose file "origin" names the original, so that stop
# knows the copy for this build's and removes the directory.
STAGE=""
launch() {
    program=$1
    shift
    if [ "$(id -u)" -eq 0 ] && ! as_nobody test -x "$program"; then
        if [ -z "$STAGE" ]; then
            STAGE=$(mktemp -d /tmp/dovra-run.XXXXXX)
            chmod 755 "$STAGE"
        fi
        cp "$program" "$STAGE/"
        chmod 755 "$STAGE/$(basename "$program")"
        echo "$program" >>"$STAGE/origin"
        program=$STAGE/$(basename "$program")
    fi
    (cd "$RUN_CWD" && as_nobody_if_root "$program" "$@")
}

# The demo backends' addresses on FreeBSD's lo0; those added stay there,
# and the summary says how to remove them.
LO0_ADDED=""
demo_addresses_on_lo0() {
    [ "$SYSTEM" = FreeBSD ] || return 0
    for address in $DEMO_ADDRESSES; do
        if lo0_alias "The demo backends" "$address"; then
            LO0_ADDED="$LO0_ADDED $address"
        fi
    done
}

# "a", "a and b", "a, b and c"
words() {
    echo "$*" | awk '{ s = $1; for (i = 2; i <= NF; i++) s = s (i == NF ? " and " : ", ") $i; print s }'
}

http_client() {
    for client in "curl -s" "wget -qO-" "fetch -qo -"; do
        if command -v "${client%% *}" >/dev/null 2>&1; then
            echo "$client"
            return
        fi
    done
}

# ADDRESS:PORT of $1 and $2, an IPv6 address in brackets.
endpoint() {
    case $1 in
    *:*) echo "[$1]:$2" ;;
    *) echo "$1:$2" ;;
    esac
}

run_summary() {
    as=""
    [ "$(id -u)" -ne 0 ] || as=", as the user nobody"
    where="port $LOCALPORT"
    [ -z "$LOCALADDRESS" ] || where=$(endpoint "$LOCALADDRESS" "$LOCALPORT")
    echo "dovra (pid $1) listens on $where${as:+$as,} and forwards to port $SERVERPORT of $(words "$SERVERS")."
    if [ -z "$2" ]; then
        echo "Stop it, with its open sessions: $SELF stop"
        return
    fi
    echo "Nothing listened there, so demo backends (pid $2$as) answer on $(words "$DEMO_ADDRESSES"), each naming itself. Try it:"
    # The any-addresses take 127.0.0.1 too; any other address only itself.
    case $LOCALADDRESS in
    "" | 0.0.0.0 | ::) try=127.0.0.1 ;;
    *) try=$LOCALADDRESS ;;
    esac
    client=$(http_client)
    [ -z "$client" ] || echo "  $client http://$(endpoint "$try" "$LOCALPORT")/"
    if command -v nc >/dev/null 2>&1; then
        echo "  nc $try $LOCALPORT"
    else
        echo "  nc $try $LOCALPORT    (once nc is installed: sudo $(install_command netcat-traditional))"
    fi
    echo "Each new client goes to the first backend in the file that is free. Keep an nc session open"
    echo "and the next client goes to the next backend; while every backend is busy, clients share the first."
    [ -z "$LO0_ADDED" ] || echo "Added to lo0 for them:$LO0_ADDED (ifconfig lo0 inet ADDRESS -alias removes one)."
    echo "Stop dovra, its sessions and the demo backends: $SELF stop"
}

run_all() {
    if [ "$(id -u)" -eq 0 ] && [ -e "$CONF" ] && ! as_nobody test -r "$CONF"; then
        echo "$CONF is not readable by the user nobody, which dovra runs as when started by root:" >&2
        echo "  chmod 644 $CONF" >&2
        exit 1
    fi
    if ! read_config probe; then
        # A refused file: the checker's message, which is the daemon's own.
        printf '%s\n' "$out"
        echo "dovra would refuse $CONF, so it was not started." >&2
        exit 1
    fi
    running=$(own_listeners "$LOCALPORT" "$DAEMON")
    if [ -n "$running" ]; then
        echo "dovra of this build already listens on port $LOCALPORT (pid ${running% }); stop it with: $SELF stop" >&2
        exit 1
    fi
    holder=$(listeners "$LOCALPORT" | head -n 1)
    if [ -n "$holder" ]; then
        echo "Port $LOCALPORT is in use by $(who_is "${holder%% *}"), so dovra cannot listen there; choose another localport in $CONF" >&2
        exit 1
    fi
    if [ "$ANSWERED" -eq 0 ] && [ -n "$DEMO_ADDRESSES" ]; then
        demo_addresses_on_lo0
        # shellcheck disable=SC2086
        if ! launch "$DEMO" "$SERVERPORT" $DEMO_ADDRESSES; then
            echo "The demo backends did not start; dovra was not started either." >&2
            stop_all >/dev/null
            [ -z "$STAGE" ] || rm -rf "$STAGE"
            exit 1
        fi
    fi
    # The launcher returns once the daemon listens, or with status 1 when
    # it could not (a port below 1024 for the user nobody, say).
    status=0
    launch "$DAEMON" || status=$?
    daemon=$(own_listeners "$LOCALPORT" "$DAEMON")
    if [ "$status" -ne 0 ] || [ -z "$daemon" ]; then
        echo "dovra did not start (its launcher's status: $status); its own message above says why." >&2
        stop_all >/dev/null
        [ -z "$STAGE" ] || rm -rf "$STAGE"
        exit 1
    fi
    run_summary "${daemon% }" "$(own_listeners "$SERVERPORT" "$DEMO" | sed 's/ $//')"
}

stop_all() {
    if ! read_config; then
        echo "$CONF is refused by dovra-checkconf, so there is no port to look on." >&2
        exit 1
    fi
    daemons=$(own_listeners "$LOCALPORT" "$DAEMON")
    demos=$(own_listeners "$SERVERPORT" "$DEMO")
    listeners "$LOCALPORT" | while read -r pid address; do
        case " $daemons " in *" $pid "*) continue ;; esac
        echo "Left alone: $(who_is "$pid"), listening on port $LOCALPORT, does not run $DAEMON." >&2
    done
    # The workers share the daemon's process group (its session leader's
    # pid): once the daemon has ended, so that it forks no more, those of the
    # group that run the daemon's program are its workers.
    groups=""
    programs=""
    for pid in $daemons $demos; do programs="$programs $(program_of "$pid")"; done
    for pid in $daemons; do groups="$groups $(ps -o pgid= -p "$pid" | tr -d ' ')"; done
    [ -z "$daemons" ] || end_processes "$daemons"
    workers=""
    for pid in $(alive "" "$groups"); do
        ! runs_program "$pid" "$DAEMON" || workers="$workers $pid"
    done
    [ -z "$workers$demos" ] || end_processes "$workers $demos"
    for exe in $programs; do
        stage=$(dirname "$exe")
        case $(basename "$stage") in dovra-run.*) rm -rf "$stage" ;; esac
    done
    case $(echo "$workers" | wc -w | tr -d ' ') in
    0) sessions="" ;;
    1) sessions=" and its open session" ;;
    *) sessions=" and its $(echo "$workers" | wc -w | tr -d ' ') open sessions" ;;
    esac
    [ -z "$daemons" ] || echo "Stopped dovra (pid ${daemons% })$sessions."
    [ -z "$demos" ] || echo "Stopped the demo backends (pid ${demos% })."
    [ -n "$daemons$demos" ] || echo "Nothing to stop: no dovra of this build listens on port $LOCALPORT."
}

case "${1:-}" in
build)
    shift
    build "$@"
    ;;
run)
    shift
    # DOVRA_RUN_DIR names a daemon built already, with its own configuration.
    # Otherwise only what run starts is built: not the test suite.
    if [ -z "${DOVRA_RUN_DIR:-}" ]; then
        ensure_tools
        configure "$@"
        cmake --build "$BUILD_DIR" -j "$(jobs)" --target dovra dovra-checkconf dovra-demo
    fi
    ensure_socket_tools
    run_paths
    if [ -z "${DOVRA_RUN_DIR:-}" ] && [ ! -e "$CONF" ]; then
        if ! { mkdir -p "$(dirname "$CONF")" && cp dovra.conf.sample "$CONF"; } 2>/dev/null; then
            echo "There is no $CONF, and this user may not create it. Install the sample with:" >&2
            echo "  sudo mkdir -p $(dirname "$CONF") && sudo cp dovra.conf.sample $CONF" >&2
            echo "or build a daemon that reads a file of yours: $0 run -DDOVRA_CONFIG_PATH=\$HOME/dovra.conf" >&2
            exit 1
        fi
        chmod 644 "$CONF"
        echo "Installed the sample configuration as $CONF"
    fi
    run_all
    ;;
stop)
    ensure_socket_tools
    run_paths
    stop_all
    ;;
test)
    add_test_addresses
    shift
    build -DDOVRA_WERROR=ON "$@"
    run_suite
    [ "${DOVRA_SANITIZE_PASS:-1}" = 0 ] || sanitize_pass
    ;;
install)
    shift
    build
    cmake --install "$BUILD_DIR" "$@"
    ;;
bench)
    # Builds in build-bench, runs dovra against the other forwarders and
    # writes docs/benchmarks.md (bench/run.sh tells its settings).
    if [ "$SYSTEM" != Linux ]; then
        echo "The benchmark tools use epoll and prctl: they run on Linux alone." >&2
        exit 1
    fi
    ensure_tools
    exec bench/run.sh
    ;;
deb)
    # The Debian package, by dpkg-buildpackage (see debian/rules), which
    # writes it beside the tree: it is moved into BUILD_DIR with the files
    # made with it, then checked with lintian. Without the test suite, which
    # "./build.sh test" runs on the same sources; DEB_BUILD_OPTIONS= ./build.sh deb
    # runs it in the package build too (it needs libgtest-dev).
    if [ "$SYSTEM" != Linux ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "The Debian package is built on Debian." >&2
        exit 1
    fi
    deb_packages="build-essential debhelper dpkg-dev lintian cmake"
    if ! command -v dpkg-buildpackage >/dev/null 2>&1 || ! command -v dh >/dev/null 2>&1 ||
        ! command -v lintian >/dev/null 2>&1 || ! dpkg-checkbuilddeps -Pnocheck >/dev/null 2>&1; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "The Debian package needs Debian's packaging tools. Install them with:" >&2
            echo "  sudo $(install_command "$deb_packages")" >&2
            exit 1
        fi
        # shellcheck disable=SC2086
        install_packages $deb_packages
    fi
    options=${DEB_BUILD_OPTIONS-nocheck}
    profiles=""
    case " $options " in
    *" nocheck "*) profiles=-Pnocheck ;;
    esac
    version=$(dpkg-parsechangelog -S Version)
    arch=$(dpkg --print-architecture)
    # shellcheck disable=SC2086
    DEB_BUILD_OPTIONS=$options dpkg-buildpackage -b -us -uc --post-clean $profiles
    mkdir -p "$BUILD_DIR"
    for file in "dovra_${version}_$arch.deb" "dovra-dbgsym_${version}_$arch.deb" \
        "dovra_${version}_$arch.buildinfo" "dovra_${version}_$arch.changes"; do
        [ ! -e "../$file" ] || mv "../$file" "$BUILD_DIR/"
    done
    deb="$BUILD_DIR/dovra_${version}_$arch.deb"
    # lintian leaves a database file of its own in TMPDIR: give it one that
    # goes when it ends.
    lint_tmp=$(mktemp -d "${TMPDIR:-/tmp}/dovra-lintian.XXXXXX")
    status=0
    TMPDIR=$lint_tmp lintian --fail-on error,warning "$deb" || status=$?
    rm -rf "$lint_tmp"
    [ "$status" -eq 0 ] || exit "$status"
    echo "Built $deb (lintian: no error, no warning); install it with:"
    case $deb in /*) ;; *) deb=./$deb ;; esac
    echo "  apt-get install $deb"
    ;;
*)
    echo "usage: $0 run|stop|test|install|build|bench|deb" >&2
    exit 2
    ;;
esac
