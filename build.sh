#!/bin/sh
# Builds, tests, installs and starts dovra. Usage: ./build.sh run|test|install|build
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
    ;;
install)
    shift
    build
    cmake --install "$BUILD_DIR" "$@"
    ;;
*)
    echo "usage: $0 run|test|install|build" >&2
    exit 2
    ;;
esac
