#!/bin/bash
# End to end, as a person at the bench would do it: the real TXLoader under
# Xvfb in a "PC" network namespace (192.168.0.10/24), the simulated device in
# a "device" namespace at the default address 192.168.0.200, linked by a veth
# pair. The load button is clicked with the mouse; the device must receive the
# image byte for byte. Then the tool is started where no interface is usable:
# it must say so and end when the message is confirmed.
#
# usage: e2e_load.sh TXLOADER TFTPSIM SOURCE_DIR OUTPUT_DIR
set -euo pipefail

TXLOADER=$1 SIM=$2 SRC=$3 OUT=$4
FIRMWARE="$SRC/firmware/ZRM-40K_06_V48.xfw"
PC=txl-pc-$$ DEV=txl-dev-$$ NONE=txl-none-$$
WORK=$(mktemp -d /tmp/txl-e2e.XXXXXX)
FAILED=0
. "$SRC/scripts/lab.sh"
trap lab_cleanup EXIT

fail() { echo "FAIL: $*" >&2; FAILED=1; }
log() { echo "-- $*"; }

[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 1; }
for tool in ip Xvfb xdotool import sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }
done

lab_xvfb 1024x768
log "namespaces $PC (192.168.0.10) and $DEV (192.168.0.200)"
lab_cable "$PC" "$DEV"
lab_device "$DEV" "$SIM" --once --idle-timeout 90

lab_tool "$PC" "$TXLOADER" "$WORK/txloader.log"
lab_tool_window '^Tervix BootLoader: ZRM-40K_06_V48 \(тестовый образ\)$' 20 || exit 1
WIN=$TOOL_WINDOW
log "main window $WIN: $(xdotool getwindowgeometry "$WIN" | tr '\n' ' ')"
sleep 0.5

log "click \"Загрузить...\" with the default address"
xdotool mousemove --window "$WIN" 362 100 click 1
lab_delivered 60 "$FIRMWARE" || FAILED=1
sleep 1.5 # the tool waits 500 ms before it shows the outcome
import -window root "$OUT/e2e-upload.png"
log "screenshot $OUT/e2e-upload.png"
kill -0 "$TOOL_PID" 2>/dev/null || fail "the tool ended after the upload"

log "click \"Выйти\""
xdotool mousemove --window "$WIN" 362 156 click 1
lab_wait_exit "$TOOL_PID" 10 || fail "the tool did not end cleanly after \"Выйти\" (status $LAB_STATUS)"

log "no usable interface: namespace $NONE has loopback only"
lab_namespace "$NONE"
lab_tool "$NONE" "$TXLOADER" "$WORK/txloader-none.log"
NONE_PID=$TOOL_PID
if ! lab_tool_window '^TXLoader$' 20; then
    FAILED=1
else
    BOX=$TOOL_WINDOW
    sleep 0.5
    import -window root "$OUT/e2e-no-interface.png"
    log "screenshot $OUT/e2e-no-interface.png"
    # Focus it, then type as the keyboard does (not as a sent event).
    xdotool windowfocus --sync "$BOX" || true
    xdotool key Return || true
    lab_wait_exit "$NONE_PID" 10 || fail "the tool did not end cleanly after the message was confirmed (status $LAB_STATUS)"
fi

if [ "$FAILED" = 0 ]; then
    echo "PASS: image delivered byte for byte; no-interface start ends the program"
fi
exit "$FAILED"
