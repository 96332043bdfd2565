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
LINK_PC=txe$$p LINK_DEV=txe$$d
WORK=$(mktemp -d /tmp/txl-e2e.XXXXXX)
PIDS=()
FAILED=0

fail() { echo "FAIL: $*" >&2; FAILED=1; }
log() { echo "-- $*"; }

cleanup() {
    local i pid
    # Newest first, so the X server goes last.
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        pid=${PIDS[i]}
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for ns in "$PC" "$DEV" "$NONE"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 1; }
for tool in ip Xvfb xdotool import sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }
done

# wait_for SECONDS COMMAND...: polls every 0.1 s until COMMAND succeeds.
wait_for() {
    local tries=$(($1 * 10))
    shift
    while ((tries-- > 0)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# A display of our own; its socket is a file, so every network namespace reaches it.
for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { DISPLAY_NUM=$n; break; }
done
export DISPLAY=":$DISPLAY_NUM"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
wait_for 10 xdotool getdisplaygeometry || { cat "$WORK/xvfb.log"; echo "Xvfb did not start"; exit 1; }

log "namespaces $PC (192.168.0.10) and $DEV (192.168.0.200)"
ip netns add "$PC"
ip netns add "$DEV"
ip link add "$LINK_PC" type veth peer name "$LINK_DEV"
ip link set "$LINK_PC" netns "$PC"
ip link set "$LINK_DEV" netns "$DEV"
ip -n "$PC" link set lo up
ip -n "$PC" addr add 192.168.0.10/24 dev "$LINK_PC"
ip -n "$PC" link set "$LINK_PC" up
ip -n "$DEV" link set lo up
ip -n "$DEV" addr add 192.168.0.200/24 dev "$LINK_DEV"
ip -n "$DEV" link set "$LINK_DEV" up

ip netns exec "$DEV" "$SIM" --bind 192.168.0.200 --once --idle-timeout 90 \
    >"$WORK/sim.json" 2>"$WORK/sim.err" &
SIM_PID=$!
PIDS+=($SIM_PID)
wait_for 10 grep -q listening "$WORK/sim.err" || { cat "$WORK/sim.err"; echo "simulator did not start"; exit 1; }

ip netns exec "$PC" env QT_QPA_PLATFORM=xcb "$TXLOADER" >"$WORK/txloader.log" 2>&1 &
TOOL_PID=$!
PIDS+=($TOOL_PID)
find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
window_shown() { [ -n "$(find_window "$1")" ]; }
wait_for 20 window_shown '^Tervix BootLoader: ZRM-40K_06_V48$' || true
WIN=$(find_window '^Tervix BootLoader: ZRM-40K_06_V48$')
if [ -z "$WIN" ]; then
    cat "$WORK/txloader.log"
    echo "FAIL: the main window did not appear"
    exit 1
fi
log "main window $WIN: $(xdotool getwindowgeometry "$WIN" | tr '\n' ' ')"
sleep 0.5

log "click \"Загрузить...\" with the default address"
xdotool mousemove --window "$WIN" 362 100 click 1
if wait_for 60 bash -c "! kill -0 $SIM_PID"; then
    wait "$SIM_PID" || fail "simulator exit status $?"
else
    fail "the device did not receive a complete image within 60 s"
fi
sleep 1.5 # the tool waits 500 ms before it shows the outcome
import -window root "$OUT/e2e-upload.png"
log "screenshot $OUT/e2e-upload.png"
SUMMARY=$(tail -n1 "$WORK/sim.json")
log "device: $SUMMARY"
EXPECTED=$(sha256sum "$FIRMWARE" | cut -d' ' -f1)
grep -q '"complete":true' <<<"$SUMMARY" || fail "transfer not complete"
grep -q "\"sha256\":\"$EXPECTED\"" <<<"$SUMMARY" || fail "image differs from $FIRMWARE ($EXPECTED)"
grep -q '"file":"ZRM-40K_06_V48.xfw"' <<<"$SUMMARY" || fail "wrong file name announced"
kill -0 "$TOOL_PID" 2>/dev/null || fail "the tool ended after the upload"

log "click \"Выйти\""
xdotool mousemove --window "$WIN" 362 156 click 1
if wait_for 10 bash -c "! kill -0 $TOOL_PID"; then
    STATUS=0
    wait "$TOOL_PID" || STATUS=$?
    [ "$STATUS" = 0 ] || fail "the tool exited with status $STATUS"
else
    fail "the tool did not end after \"Выйти\""
fi

log "no usable interface: namespace $NONE has loopback only"
ip netns add "$NONE"
ip -n "$NONE" link set lo up
ip netns exec "$NONE" env QT_QPA_PLATFORM=xcb "$TXLOADER" >"$WORK/txloader-none.log" 2>&1 &
NONE_PID=$!
PIDS+=($NONE_PID)
wait_for 20 window_shown '^TXLoader$' || true
BOX=$(find_window '^TXLoader$')
if [ -z "$BOX" ]; then
    cat "$WORK/txloader-none.log"
    fail "no message box appeared"
else
    sleep 0.5
    import -window root "$OUT/e2e-no-interface.png"
    log "screenshot $OUT/e2e-no-interface.png"
    # Focus it, then type as the keyboard does (not as a sent event).
    xdotool windowfocus --sync "$BOX" || true
    xdotool key Return || true
    if wait_for 10 bash -c "! kill -0 $NONE_PID"; then
        STATUS=0
        wait "$NONE_PID" || STATUS=$?
        [ "$STATUS" = 0 ] || fail "the tool exited with status $STATUS"
    else
        fail "the tool kept running after the message was confirmed"
    fi
fi

if [ "$FAILED" = 0 ]; then
    echo "PASS: image delivered byte for byte; no-interface start ends the program"
fi
exit "$FAILED"
