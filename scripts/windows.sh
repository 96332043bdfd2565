#!/usr/bin/env bash
# The Windows build, proven under Wine:
#   1. installs MinGW-w64, Wine and its fonts from Debian;
#   2. builds a static Qt 6 for Windows from Debian's own qt6-base source, once: the result is
#      cached outside the clone, keyed by the Qt version and the configure options
#      (scripts/windows-qt.sh);
#   3. cross-builds TXLoader.exe and the test programs with this CMake project through qt-cmake;
#   4. runs the Windows tests under Wine, two at a time, the end-to-end upload and the test
#      release made from this build in build-win/dist, checked under Wine as its users meet it
#      (tests/wine/e2e_release.sh); then prints the tally.
# Needs root: the tests bind UDP port 69 and make network namespaces.
#   scripts/windows.sh [--qt-only | --build-only | --release]
# --release builds TXLoader.exe only, runs no test and writes dist/ (packaging/windows/make-release.sh;
# TXL_SIGN_PFX, TXL_SIGN_PASS_FILE and TXL_SIGN_TIMESTAMP_URL sign it). It refuses the
# repository's placeholder image unless TXL_ALLOW_PLACEHOLDER=1; TXL_FIRMWARE_IMAGE names the real one.
# Environment: TXL_WIN_CACHE (default /var/cache/txloader), TXL_WIN_BUILD (default build-win).
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
. scripts/packages.sh

MODE=${1:-all}
CACHE=${TXL_WIN_CACHE:-/var/cache/txloader}
BUILD=${TXL_WIN_BUILD:-$SRC/build-win}
JOBS=$(nproc)
# The Windows tests mostly wait (Wine starting, the device, timeouts): one more runs beside them.
SLOT_COUNT=$((JOBS + 1))

if [ "$(id -u)" -ne 0 ]; then
    echo "Needs root (packages, port 69, network namespaces)." >&2
    exit 1
fi
# shellcheck disable=SC2086
txl_ensure_packages $TXL_BUILD_PACKAGES $TXL_RUN_PACKAGES $TXL_TEST_PACKAGES $TXL_WINDOWS_PACKAGES

log() { echo "== $(date +%T) $*"; }

# --- Qt for Windows ------------------------------------------------------------------------

. scripts/windows-qt.sh
build_qt
[ "$MODE" = --qt-only ] && exit 0

# --- TXLoader.exe and the Windows tests ----------------------------------------------------

# The simulated device is a Linux program: the Windows tests use the Linux build's.
HOST_SIM=$SRC/build/tools/tftpsim/tftpsim
if [ "$MODE" != --release ]; then
    log "simulator (Linux build in build/)"
    [ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DTXL_BUILD_TESTS=ON >/dev/null
    cmake --build build --target tftpsim >/dev/null
fi

FIRMWARE_OPTION=()
[ -z "${TXL_FIRMWARE_IMAGE:-}" ] || FIRMWARE_OPTION=(-DTXL_FIRMWARE_IMAGE="$(realpath "$TXL_FIRMWARE_IMAGE")")
"$QT_PREFIX/bin/qt-cmake" -S . -B "$BUILD" -G Ninja -DTXL_BUILD_TESTS=ON -DTXL_HOST_TFTPSIM="$HOST_SIM" \
    "${FIRMWARE_OPTION[@]}" >/dev/null
# The programs of the release (txl_program in CMake).
# shellcheck disable=SC1091
. "$BUILD/release/release.env"
read -ra PROGRAMS <<<"$TXL_RELEASE_PROGRAMS"
if [ "$MODE" = --release ]; then
    log "cross-building ${PROGRAMS[*]} in $BUILD"
    nice -n 10 cmake --build "$BUILD" -j"$JOBS" --target "${PROGRAMS[@]}"
else
    log "cross-building TXLoader.exe and the Windows tests in $BUILD"
    nice -n 10 cmake --build "$BUILD" -j"$JOBS"
fi

# One file to hand over, which loads DLLs from the system folder only: what the loader resolves
# before the program runs must be a KnownDLL or an API set; anything else is to be delay-loaded
# (TXL_DELAY_LOADED_DLLS in cmake/Program.cmake).
for program in "${PROGRAMS[@]}"; do
    IMPORTS=$(x86_64-w64-mingw32-objdump -p "$BUILD/$program.exe" | sed -n 's/^\s*DLL Name: //p' | sort -u)
    log "$program.exe ($(du -h "$BUILD/$program.exe" | cut -f1)) imports: ${IMPORTS//$'\n'/ }"
    if grep -viE '^(advapi32|comdlg32|gdi32|imm32|kernel32|msvcrt|ole32|oleaut32|rpcrt4|setupapi|shcore|shell32|shlwapi|user32|ws2_32|api-ms-win-.*)\.dll$' <<<"$IMPORTS"; then
        echo "$program.exe imports DLLs that are no KnownDLLs (above): delay-load them (TXL_DELAY_LOADED_DLLS)" >&2
        exit 1
    fi
done
# The console loader is plain C++: the linker's map names every archive it took code from.
if grep -q 'libQt6' "$BUILD/txloader-cli.map"; then
    echo "txloader-cli.exe links Qt code ($BUILD/txloader-cli.map)" >&2
    exit 1
fi
[ "$MODE" = --build-only ] && exit 0

# release DIR: the release of $BUILD's TXLoader.exe in DIR. The placeholder image is no firmware
# for a device: only a test release may carry it.
release() {
    local TXL_IMAGE TXL_IMAGE_PLACEHOLDER
    . "$BUILD/image.env"
    if [ "$TXL_IMAGE_PLACEHOLDER" = 1 ]; then
        if [ "${TXL_ALLOW_PLACEHOLDER:-0}" != 1 ]; then
            echo "$BUILD carries the placeholder image $TXL_IMAGE, not device firmware: no release of it." >&2
            echo "Build with the real image (TXL_FIRMWARE_IMAGE=/path/to/ZRM-40K_06_V48.xfw), or set" >&2
            echo "TXL_ALLOW_PLACEHOLDER=1 for a test release." >&2
            return 1
        fi
        log "test release: the image is the placeholder"
    fi
    log "release in $1"
    bash packaging/windows/make-release.sh "$BUILD" "$QT_PREFIX" "$1"
}
if [ "$MODE" = --release ]; then
    release "$SRC/dist"
    exit 0
fi

# --- under Wine ----------------------------------------------------------------------------

export WINEPREFIX=$BUILD/wineprefix WINEDLLOVERRIDES=mscoree,mshtml=
WORK=$(mktemp -d /tmp/txl-windows.XXXXXX)
. tests/lab.sh
trap 'wineserver -k 2>/dev/null || true; lab_cleanup' EXIT
if [ ! -f "$WINEPREFIX/.txl-ready" ]; then
    log "Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    lab_wine_prefix
    touch "$WINEPREFIX/.txl-ready"
fi
# A prefix per slot, so that Windows tests run side by side; each test takes a free one
# (lab_wine_slot).
TXL_WINE_PREFIXES=$WINEPREFIX
for i in $(seq 2 "$SLOT_COUNT"); do
    [ -f "$WINEPREFIX-$i/.txl-ready" ] || { rm -rf "$WINEPREFIX-$i" && cp -a "$WINEPREFIX" "$WINEPREFIX-$i"; }
    TXL_WINE_PREFIXES="$TXL_WINE_PREFIXES $WINEPREFIX-$i"
done
export TXL_WINE_PREFIXES

# Qt under Wine needs a display even for its message-only windows; one per prefix, as the
# keyboard focus is the display's.
TXL_WINE_DISPLAYS=
for _ in $(seq "$SLOT_COUNT"); do
    lab_xvfb 1024x768
    TXL_WINE_DISPLAYS="${TXL_WINE_DISPLAYS:+$TXL_WINE_DISPLAYS }$DISPLAY"
done
export TXL_WINE_DISPLAYS

log "Windows tests under Wine"
ctest --test-dir "$BUILD" --output-on-failure -j"$SLOT_COUNT" --output-junit "$WORK/ctest.xml" || true
log "screenshots: $(ls "$BUILD"/wine-*.png 2>/dev/null | tr '\n' ' ')"
# The tally from ctest's record of each test; none at all is a failure.
PASSED=$(grep -cs '<testcase .* status="run"' "$WORK/ctest.xml" || true)
FAILED=$(grep -cs '<testcase .* status="fail"' "$WORK/ctest.xml" || true)
[ "${PASSED:-0}" -gt 0 ] || FAILED=$((${FAILED:-0} + 1))
lab_tally
