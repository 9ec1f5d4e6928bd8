#!/bin/sh
# Builds, tests, installs and starts dovra. Usage: ./build.sh run|test|install|build|bench|deb
# Needs cmake, a C++20 compiler, make or ninja, and GoogleTest; as root the
# missing ones are installed with apt-get on Debian or pkg on FreeBSD,
# otherwise the line to run is shown.
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
        if ! ifconfig lo0 | grep -q "inet 127\.0\.0\.$n "; then
            if [ "$(id -u)" -ne 0 ]; then
                echo "The tests need 127.0.0.$n on lo0. Run as root, or add it with:" >&2
                echo "  sudo ifconfig lo0 inet 127.0.0.$n/32 alias" >&2
                exit 1
            fi
            ifconfig lo0 inet "127.0.0.$n/32" alias
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
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(jobs)" || status=$?
    if [ -n "$(ls -A "$reports")" ]; then
        echo "Sanitizer reports:" >&2
        cat "$reports"/* >&2
        status=1
    fi
    [ "$status" -eq 0 ] || exit "$status"
    rmdir "$reports"
    for target in config checkconf relay; do
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

# Started by root, the daemon runs as nobody rather than as root: the sample
# listens on a port above 1024, which needs no privilege. A build tree that
# nobody cannot reach (under /root, say) gets a copy of the daemon outside
# it, removed once the daemon has started (the running program keeps it).
start_as_nobody() {
    daemon=$1
    if ! as_nobody test -r "$2"; then
        echo "$2 is not readable by the user nobody, which dovra runs as when started by root:" >&2
        echo "  chmod 644 $2" >&2
        exit 1
    fi
    stage=""
    if ! as_nobody test -x "$daemon"; then
        stage=$(mktemp -d)
        cp "$daemon" "$stage/dovra"
        chmod 755 "$stage"
        daemon=$stage/dovra
    fi
    status=0
    (cd / && as_nobody "$daemon") || status=$?
    [ -z "$stage" ] || rm -rf "$stage"
    [ "$status" -ne 0 ] || echo "dovra runs as the user nobody; stop it with: pkill -x dovra" >&2
    exit "$status"
}

case "${1:-}" in
build)
    shift
    build "$@"
    ;;
run)
    shift
    build "$@"
    conf=$(config_path)
    if [ ! -e "$conf" ]; then
        mkdir -p "$(dirname "$conf")"
        cp dovra.conf.sample "$conf"
        chmod 644 "$conf"
        echo "Installed the sample configuration as $conf"
    fi
    if [ "$(id -u)" -ne 0 ]; then
        exec "$BUILD_DIR/dovra"
    fi
    start_as_nobody "$(cd "$BUILD_DIR" && pwd)/dovra" "$conf"
    ;;
test)
    add_test_addresses
    shift
    build -DDOVRA_WERROR=ON "$@"
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(jobs)"
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
    lintian --fail-on error,warning "$deb"
    echo "Built $deb (lintian: no error, no warning); install it with:"
    case $deb in /*) ;; *) deb=./$deb ;; esac
    echo "  apt-get install $deb"
    ;;
*)
    echo "usage: $0 run|test|install|build|bench|deb" >&2
    exit 2
    ;;
esac
