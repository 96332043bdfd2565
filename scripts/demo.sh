#!/bin/bash
# Shows TXLoader loading its firmware into a simulated device.
#
# Installs what is missing (Debian packages), builds, then sets up two network
# namespaces joined by a veth pair: the PC (192.168.0.10/24) and the device
# (the simulator at the default address 192.168.0.200). The tool opens in the
# PC namespace:
#   - on your display if there is one: press "Загрузить..." and watch the
#     status bar say "Статус: OK"; close the window to finish;
#   - otherwise under Xvfb, where the script presses the button itself, waits
#     for the device to report the image, and saves a screenshot.
# Everything it created is removed when it ends. Needs root.
#
# usage: scripts/demo.sh [--headless] [--no-setup] [--build-dir DIR]
#   --headless       use Xvfb even when a display is available
#   --no-setup       do not install packages or build; use an existing build
#   --build-dir DIR  build directory (default: build in the source tree)
set -euo pipefail

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$SRC/build
HEADLESS=0
SETUP=1
while [ $# -gt 0 ]; do
    case $1 in
    --headless) HEADLESS=1 ;;
    --no-setup) SETUP=0 ;;
    --build-dir) BUILD=$(realpath -m "$2"); shift ;;
    -h | --help) sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null; then
        echo "Network namespaces need root; asking sudo." >&2
        exec sudo --preserve-env=DISPLAY,XAUTHORITY "$0" "$@"
    fi
    echo "Run this as root: it creates network namespaces." >&2
    exit 1
fi
# Under sudo the X cookie is still the invoking user's.
if [ -n "${SUDO_USER:-}" ] && [ -z "${XAUTHORITY:-}" ]; then
    XAUTHORITY=$(getent passwd "$SUDO_USER" | cut -d: -f6)/.Xauthority
    export XAUTHORITY
fi

say() { printf '\n== %s\n' "$*"; }

if [ "$SETUP" = 1 ]; then
    . "$SRC/scripts/packages.sh"
    # shellcheck disable=SC2086
    txl_ensure_packages $TXL_BUILD_PACKAGES $TXL_RUN_PACKAGES
    say "building in $BUILD"
    [ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$SRC" -B "$BUILD" -G Ninja >/dev/null
    cmake --build "$BUILD" --target TXLoader tftpsim
fi
TXLOADER=$BUILD/TXLoader
SIM=$BUILD/tools/tftpsim/tftpsim
for f in "$TXLOADER" "$SIM"; do
    [ -x "$f" ] || { echo "missing $f: build first (drop --no-setup)" >&2; exit 1; }
done

PC=txl-pc-$$ DEV=txl-dev-$$
LINK_PC=txd$$p LINK_DEV=txd$$d
WORK=$(mktemp -d /tmp/txl-demo.XXXXXX)
PIDS=()
cleanup() {
    local i pid
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do # newest first: the X server goes last
        pid=${PIDS[i]}
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    ip netns del "$PC" 2>/dev/null || true
    ip netns del "$DEV" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() { # wait_for SECONDS COMMAND...: polls every 0.1 s
    local tries=$(($1 * 10))
    shift
    while ((tries-- > 0)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
running() { kill -0 "$1" 2>/dev/null; }
stopped() { ! kill -0 "$1" 2>/dev/null; }

say "network: $PC 192.168.0.10/24 <-> $DEV 192.168.0.200/24"
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

# Use the caller's display only if the PC namespace can reach it (a TCP
# display, such as an SSH-forwarded one, lives in the host's network).
if [ "$HEADLESS" = 0 ] && [ -n "${DISPLAY:-}" ] &&
    ip netns exec "$PC" xdotool getdisplaygeometry >/dev/null 2>&1; then
    say "simulated device listening on 192.168.0.200:69"
    ip netns exec "$DEV" "$SIM" --bind 192.168.0.200 --each --idle-timeout 86400 \
        2> >(grep -v '^listening' >&2) &
    PIDS+=($!)
    sleep 0.3
    say "TXLoader is open on $DISPLAY: press \"Загрузить...\"; close the window when done"
    echo "Each complete upload prints the device's summary below; the image's sha256 is"
    echo "$(sha256sum "$SRC/firmware/ZRM-40K_06_V48.xfw" | cut -d' ' -f1)."
    ip netns exec "$PC" "$TXLOADER" 2>/dev/null || true
    say "done"
    exit 0
fi

# No display: a virtual one, and the script plays the engineer.
for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { DISPLAY_NUM=$n; break; }
done
export DISPLAY=":$DISPLAY_NUM"
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
wait_for 10 xdotool getdisplaygeometry || { cat "$WORK/xvfb.log"; echo "Xvfb did not start" >&2; exit 1; }
say "no display here: running on Xvfb $DISPLAY"

ip netns exec "$DEV" "$SIM" --bind 192.168.0.200 --once --idle-timeout 120 >"$WORK/sim.json" 2>"$WORK/sim.err" &
SIM_PID=$!
PIDS+=($SIM_PID)
wait_for 10 grep -q listening "$WORK/sim.err" || { cat "$WORK/sim.err"; exit 1; }

ip netns exec "$PC" env QT_QPA_PLATFORM=xcb "$TXLOADER" >"$WORK/txloader.log" 2>&1 &
TOOL_PID=$!
PIDS+=($TOOL_PID)
window_id() { xdotool search --onlyvisible --name '^Tervix BootLoader' 2>/dev/null | head -n1; }
has_window() { [ -n "$(window_id)" ]; }
wait_for 20 has_window || { cat "$WORK/txloader.log"; echo "TXLoader did not open" >&2; exit 1; }
WIN=$(window_id)
sleep 0.5

say "pressing \"Загрузить...\" (address 192.168.0.200, as the tool proposes)"
xdotool mousemove --window "$WIN" 362 100 click 1
wait_for 60 stopped "$SIM_PID" || { echo "the device got no complete image within 60 s" >&2; exit 1; }
sleep 1.5 # the tool shows the outcome 500 ms after the last reply

SHOT=$BUILD/demo-screenshot.png
import -window "$WIN" "$SHOT"
SUMMARY=$(tail -n1 "$WORK/sim.json")
EXPECTED=$(sha256sum "$SRC/firmware/ZRM-40K_06_V48.xfw" | cut -d' ' -f1)
say "the device reports"
echo "$SUMMARY"
if grep -q '"complete":true' <<<"$SUMMARY" && grep -q "\"sha256\":\"$EXPECTED\"" <<<"$SUMMARY"; then
    echo "The image arrived complete and byte for byte (sha256 $EXPECTED)."
    RESULT=0
else
    echo "The image did NOT arrive intact (expected sha256 $EXPECTED)." >&2
    RESULT=1
fi
echo "Screenshot of the window (status bar shows the outcome): $SHOT"

xdotool mousemove --window "$WIN" 362 156 click 1 # "Выйти"
wait_for 10 stopped "$TOOL_PID" || echo "TXLoader did not close; stopping it" >&2
exit "$RESULT"
