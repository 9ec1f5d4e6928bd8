#!/bin/sh
# Builds, tests, installs and starts dovra. Usage: ./build.sh run|test|install|build|bench
# Needs cmake, a C++20 compiler, make or ninja, and GoogleTest; as root the
# missing ones are installed with apt-get, otherwise the line to run is shown.
set -eu

cd "$(dirname "$0")"
BUILD_DIR=${BUILD_DIR:-build}
PACKAGES="cmake g++ make libgtest-dev"

missing_packages() {
    missing=""
    command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
    command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing="$missing g++"
    command -v make >/dev/null 2>&1 || command -v ninja >/dev/null 2>&1 || missing="$missing make"
    [ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
    echo "$missing"
}

ensure_tools() {
    missing=$(missing_packages)
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "dovra needs:$missing. Install them with:" >&2
        echo "  sudo apt-get install -y $PACKAGES" >&2
        exit 1
    fi
    echo "Installing:$missing" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $PACKAGES >/dev/null
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
    if [ "$(id -u)" -ne 0 ]; then
        echo "The sanitizer and fuzzing pass needs clang. Install it with:" >&2
        echo "  sudo apt-get install -y clang libclang-rt-dev" >&2
        echo "or skip that pass with DOVRA_SANITIZE_PASS=0 $0 test" >&2
        exit 1
    fi
    echo "Installing: clang libclang-rt-dev" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang libclang-rt-dev >/dev/null
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
    configure -DCMAKE_CXX_COMPILER=clang++ -DDOVRA_SANITIZE=address,undefined -DDOVRA_FUZZ=ON
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
        echo "Installed the sample configuration as $conf"
    fi
    exec "$BUILD_DIR/dovra"
    ;;
test)
    shift
    build "$@"
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
    ensure_tools
    exec bench/run.sh
    ;;
*)
    echo "usage: $0 run|test|install|build|bench" >&2
    exit 2
    ;;
esac
