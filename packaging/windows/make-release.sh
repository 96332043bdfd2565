#!/usr/bin/env bash
# The Windows release from a cross build (scripts/windows.sh --release calls it):
#   TXLoader-V-win64.zip         stripped TXLoader.exe, README.txt, LICENSES/
#   TXLoader-V-win64.msi         the same files, installed per machine (TXLoader.wxs)
#   TXLoader-V-win64-relink.zip  the objects and link command that LGPL-3 asks for
#   TXLoader-V-win64.debug       the debug information split off the .exe (not for users)
#   SHA256SUMS
# V is the file version in the executable's version resource.
#
# usage: make-release.sh BUILD_DIR QT_PREFIX OUT_DIR [EXE]
#   EXE: another unstripped TXLoader.exe linked from BUILD_DIR's objects (the relinking kit,
#   for example); the release of such an executable has no kit of its own.
# Signing: TXL_SIGN_PFX (PKCS#12 file) and TXL_SIGN_PASS_FILE (its password) sign the .exe
# before it is packed and then the .msi; TXL_SIGN_TIMESTAMP_URL adds an RFC 3161 timestamp.
# SOURCE_DATE_EPOCH (default: the commit's time) dates every file inside the packages.
set -euo pipefail

BUILD=$(realpath "$1")
QT=$(realpath "$2")
mkdir -p "$3"
OUT=$(realpath "$3")
EXE=$(realpath "${4:-$BUILD/TXLoader.exe}")
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
PY=/usr/bin/python3 # Debian's, with python3-pefile
NOTICES=$QT/share/txloader/notices
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$SRC" log -1 --format=%ct 2>/dev/null || echo 0)}
export TZ=UTC

VERSION=$("$PY" -c '
import sys, pefile
pe = pefile.PE(sys.argv[1], fast_load=True)
pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
f = pe.VS_FIXEDFILEINFO[0]
print("%d.%d.%d.%d" % (f.FileVersionMS >> 16, f.FileVersionMS & 0xFFFF, f.FileVersionLS >> 16, f.FileVersionLS & 0xFFFF))
' "$EXE")
NAME=TXLoader-$VERSION-win64
WORK=$(mktemp -d /tmp/txl-release.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
STAGE=$WORK/stage
mkdir -p "$STAGE/LICENSES"
rm -f "$OUT/$NAME".* "$OUT/$NAME"-relink.zip "$OUT/SHA256SUMS"
[ -f "$NOTICES/index.json" ] || { echo "no Qt notices in $NOTICES (scripts/windows.sh collects them)" >&2; exit 1; }
[ -f "$BUILD/TXLoader.map" ] || { echo "no link map $BUILD/TXLoader.map" >&2; exit 1; }
echo "-- $NAME from $EXE"

# Debug information goes to a file of its own; the debug link lets a debugger find it by name.
# strip and objcopy stamp the PE header with SOURCE_DATE_EPOCH, or the clock without it: 0 keeps
# the linker's empty stamp.
SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-objcopy --only-keep-debug "$EXE" "$OUT/$NAME.debug"
chmod 644 "$OUT/$NAME.debug"
SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip --strip-all -o "$STAGE/TXLoader.exe" "$EXE"
(cd "$OUT" && SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-objcopy --add-gnu-debuglink="$NAME.debug" "$STAGE/TXLoader.exe")

sign() {
    local args=(-pkcs12 "$TXL_SIGN_PFX" -readpass "$TXL_SIGN_PASS_FILE" -h sha256 -n "Tervix BootLoader")
    [ -z "${TXL_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$TXL_SIGN_TIMESTAMP_URL")
    osslsigncode sign "${args[@]}" -in "$1" -out "$1.signed" >/dev/null
    mv "$1.signed" "$1"
}
if [ -n "${TXL_SIGN_PFX:-}" ]; then
    [ -r "${TXL_SIGN_PASS_FILE:-}" ] || { echo "TXL_SIGN_PASS_FILE must name the certificate's password file" >&2; exit 1; }
    sign "$STAGE/TXLoader.exe"
    echo "-- TXLoader.exe signed (SHA-256${TXL_SIGN_TIMESTAMP_URL:+, timestamp from $TXL_SIGN_TIMESTAMP_URL})"
else
    echo "-- unsigned release: TXL_SIGN_PFX is not set"
fi

# README.txt and the licence texts, with Windows line ends.
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
sed "s/@VERSION@/$VERSION/g" "$HERE/README.txt" >"$WORK/README.txt"
printf '\xef\xbb\xbf' >"$STAGE/README.txt" # Notepad then reads it as UTF-8 whatever the locale
crlf "$WORK/README.txt" "$WORK/README.crlf" && cat "$WORK/README.crlf" >>"$STAGE/README.txt"
crlf "$NOTICES/LGPL-3.0-only.txt" "$STAGE/LICENSES/LGPL-3.0.txt"
crlf "$NOTICES/GPL-3.0-only.txt" "$STAGE/LICENSES/GPL-3.0.txt"
"$PY" "$HERE/qt_notices.py" select "$NOTICES" "$BUILD/TXLoader.map" "$QT" "$STAGE/LICENSES/Qt-third-party.txt"
# -static links MinGW-w64's C runtime and winpthreads in as well; their terms ask for the notice.
{
    echo "TXLoader.exe also contains parts of the MinGW-w64 runtime (its C runtime start-up code and"
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
pack "$OUT/$NAME.zip" "$STAGE"

# The installer (TXLoader.wxs says why its version is packed). wixl 0.101 fills the package code and the dates from the clock and stores its
# strings in code page 1252, dropping Cyrillic; msibuild (msitools, like wixl) puts right what
# it leaves. Product code: one per version; package code: one per content.
cp "$SRC/src/ui/icon/TXLoader.ico" "$WORK/TXLoader.ico"
UPGRADE_CODE=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$HERE/TXLoader.wxs")
PRODUCT_CODE=$("$PY" -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), "product " + sys.argv[2])).upper())' \
    "$UPGRADE_CODE" "$VERSION")
PACKAGE_CODE=$(cd "$STAGE" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum |
    cat - "$HERE/TXLoader.wxs" "$WORK/TXLoader.ico" | sha256sum | cut -c1-32 |
    sed 's/\(........\)\(....\)\(....\)\(....\)\(............\)/\1-\2-\3-\4-\5/' | tr a-f A-F)
IFS=. read -r V1 V2 V3 V4 <<<"$VERSION"
if [ "$V1" -gt 255 ] || [ "$V2" -gt 255 ] || [ "$V3" -gt 255 ] || [ "$V4" -gt 255 ]; then
    echo "version $VERSION: each field must stay below 256 to fit a package version" >&2
    exit 1
fi
MSI_VERSION=$V1.$V2.$((V3 * 256 + V4))
SIZE_KB=$(du -sk "$STAGE" | cut -f1)
find "$STAGE" "$WORK/TXLoader.ico" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
# wixl takes the files by paths relative to where it runs.
(cd "$WORK" && wixl -a x64 -o "$NAME.msi" -D Version="$MSI_VERSION" -D DisplayVersion="$VERSION" \
    -D ProductCode="$PRODUCT_CODE" -D SizeKB="$SIZE_KB" -D Stage=stage -D Icon=TXLoader.ico "$HERE/TXLoader.wxs")
STAMP=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y/%m/%d %H:%M:%S')
printf '\r\n\r\n1251\t_ForceCodepage\r\n' >"$WORK/_ForceCodepage.idt"
printf 'PropertyId\tValue\r\ni2\tl255\r\n_SummaryInformation\tPropertyId\r\n1\t1251\r\n7\tx64;1049\r\n9\t{%s}\r\n12\t%s\r\n13\t%s\r\n' \
    "$PACKAGE_CODE" "$STAMP" "$STAMP" >"$WORK/_SummaryInformation.idt"
msibuild "$WORK/$NAME.msi" -i "$WORK/_ForceCodepage.idt"
DOWNGRADE=$("$PY" -c 'import sys, xml.etree.ElementTree as T
print(T.parse(sys.argv[1]).find(".//{http://schemas.microsoft.com/wix/2006/wi}MajorUpgrade").get("DowngradeErrorMessage"))' \
    "$HERE/TXLoader.wxs")
msibuild "$WORK/$NAME.msi" -q "UPDATE \`LaunchCondition\` SET \`Description\` = '$DOWNGRADE' WHERE \`Condition\` = 'NOT WIX_DOWNGRADE_DETECTED'"
msibuild "$WORK/$NAME.msi" -i "$WORK/_SummaryInformation.idt"
[ -z "${TXL_SIGN_PFX:-}" ] || sign "$WORK/$NAME.msi"
mv "$WORK/$NAME.msi" "$OUT/$NAME.msi"

# The relinking kit: the link command of BUILD_DIR's TXLoader.exe with its inputs.
if [ -z "${4:-}" ]; then
    KIT=$WORK/kit
    mkdir -p "$KIT"
    LINK=$(ninja -C "$BUILD" -t commands TXLoader.exe | tail -n1)
    "$PY" "$HERE/relink_kit.py" "$BUILD" "$QT" "$KIT" "$LINK"
    sed -e "s/@VERSION@/$VERSION/g" -e "s/@QT_VERSION@/$(basename "$QT" | cut -d- -f2)/g" \
        "$HERE/relink-README.txt" >"$KIT/README.txt"
    cp "$QT/share/txloader/qt-build.txt" "$KIT/qt-build.txt"
    (cd "$KIT" && find . -type f -printf '%P\n' | LC_ALL=C sort | xargs sha256sum >"$WORK/kit.sums" && mv "$WORK/kit.sums" SHA256SUMS)
    pack "$OUT/$NAME-relink.zip" "$KIT"
fi

FILES=("$NAME.zip" "$NAME.msi" "$NAME.debug")
[ ! -f "$OUT/$NAME-relink.zip" ] || FILES+=("$NAME-relink.zip")
(cd "$OUT" && sha256sum "${FILES[@]}" >SHA256SUMS && stat -c '-- %10s  %n' "${FILES[@]}" SHA256SUMS)
