#!/bin/bash
# End to end, by keyboard, as at the bench: TXLoader under Xvfb in a "PC" namespace
# (192.168.0.10/24) cabled to the simulated device at 192.168.0.200. A listener on the
# accessibility bus hears what a screen reader would: each outcome and a timeout's reason. Then
# About by keyboard and mouse, "Выйти", and a start with no usable interface, which says so.
#
# usage: e2e_load.sh TXLOADER TFTPSIM BUILD_DIR (screenshots go to BUILD_DIR)
set -euo pipefail

TXLOADER=$1 SIM=$2 OUT=$3
PC=txl-pc-$$ DEV=txl-dev-$$ NONE=txl-none-$$
. "$(dirname "$0")/../lab.sh"
lab_start e2e "$OUT"

lab_needs ip Xvfb xdotool import readelf strings dbus-run-session sha256sum

log "version block in $TXLOADER"
check "no .txl_version section" grep -q '\.txl_version' <<<"$(readelf -S "$TXLOADER")"
TEXTS=$(strings -el "$TXLOADER") # the block holds its texts in UTF-16
for key in ProductName FileVersion LegalCopyright Comments; do
    value=$(table_value "$key")
    [ -n "$value" ] || { fail "the table has no $key"; continue; }
    check "$key \"$value\" is not in the executable" grep -qxF -- "$value" <<<"$TEXTS"
done

lab_xvfb 1024x768
log "namespaces $PC (192.168.0.10) and $DEV (192.168.0.200)"
lab_cable "$PC" "$DEV"
lab_device "$DEV" "$SIM" --once --idle-timeout 90
lab_listened_tool "$TXLOADER" ip netns exec "$PC" || exit 1
log "main window $WIN: $(xdotool getwindowgeometry "$WIN" | tr '\n' ' ')"
keys() { xdotool windowfocus --sync "$WIN" 2>/dev/null || true; xdotool key --delay 60 "$@"; }

log "by keyboard: Tab to the address, type it, Shift+Tab back, Space loads"
keys Tab ctrl+a
xdotool type --delay 60 192.168.0.200
keys shift+Tab space
check "the image by keyboard" lab_delivered 60 "$TXL_IMAGE"
lab_announced "name|Статус: OK" "the outcome \"Статус: OK\" was not announced"
import -window root "$OUT/e2e-upload.png"

log "the link goes down: Space again times out at once, and the reason is told"
ip -n "$PC" link set "$LAB_PC_LINK" down
keys space
lab_announced "name|Статус: таймаут" "the timeout was not announced"
check "the reason was not announced as the status panel's description: $(cat "$WORK/events")" \
    grep -q -- "description|Интерфейс 192.168.0.10 выключен" "$WORK/events"
sleep 0.5
import -window root "$OUT/e2e-reason.png"
check_not "the tool ended after the uploads" lab_stopped "$TOOL_PID"

# open_about COMMAND...: opens the About box with COMMAND (keys or a click) and waits for it.
open_about() {
    "$@"
    lab_wait_for 10 lab_window_shown '^About$' || return 1
    ABOUT=$(lab_find_window '^About$')
}
log "About by keyboard: three Tabs to the help button, Space; Enter closes it"
if open_about keys Tab Tab Tab space; then
    GEOMETRY=$(xdotool getwindowgeometry "$ABOUT" | sed -n 's/.*Geometry: //p')
    check "About box is $GEOMETRY, not 293x240" [ "$GEOMETRY" = 293x240 ]
    sleep 0.5
    import -window "$ABOUT" "$OUT/e2e-about-box.png"
    lab_enter "$ABOUT"
    check "Enter did not close the About box" lab_wait_for 10 lab_window_gone '^About$'
else
    fail "Tab and Space did not open the About box"
fi
log "About by mouse; its OK button closes it"
if open_about lab_click "$WIN" help; then
    sleep 0.3
    lab_click "$ABOUT" ok
    check "the OK button did not close the About box" lab_wait_for 10 lab_window_gone '^About$'
else
    fail "the help button did not open the About box"
fi

log "\"Выйти\" by keyboard: the help button has the focus, Shift+Tab goes back to it"
keys shift+Tab space
if lab_wait_exit "$TOOL_PID" 10; then pass; else fail "the tool did not end cleanly after \"Выйти\" (status $LAB_STATUS)"; fi

log "no usable interface: namespace $NONE has loopback only"
lab_namespace "$NONE"
lab_tool "$NONE" "$TXLOADER" "$WORK/txloader-none.log"
if ! lab_tool_window '^TXLoader$' 20; then
    fail "no window at a start without interfaces"
else
    sleep 0.5
    import -window root "$OUT/e2e-no-interface.png"
    lab_enter "$TOOL_WINDOW"
    if lab_wait_exit "$TOOL_PID" 10; then pass; else fail "the tool did not end cleanly after the message was confirmed (status $LAB_STATUS)"; fi
fi

lab_tally
