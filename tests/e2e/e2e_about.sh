#!/bin/bash
# The About box of the real TXLoader under Xvfb: the executable carries the
# version block the box reads, the help button opens the box, Enter and the OK
# button close it, and the tool keeps running. The tool runs in a network
# namespace of its own with one interface (10.79.0.1/24) and no device; the
# load button is never pressed.
#
# usage: e2e_about.sh TXLOADER SOURCE_DIR OUTPUT_DIR
set -euo pipefail

TXLOADER=$1 SRC=$2 OUT=$3
TABLE="$SRC/src/version/resource/TXLoader.version"
NS=txl-about-$$ LINK=txa$$
WORK=$(mktemp -d /tmp/txl-about.XXXXXX)
FAILED=0
. "$SRC/scripts/lab.sh"
trap lab_cleanup EXIT

fail() { echo "FAIL: $*" >&2; FAILED=1; }
log() { echo "-- $*"; }

[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 1; }
for tool in ip Xvfb xdotool import strings readelf; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }
done

# table_value KEY: the text stored under KEY in the [strings] section of the version table.
table_value() {
    sed -n '/^\[strings\]/,/^\[/{s/^'"$1"' *= *//p}' "$TABLE"
}

log "version block in $TXLOADER"
SECTIONS=$(readelf -S "$TXLOADER")
grep -q '\.txl_version' <<<"$SECTIONS" || fail "no .txl_version section"
# The block holds its texts in UTF-16.
TEXTS=$(strings -el "$TXLOADER")
for key in ProductName FileVersion LegalCopyright Comments; do
    value=$(table_value "$key")
    [ -n "$value" ] || { fail "the table has no $key"; continue; }
    grep -qxF -- "$value" <<<"$TEXTS" || fail "$key \"$value\" is not in the executable"
    grep -qxF -- "$key" <<<"$TEXTS" || fail "key $key is not in the executable"
done

lab_xvfb 1024x768

# One usable interface, so the tool starts without asking which one.
lab_namespace "$NS"
ip -n "$NS" link add "$LINK" type veth peer name "${LINK}p"
ip -n "$NS" addr add 10.79.0.1/24 dev "$LINK"
ip -n "$NS" link set "$LINK" up
ip -n "$NS" link set "${LINK}p" up

lab_tool "$NS" "$TXLOADER" "$WORK/txloader.log"
MAIN_TITLE='^Tervix BootLoader: ZRM-40K_06_V48 \(тестовый образ\)$'
lab_tool_window "$MAIN_TITLE" 20 || exit 1
WIN=$TOOL_WINDOW
lab_window_gone '^About$' || fail "the About box is visible at start"
sleep 0.5

# open_about: clicks the help button (29 x 25 at 20,144) and waits for the box.
open_about() {
    xdotool mousemove --window "$WIN" 34 156 click 1
    lab_wait_for 10 lab_window_shown '^About$' || return 1
    ABOUT=$(lab_find_window '^About$')
}

log "click the help button"
if ! open_about; then
    cat "$WORK/txloader.log"
    fail "the help button did not open the About box"
else
    GEOMETRY=$(xdotool getwindowgeometry "$ABOUT" | sed -n 's/.*Geometry: //p')
    log "About box $ABOUT: $GEOMETRY"
    [ "$GEOMETRY" = 293x240 ] || fail "About box is $GEOMETRY, not 293x240"
    sleep 0.5
    import -window root "$OUT/e2e-about.png"
    import -window "$ABOUT" "$OUT/e2e-about-box.png"
    log "screenshots $OUT/e2e-about.png, $OUT/e2e-about-box.png"

    log "Enter closes it"
    xdotool windowfocus --sync "$ABOUT" || true
    xdotool key Return || true
    lab_wait_for 10 lab_window_gone '^About$' || fail "Enter did not close the About box"

    log "again, closed with the OK button (74 x 25 at 206,202)"
    if open_about; then
        sleep 0.3
        xdotool mousemove --window "$ABOUT" 243 214 click 1
        lab_wait_for 10 lab_window_gone '^About$' || fail "the OK button did not close the About box"
    else
        fail "the help button did not open the About box a second time"
    fi
fi
kill -0 "$TOOL_PID" 2>/dev/null || fail "the tool ended with the About box"

log "click \"Выйти\""
xdotool mousemove --window "$WIN" 362 156 click 1
lab_wait_exit "$TOOL_PID" 10 || fail "the tool did not end cleanly after \"Выйти\" (status $LAB_STATUS)"

if [ "$FAILED" = 0 ]; then
    echo "PASS: version block in the executable; the help button opens the About box, Enter and OK close it"
fi
exit "$FAILED"
