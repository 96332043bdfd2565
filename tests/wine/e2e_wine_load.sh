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
FIRMWARE="$SRC/firmware/ZRM-40K_06_V48.xfw"
TABLE="$SRC/src/version/resource/TXLoader.version"
PC=txl-wpc-$$ DEV=txl-wdev-$$
WORK=$(mktemp -d /tmp/txl-e2e-wine.XXXXXX)
FAILED=0
. "$SRC/scripts/lab.sh"
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEDEBUG=-all,err+all WINEDLLOVERRIDES=mscoree,mshtml=

wine_cleanup() {
    # The wineserver of this prefix runs in the PC namespace; end it before the namespace goes.
    wineserver -k 2>/dev/null || true
    lab_cleanup
}
trap wine_cleanup EXIT

fail() { echo "FAIL: $*" >&2; FAILED=1; }
log() { echo "-- $*"; }

[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 1; }
for tool in ip Xvfb xdotool import convert tesseract wine wineserver sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }
done

table_value() { sed -n '/^\[strings\]/,/^\[/{s/^'"$1"' *= *//p}' "$TABLE"; }

# ocr WINDOW X Y W H: the text in that part of the window, read by tesseract from a 4x enlargement.
ocr() {
    import -window "$1" -crop "$4x$5+$2+$3" +repage "$WORK/crop.png"
    convert "$WORK/crop.png" -resize 400% -colorspace Gray "$WORK/crop4.png"
    tesseract "$WORK/crop4.png" - -l rus+eng --psm 7 2>/dev/null | tr -s ' \n' ' '
}

# client_origin WINDOW CLIENT_W CLIENT_H: sets CX, CY to where the client area starts. Without a
# window manager Wine draws the frame and caption itself, inside the X window.
client_origin() {
    local w h
    eval "$(xdotool getwindowgeometry --shell "$1")"
    w=$WIDTH h=$HEIGHT
    CX=$(((w - $2) / 2))
    CY=$((h - $3 - CX))
}

lab_xvfb 1024x768
log "namespaces $PC (192.168.0.10) and $DEV (192.168.0.200)"
lab_cable "$PC" "$DEV"
lab_device "$DEV" "$SIM" --once --idle-timeout 120

# Sockets belong to the wineserver: a server of this prefix must not survive from elsewhere.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# Without address randomization, as wine-run.sh explains.
ip netns exec "$PC" setarch -R wine "$EXE" >"$WORK/txloader.log" 2>&1 &
TOOL_PID=$!
TOOL_LOG=$WORK/txloader.log
PIDS+=("$TOOL_PID")

# The repository's image is a placeholder, and the caption says so.
lab_tool_window '^Tervix BootLoader: ZRM-40K_06_V48 \(тестовый образ\)$' 60 || exit 1
WIN=$TOOL_WINDOW
sleep 1
client_origin "$WIN" 436 203
log "main window $WIN: $(xdotool getwindowgeometry "$WIN" | tr '\n' ' '), client at $CX,$CY"
import -window root "$OUT/wine-start.png"

log "click \"Загрузить...\" (93 x 25 at 316,88) with the default address"
xdotool mousemove --window "$WIN" $((CX + 362)) $((CY + 100)) click 1
lab_delivered 90 "$FIRMWARE" || FAILED=1
sleep 2 # the tool waits 500 ms before it shows the outcome
import -window root "$OUT/wine-upload.png"
log "screenshot $OUT/wine-upload.png"

# The status bar is the bottom 19 pixels of the client area; its second panel holds the status.
STATUS=$(ocr "$WIN" "$CX" $((CY + 203 - 20)) 436 20)
log "status bar reads: $STATUS"
grep -q 'Статус: OK' <<<"$STATUS" || fail "the status bar does not read \"Статус: OK\""
kill -0 "$TOOL_PID" 2>/dev/null || fail "the tool ended after the upload"

log "click the help button (29 x 25 at 20,144)"
xdotool mousemove --window "$WIN" $((CX + 34)) $((CY + 156)) click 1
if lab_wait_for 20 lab_window_shown '^About$'; then
    ABOUT=$(lab_find_window '^About$')
    sleep 1
    import -window root "$OUT/wine-about.png"
    import -window "$ABOUT" "$OUT/wine-about-box.png"
    log "screenshots $OUT/wine-about.png, $OUT/wine-about-box.png"
    convert "$OUT/wine-about-box.png" -resize 400% -colorspace Gray "$WORK/about4.png"
    ABOUT_TEXT=$(tesseract "$WORK/about4.png" - -l eng 2>/dev/null | tr -s ' \n' ' ')
    log "About box reads: $ABOUT_TEXT"
    for key in ProductName LegalCopyright; do
        value=$(table_value "$key")
        grep -qF -- "$value" <<<"$ABOUT_TEXT" || fail "the About box does not show $key \"$value\""
    done
    # Tesseract drops the small dots of this font ("1.0.0.3" reads "1003"): the digits must be
    # there in order, dots optional. The texts themselves are checked exactly by tst_verinf.
    version=$(table_value FileVersion)
    grep -qE "Version: ${version//./\\.?}( |$)" <<<"$ABOUT_TEXT" ||
        fail "the About box does not show FileVersion \"$version\""
    xdotool windowfocus --sync "$ABOUT" 2>/dev/null || true
    xdotool key Return || true
    lab_wait_for 10 lab_window_gone '^About$' || fail "Enter did not close the About box"
else
    fail "the help button did not open the About box"
fi

log "click \"Выйти\""
xdotool mousemove --window "$WIN" $((CX + 362)) $((CY + 156)) click 1
lab_wait_exit "$TOOL_PID" 20 || fail "the tool did not end cleanly after \"Выйти\" (status $LAB_STATUS)"

if [ "$FAILED" = 0 ]; then
    echo "PASS: TXLoader.exe under Wine delivered the image byte for byte, status OK, About shows the .rc version"
else
    cat "$WORK/txloader.log"
fi
exit "$FAILED"
