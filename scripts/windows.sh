#!/usr/bin/env bash
# The Windows build, proven under Wine:
#   1. installs MinGW-w64, Wine and its fonts from Debian;
#   2. builds a static Qt 6 for Windows from Debian's own qt6-base source, once: the result is
#      cached outside the clone, keyed by the Qt version and the configure options;
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

QT_DEB_VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev) # the host tools must match
QT_VERSION=${QT_DEB_VERSION%%+*}
# Off because they fail: tabletevent (Debian's repack removes wintab.h), direct2d and
# directwrite3 (applications then fail to link). The rest is not used by the tool; the built-in
# MIME database besides is packed with gzip at build time, its header holding the time of the
# Qt build, so every Qt build would give another TXLoader.exe.
QT_OPTIONS=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DINPUT_opengl=no
    -DFEATURE_opengl=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
    -DFEATURE_mimetype_database=OFF -DFEATURE_icu=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF
    -DFEATURE_tabletevent=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_freetype=OFF
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF
)
# Qt names its own source and build folders in its libraries (file names in its messages);
# they are mapped to one fixed name, so TXLoader.exe does not depend on where Qt was built.
QT_PATH_MAP=/qt
QT_KEY=$( (
    echo "$QT_DEB_VERSION"
    printf '%s\n' "${QT_OPTIONS[@]}" "paths mapped to $QT_PATH_MAP"
    cat cmake/mingw-w64-x86_64.cmake
) | sha256sum | cut -c1-12)
QT_PREFIX=$CACHE/qt-$QT_VERSION-mingw64-static-$QT_KEY

# apt-get source through a private sources list, lists and cache: the machine's apt
# configuration stays as it is. The mirror is the one the machine already uses.
debian_mirror() {
    local uri
    uri=$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v security | head -n1)
    [ -n "$uri" ] || uri=$(grep -hs '^deb ' /etc/apt/sources.list | awk '{print $2}' | grep -v security | head -n1)
    [ -n "$uri" ] || { echo "no Debian mirror in the machine's apt sources" >&2; return 1; }
    echo "$uri"
}

# fetch_qt_source DIR [--download-only]: Debian's qt6-base source package into DIR, unpacked
# unless asked not to.
fetch_qt_source() {
    local dir=$1 apt_dir=$1/apt
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) bookworm main" \
        >"$apt_dir/sources.list"
    local apt_opts=(
        -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
        -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root"
    )
    apt-get "${apt_opts[@]}" update -qq
    (cd "$dir" && apt-get "${apt_opts[@]}" source -qq ${2:-} "qt6-base=$QT_DEB_VERSION")
}

# The release ships the exact source of the Qt it links (LGPL-3): the source package's files,
# kept with the Qt they built.
keep_qt_source() {
    mkdir -p "$QT_PREFIX/share/txloader/source.new"
    cp "$1"/qt6-base_* "$QT_PREFIX/share/txloader/source.new/"
    mv -T "$QT_PREFIX/share/txloader/source.new" "$QT_PREFIX/share/txloader/source"
}

# The release lists the third-party notices of what Qt links in, from the qt_attribution.json
# files of the source that was built, and the relinking kit says how Qt was built.
qt_notices() {
    mkdir -p "$QT_PREFIX/share/txloader"
    /usr/bin/python3 packaging/windows/qt_notices.py collect "$1" "$QT_PREFIX/share/txloader/notices.new"
    sha256sum <packaging/windows/qt_notices.py >"$QT_PREFIX/share/txloader/notices.new/collector.sha256"
    rm -rf "$QT_PREFIX/share/txloader/notices"
    mv "$QT_PREFIX/share/txloader/notices.new" "$QT_PREFIX/share/txloader/notices"
}

# How the cached Qt was built, for the relinking kit: the options are part of the cache's key,
# so this is written again on every run.
qt_build_notes() {
    {
        echo "Debian's qt6-base $QT_DEB_VERSION source package (apt-get source qt6-base=$QT_DEB_VERSION),"
        echo "configured with CMake for MinGW-w64 (mingw-w64-x86_64.cmake, beside this file in the kit),"
        echo "with the host's Qt tools (-DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake):"
        printf '  %s\n' "${QT_OPTIONS[@]}"
        echo "  -DCMAKE_C_FLAGS and -DCMAKE_CXX_FLAGS: -ffile-prefix-map=<the build's folder>=$QT_PATH_MAP"
    } >"$QT_PREFIX/share/txloader/qt-build.txt.$$"
    mv "$QT_PREFIX/share/txloader/qt-build.txt.$$" "$QT_PREFIX/share/txloader/qt-build.txt"
}

build_qt() {
    if [ -f "$QT_PREFIX/.complete" ]; then
        log "Qt $QT_VERSION for Windows from the cache: $QT_PREFIX"
        qt_build_notes
        if ! sha256sum <packaging/windows/qt_notices.py | cmp -s - "$QT_PREFIX/share/txloader/notices/collector.sha256"; then
            # Notices missing from the cache, or made by another version of the collector: the
            # source alone gives them, no rebuild.
            local work
            work=$(mktemp -d /var/tmp/txl-qt.XXXXXX)
            log "Qt's attribution files from Debian's qt6-base $QT_DEB_VERSION source"
            fetch_qt_source "$work"
            qt_notices "$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)"
            rm -rf "$work"
        fi
        if ! ls "$QT_PREFIX/share/txloader/source"/qt6-base_*.dsc >/dev/null 2>&1; then
            # A cache made before the release shipped the Qt source: its files, no rebuild.
            local work
            work=$(mktemp -d /var/tmp/txl-qt.XXXXXX)
            log "Debian's qt6-base $QT_DEB_VERSION source package for the release"
            fetch_qt_source "$work" --download-only
            keep_qt_source "$work"
            rm -rf "$work"
        fi
        return 0
    fi
    local work
    work=$(mktemp -d /var/tmp/txl-qt.XXXXXX)
    log "Qt $QT_VERSION for Windows: fetching Debian's qt6-base $QT_DEB_VERSION source"
    fetch_qt_source "$work"
    local qtsrc
    qtsrc=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
    [ -n "$qtsrc" ] || { echo "qt6-base source not unpacked in $work" >&2; return 1; }
    rm -rf "$QT_PREFIX"
    mkdir -p "$QT_PREFIX"
    # qt-cmake refers to the toolchain file by path, so it lives in the cache with Qt.
    cp cmake/mingw-w64-x86_64.cmake "$QT_PREFIX/mingw-w64-x86_64.cmake"
    log "Qt $QT_VERSION for Windows: configuring (log: $work/qt-build.log)"
    cmake -S "$qtsrc" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$QT_PREFIX/mingw-w64-x86_64.cmake" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_C_FLAGS="-ffile-prefix-map=$work=$QT_PATH_MAP" -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$work=$QT_PATH_MAP" \
        -DCMAKE_INSTALL_PREFIX="$QT_PREFIX" "${QT_OPTIONS[@]}" >"$work/qt-build.log" 2>&1 ||
        { tail -n 40 "$work/qt-build.log" >&2; return 1; }
    log "Qt $QT_VERSION for Windows: building"
    nice -n 10 cmake --build "$work/build" -j"$JOBS" >>"$work/qt-build.log" 2>&1 ||
        { tail -n 40 "$work/qt-build.log" >&2; return 1; }
    cmake --install "$work/build" >>"$work/qt-build.log" 2>&1 || { tail -n 40 "$work/qt-build.log" >&2; return 1; }
    qt_notices "$qtsrc"
    qt_build_notes
    keep_qt_source "$work"
    touch "$QT_PREFIX/.complete"
    rm -rf "$work"
    log "Qt $QT_VERSION for Windows installed in $QT_PREFIX ($(du -sh "$QT_PREFIX" | cut -f1))"
}

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
. scripts/lab.sh
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
set +e
ctest --test-dir "$BUILD" --output-on-failure -j"$SLOT_COUNT" 2>&1 |
    tee "$WORK/ctest.log"
set -e
TOTAL=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$WORK/ctest.log" | tail -n1)
FAILED=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$WORK/ctest.log" | tail -n1)
TOTAL=${TOTAL:-0} FAILED=${FAILED:-1}
log "screenshots: $(ls "$BUILD"/wine-*.png 2>/dev/null | tr '\n' ' ')"
echo "Wine: $((TOTAL - FAILED)) passed, $FAILED failed"
[ "$FAILED" = 0 ] && [ "$TOTAL" -gt 0 ]
