#!/usr/bin/env bash
# Qt 6 for Windows, static, built with MinGW-w64 from Debian's own qt6-base source, once: the result
# is cached outside the clone (TXL_WIN_CACHE, default /var/cache/txloader) under a key made from the
# Debian version of qt6-base, the configure options and the toolchain file, so a build takes it
# from there. Run alone it builds or finds that Qt (as scripts/windows.sh --qt-only does); sourced
# by scripts/windows.sh it gives QT_PREFIX and build_qt. Needs root for the packages.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    cd "$(dirname "$0")/.."
    [ "$(id -u)" -eq 0 ] || { echo "Needs root (packages)." >&2; exit 1; }
    . scripts/packages.sh
    # shellcheck disable=SC2086
    txl_ensure_packages $TXL_BUILD_PACKAGES $TXL_WINDOWS_PACKAGES
fi
CACHE=${CACHE:-${TXL_WIN_CACHE:-/var/cache/txloader}}
JOBS=${JOBS:-$(nproc)}
declare -F log >/dev/null || log() { echo "== $(date +%T) $*"; }

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


[ "${BASH_SOURCE[0]}" != "$0" ] || build_qt
