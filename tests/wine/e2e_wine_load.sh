#!/bin/bash
# End to end on Windows terms: TXLoader.exe under Wine and Xvfb in a "PC" network namespace
# (192.168.0.10/24), the simulated device in a "device" namespace at 192.168.0.200. The load
# button is clicked with the mouse; the device must receive the image byte for byte and the
# status bar must read "Статус: OK". Then the help button opens the About box, which must
# show the version of the executable's .rc. Screenshots go to OUTPUT_DIR.
#
# usage: e2e_wine_load.sh TXLOADER.EXE TFTPSIM SOURCE_DIR OUTPUT_DIR   (WINEPREFIX set)
set -euo pipefail

EXE=$1 SIM=$2 SRC=$3 OUT=$4
PC=txl-wpc-$$ DEV=txl-wdev-$$
WORK=$(mktemp -d /tmp/txl-e2e-wine.XXXXXX)
. "$SRC/scripts/lab.sh"
lab_image "$OUT"
lab_wine_ctest_prefix
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEDEBUG=-all,err+all WINEDLLOVERRIDES=mscoree,mshtml=

wine_cleanup() {
    # The wineserver of this prefix runs in the PC namespace; end it before the namespace goes.
    wineserver -k 2>/dev/null || true
    lab_cleanup
}
trap wine_cleanup EXIT

[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 1; }
for tool in ip Xvfb xdotool import convert tesseract wine wineserver sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }
done

lab_xvfb 1024x768
log "namespaces $PC (192.168.0.10) and $DEV (192.168.0.200)"
lab_cable "$PC" "$DEV"
lab_device "$DEV" "$SIM" --once --idle-timeout 120

# Sockets belong to the wineserver: a server of this prefix must not survive from elsewhere.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
lab_wine_tool "$PC" "$WORK/txloader.log" "$EXE"

lab_wine_main "$LAB_TITLE" 60 || exit 1
log "main window $WIN: $(xdotool getwindowgeometry "$WIN" | tr '\n' ' '), client at $CX,$CY"
import -window root "$OUT/wine-start.png"

log "click \"Загрузить...\" (93 x 25 at 316,88) with the default address"
lab_click "$WIN" load
lab_delivered 90 "$TXL_IMAGE" || FAILED=1
sleep 2 # the tool waits 500 ms before it shows the outcome
import -window root "$OUT/wine-upload.png"
log "screenshot $OUT/wine-upload.png"

STATUS=$(lab_wine_status)
log "status bar reads: $STATUS"
lab_reads_ok "$STATUS" || fail "the status bar does not read \"Статус: OK\""
kill -0 "$TOOL_PID" 2>/dev/null || fail "the tool ended after the upload"

log "click the help button (29 x 25 at 20,144)"
ABOUT_TEXT=
lab_wine_about "$OUT/wine-about" || FAILED=1
log "screenshots $OUT/wine-about.png, $OUT/wine-about-box.png"
log "About box reads: $ABOUT_TEXT"
for key in ProductName LegalCopyright; do
    value=$(table_value "$key")
    grep -qF -- "$value" <<<"$ABOUT_TEXT" || fail "the About box does not show $key \"$value\""
done
# The texts themselves are checked exactly by tst_verinf.
version=$(table_value FileVersion)
lab_version_shown "$ABOUT_TEXT" "$version" || fail "the About box does not show FileVersion \"$version\""

log "click \"Выйти\""
lab_click "$WIN" close
lab_wait_exit "$TOOL_PID" 20 || fail "the tool did not end cleanly after \"Выйти\" (status $LAB_STATUS)"

if [ "$FAILED" = 0 ]; then
    echo "PASS: TXLoader.exe under Wine delivered the image byte for byte, status OK, About shows the .rc version"
else
    cat "$WORK/txloader.log"
fi
exit "$FAILED"
