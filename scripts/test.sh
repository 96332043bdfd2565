#!/usr/bin/env bash
# Builds everything and runs every test. Needs root: the tests bind UDP port 69
# and create network namespaces of their own.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/,
#                                with a seeded random stand-in for a real image: every test that
#                                depends on the image runs once with the placeholder, once without
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

if [ "$(id -u)" -ne 0 ]; then
    echo "The tests need root (port 69 and network namespaces)." >&2
    exit 1
fi
# shellcheck disable=SC2086
txl_ensure_packages $TXL_BUILD_PACKAGES $TXL_RUN_PACKAGES $TXL_TEST_PACKAGES

dir=build
args=(-DTXL_BUILD_TESTS=ON)
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-asan
    args+=(-DTXL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DTXL_STANDIN_SEED=7)
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
    export LSAN_OPTIONS="suppressions=$PWD/tests/common/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi

cmake -S . -B "$dir" -G Ninja "${args[@]}"
cmake --build "$dir" -j"$(nproc)"
# Most tests spend their time waiting on a device's replies and timers, not on a core (a third
# of two cores is busy during the run): twice as many at a time as there are cores.
ctest --test-dir "$dir" --output-on-failure -j"$((2 * $(nproc)))"
