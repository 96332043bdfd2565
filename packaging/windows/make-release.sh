#!/usr/bin/env bash
# The Windows release from a cross build (scripts/windows.sh --release calls it):
#   TXLoader-V-win64.zip         the programs (stripped), README.txt and LICENSES/, under one
#                                folder TXLoader-V/
#   TXLoader-V-win64.msi         the same files, installed per machine (release/TXLoader.wxs)
#   TXLoader-V-win64-relink.zip  the objects and link command that LGPL-3 asks for
#   qt6-base_*                   the exact source of the Qt that was built (Debian's source package)
#   PROGRAM-V-win64.debug        the debug information split off each program (not for users)
#   SHA256SUMS
# V is the file version in TXLoader.exe's version resource. The programs are those the build
# lists in release/release.env (txl_program in CMake); the product's facts come from there too.
#
# usage: make-release.sh BUILD_DIR QT_PREFIX OUT_DIR [EXE]
#   EXE: another unstripped TXLoader.exe linked from BUILD_DIR's objects (the relinking kit,
#   for example); the release of such an executable has no kit of its own.
# Signing: TXL_SIGN_PFX (PKCS#12 file) and TXL_SIGN_PASS_FILE (its password) sign the programs
# before they are packed and then the .msi, with an RFC 3161 timestamp from
# TXL_SIGN_TIMESTAMP_URL, which is then required: a signature without one dies with the
# certificate. TXL_SIGN_NO_TIMESTAMP=1 signs without (tests only).
# SOURCE_DATE_EPOCH (default: the commit's time) dates every file inside the packages.
set -euo pipefail

BUILD=$(realpath "$1")
QT=$(realpath "$2")
mkdir -p "$3"
OUT=$(realpath "$3")
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
PY=/usr/bin/python3 # Debian's, with python3-pefile
NOTICES=$QT/share/txloader/notices
QT_SOURCE=$QT/share/txloader/source
RELEASE=$BUILD/release
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$SRC" log -1 --format=%ct 2>/dev/null || echo 0)}
export TZ=UTC
# shellcheck disable=SC1091
. "$RELEASE/release.env" # TXL_RELEASE_PROGRAMS, TXL_MSI_UPGRADE_CODE
# shellcheck disable=SC1091
. "$BUILD/product.env"
read -ra PROGRAMS <<<"$TXL_RELEASE_PROGRAMS"

if [ -n "${TXL_SIGN_PFX:-}" ] && [ -z "${TXL_SIGN_TIMESTAMP_URL:-}" ] && [ "${TXL_SIGN_NO_TIMESTAMP:-0}" != 1 ]; then
    echo "TXL_SIGN_PFX needs TXL_SIGN_TIMESTAMP_URL: without a timestamp the signature dies with the certificate" >&2
    exit 1
fi

# exe PROGRAM: the unstripped executable of PROGRAM that goes into this release.
EXE=$(realpath "${4:-$BUILD/TXLoader.exe}")
exe() { if [ "$1" = TXLoader ]; then echo "$EXE"; else echo "$BUILD/$1.exe"; fi; }
# FileVersion and translation of a program's version resource: "a.b.c.d language".
version_of() {
    "$PY" -c '
import sys, pefile
pe = pefile.PE(sys.argv[1], fast_load=True)
pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
f = pe.VS_FIXEDFILEINFO[0]
language = pe.FileInfo[0][-1].Var[0].entry[b"Translation"].split()[0]
print("%d.%d.%d.%d %d" % (f.FileVersionMS >> 16, f.FileVersionMS & 0xFFFF, f.FileVersionLS >> 16,
                          f.FileVersionLS & 0xFFFF, int(language, 16)))' "$1"
}
read -r VERSION LANGUAGE <<<"$(version_of "$EXE")"
if [ -z "${4:-}" ] && [ "$VERSION" != "$TXL_VERSION" ]; then
    echo "TXLoader.exe is version $VERSION, the product's facts say $TXL_VERSION: rebuild $BUILD" >&2
    exit 1
fi
NAME=TXLoader-$VERSION-win64
TOP=TXLoader-$VERSION # the zip's one top folder
WORK=$(mktemp -d /tmp/txl-release.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
STAGE=$WORK/stage/$TOP
mkdir -p "$STAGE/LICENSES"
rm -f "$OUT/$NAME".* "$OUT/$NAME"-relink.zip "$OUT"/*-"$VERSION"-win64.debug "$OUT/SHA256SUMS"
[ -f "$NOTICES/index.json" ] || { echo "no Qt notices in $NOTICES (scripts/windows.sh collects them)" >&2; exit 1; }
QT_DSC=$(cd "$QT_SOURCE" 2>/dev/null && ls qt6-base_*.dsc) || { echo "no Qt source in $QT_SOURCE (scripts/windows.sh keeps it)" >&2; exit 1; }
echo "-- $NAME from $EXE"

sign() {
    local args=(-pkcs12 "$TXL_SIGN_PFX" -readpass "$TXL_SIGN_PASS_FILE" -h sha256 -n "$TXL_PRODUCT_NAME")
    [ -z "${TXL_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$TXL_SIGN_TIMESTAMP_URL")
    osslsigncode sign "${args[@]}" -in "$1" -out "$1.signed" >/dev/null
    mv "$1.signed" "$1"
}
[ -z "${TXL_SIGN_PFX:-}" ] || [ -r "${TXL_SIGN_PASS_FILE:-}" ] ||
    { echo "TXL_SIGN_PASS_FILE must name the certificate's password file" >&2; exit 1; }

# Each program: its debug information to a file of its own, which the debug link names for a
# debugger. strip and objcopy stamp the PE header with SOURCE_DATE_EPOCH, or the clock without
# it: 0 keeps the linker's empty stamp.
DEBUG_FILES=() MSI_VERSIONS=() MAPS=()
for program in "${PROGRAMS[@]}"; do
    from=$(exe "$program")
    debug=$program-$VERSION-win64.debug
    SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-objcopy --only-keep-debug "$from" "$OUT/$debug"
    chmod 644 "$OUT/$debug"
    SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip --strip-all -o "$STAGE/$program.exe" "$from"
    (cd "$OUT" && SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-objcopy --add-gnu-debuglink="$debug" "$STAGE/$program.exe")
    [ -z "${TXL_SIGN_PFX:-}" ] || sign "$STAGE/$program.exe"
    read -r file_version file_language <<<"$(version_of "$from")"
    MSI_VERSIONS+=("$("$PY" -c 'import re, sys; print(re.sub(r"\W", "_", sys.argv[1]))' "${program}Exe")=$file_version,$file_language")
    DEBUG_FILES+=("$debug")
    MAPS+=("$BUILD/$program.map")
done
if [ -n "${TXL_SIGN_PFX:-}" ]; then
    echo "-- $(printf '%s.exe ' "${PROGRAMS[@]}")signed (SHA-256${TXL_SIGN_TIMESTAMP_URL:+, timestamp from $TXL_SIGN_TIMESTAMP_URL})"
else
    echo "-- unsigned release: TXL_SIGN_PFX is not set"
fi

# README.txt and the licence texts, with Windows line ends.
IFS=. read -r V1 V2 V3 V4 <<<"$VERSION"
if [ "$V1" -gt 255 ] || [ "$V2" -gt 255 ] || [ "$V3" -gt 255 ] || [ "$V4" -gt 255 ]; then
    echo "version $VERSION: each field must stay below 256 to fit a package version" >&2
    exit 1
fi
MSI_VERSION=$V1.$V2.$((V3 * 256 + V4))
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
sed -e "s/@VERSION@/$VERSION/g" -e "s/@MSI_VERSION@/$MSI_VERSION/g" "$RELEASE/README.txt" >"$WORK/README.txt"
printf '\xef\xbb\xbf' >"$STAGE/README.txt" # Notepad then reads it as UTF-8 whatever the locale
crlf "$WORK/README.txt" "$WORK/README.crlf" && cat "$WORK/README.crlf" >>"$STAGE/README.txt"
crlf "$NOTICES/LGPL-3.0-only.txt" "$STAGE/LICENSES/LGPL-3.0.txt"
crlf "$NOTICES/GPL-3.0-only.txt" "$STAGE/LICENSES/GPL-3.0.txt"
cat "${MAPS[@]}" >"$WORK/programs.map" # what the linker took, for all programs
"$PY" "$HERE/qt_notices.py" select "$NOTICES" "$WORK/programs.map" "$QT" "$STAGE/LICENSES/Qt-third-party.txt"
# -static links MinGW-w64's C runtime and winpthreads in as well; their terms ask for the notice.
{
    echo "The programs also contain parts of the MinGW-w64 runtime (its C runtime start-up code and"
    echo "the winpthreads library), linked statically. Their terms, from Debian's mingw-w64 package:"
    echo
    cat /usr/share/doc/mingw-w64-x86-64-dev/copyright
} >"$WORK/mingw.txt"
crlf "$WORK/mingw.txt" "$STAGE/LICENSES/MinGW-w64-runtime.txt"

# Same commit, same bytes: fixed dates, sorted names, no extra attributes.
pack() { # pack ZIP DIR
    find "$2" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    (cd "$2" && find . -type f -printf '%P\n' | LC_ALL=C sort | zip -q -X -D "$1" -@)
}
pack "$OUT/$NAME.zip" "$WORK/stage"

# The installer (release/TXLoader.wxs says why its version is packed). wixl 0.101 fills the
# package code and the dates from the clock and stores its strings in code page 1252, dropping
# Cyrillic; msibuild (msitools, like wixl) puts right what it leaves, msi_tables.py the short
# names, file versions and the _Validation table. Product code: one per version; package code:
# one per content, which includes the tools and the script that made the package.
cp "$SRC/src/ui/icon/TXLoader.ico" "$WORK/TXLoader.ico"
PRODUCT_CODE=$("$PY" -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), "product " + sys.argv[2])).upper())' \
    "$TXL_MSI_UPGRADE_CODE" "$VERSION")
PACKAGE_CODE=$( (
    cd "$WORK/stage" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
    cat "$RELEASE/TXLoader.wxs" "$WORK/TXLoader.ico" "$HERE/make-release.sh" "$HERE/msi_tables.py"
    wixl --version
    dpkg-query -W -f='${Package} ${Version}\n' wixl msitools
) | sha256sum | cut -c1-32 | sed 's/\(........\)\(....\)\(....\)\(....\)\(............\)/\1-\2-\3-\4-\5/' | tr a-f A-F)
SIZE_KB=$(du -sk "$STAGE" | cut -f1)
find "$WORK/stage" "$WORK/TXLoader.ico" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
# wixl takes the files by paths relative to where it runs.
(cd "$WORK" && wixl -a x64 -o "$NAME.msi" -D Version="$MSI_VERSION" -D DisplayVersion="$VERSION" \
    -D ProductCode="$PRODUCT_CODE" -D SizeKB="$SIZE_KB" -D Stage="stage/$TOP" -D Icon=TXLoader.ico "$RELEASE/TXLoader.wxs")
"$PY" "$HERE/msi_tables.py" "$WORK/$NAME.msi" "${MSI_VERSIONS[@]}"
STAMP=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y/%m/%d %H:%M:%S')
printf '\r\n\r\n1251\t_ForceCodepage\r\n' >"$WORK/_ForceCodepage.idt"
printf 'PropertyId\tValue\r\ni2\tl255\r\n_SummaryInformation\tPropertyId\r\n1\t1251\r\n7\tx64;1049\r\n9\t{%s}\r\n12\t%s\r\n13\t%s\r\n' \
    "$PACKAGE_CODE" "$STAMP" "$STAMP" >"$WORK/_SummaryInformation.idt"
msibuild "$WORK/$NAME.msi" -i "$WORK/_ForceCodepage.idt"
DOWNGRADE=$("$PY" -c 'import sys, xml.etree.ElementTree as T
print(T.parse(sys.argv[1]).find(".//{http://schemas.microsoft.com/wix/2006/wi}MajorUpgrade").get("DowngradeErrorMessage"))' \
    "$RELEASE/TXLoader.wxs")
msibuild "$WORK/$NAME.msi" -q "UPDATE \`LaunchCondition\` SET \`Description\` = '$DOWNGRADE' WHERE \`Condition\` = 'NOT WIX_DOWNGRADE_DETECTED'"
msibuild "$WORK/$NAME.msi" -i "$WORK/_SummaryInformation.idt"
[ -z "${TXL_SIGN_PFX:-}" ] || sign "$WORK/$NAME.msi"
mv "$WORK/$NAME.msi" "$OUT/$NAME.msi"

# The relinking kit: the link commands of BUILD_DIR's programs with their inputs, and beside
# it the exact Qt source.
FILES=("$NAME.zip" "$NAME.msi" "${DEBUG_FILES[@]}")
if [ -z "${4:-}" ]; then
    KIT=$WORK/kit
    mkdir -p "$KIT"
    LINKS=()
    for program in "${PROGRAMS[@]}"; do
        LINKS+=("$program" "$(ninja -C "$BUILD" -t commands "$program.exe" | tail -n1)")
    done
    "$PY" "$HERE/relink_kit.py" "$BUILD" "$QT" "$KIT" "${LINKS[@]}"
    mapfile -t QT_FILES < <(cd "$QT_SOURCE" && ls qt6-base_*)
    QT_DEB_VERSION=${QT_DSC#qt6-base_} QT_DEB_VERSION=${QT_DEB_VERSION%.dsc}
    sed -e "s/@VERSION@/$VERSION/g" -e "s/@QT_DEB_VERSION@/$QT_DEB_VERSION/g" -e "s/@QT_DSC@/$QT_DSC/g" \
        -e "s/@QT_SOURCE_FILES@/${QT_FILES[*]}/g" "$RELEASE/relink-README.txt" >"$KIT/README.txt"
    cp "$QT/share/txloader/qt-build.txt" "$QT/mingw-w64-x86_64.cmake" "$KIT/"
    (cd "$KIT" && find . -type f -printf '%P\n' | LC_ALL=C sort | xargs sha256sum >"$WORK/kit.sums" && mv "$WORK/kit.sums" SHA256SUMS)
    pack "$OUT/$NAME-relink.zip" "$KIT"
    for f in "${QT_FILES[@]}"; do
        cmp -s "$QT_SOURCE/$f" "$OUT/$f" 2>/dev/null || cp "$QT_SOURCE/$f" "$OUT/$f"
    done
    FILES+=("$NAME-relink.zip" "${QT_FILES[@]}")
fi

(cd "$OUT" && sha256sum "${FILES[@]}" >SHA256SUMS && stat -c '-- %10s  %n' "${FILES[@]}" SHA256SUMS)
