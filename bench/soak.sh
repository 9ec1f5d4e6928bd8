#!/bin/sh
# Soak: the load test run for a given number of minutes instead of its 2,000
# sessions, then the same checks and figures. Not part of the test command.
# Usage: bench/soak.sh [minutes]   (default 10; BUILD_DIR as for build.sh)
set -eu
cd "$(dirname "$0")/.."
minutes=${1:-10}
BUILD_DIR=${BUILD_DIR:-build}
export BUILD_DIR
if ! log=$(./build.sh build 2>&1); then
    echo "$log" >&2
    exit 1
fi
echo "Soaking for $minutes minutes"
DOVRA_LOAD_MINUTES=$minutes "$BUILD_DIR/tests/daemon/load_test" --gtest_brief=1
