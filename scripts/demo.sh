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
. "$SRC/tests/lab.sh"
lab_start demo "$BUILD"
trap 'exit 130' INT TERM

say "network: $PC 192.168.0.10/24 <-> $DEV 192.168.0.200/24"
lab_cable "$PC" "$DEV"

# Use the caller's display only if the PC namespace can reach it (a TCP
# display, such as an SSH-forwarded one, lives in the host's network).
if [ "$HEADLESS" = 0 ] && [ -n "${DISPLAY:-}" ] &&
    ip netns exec "$PC" xdotool getdisplaygeometry >/dev/null 2>&1; then
    lab_device "$DEV" "$SIM" --each --idle-timeout 86400
    say "simulated device listening on 192.168.0.200:69"
    tail -n +1 -f "$WORK/sim.json" &
    PIDS+=($!)
    say "TXLoader is open on $DISPLAY: press \"Загрузить...\"; close the window when done"
    echo "Each complete upload prints the device's summary below; the image's sha256 is"
    echo "$(sha256sum "$TXL_IMAGE" | cut -d' ' -f1)."
    ip netns exec "$PC" "$TXLOADER" 2>/dev/null || true
    say "done"
    exit 0
fi

# No display: a virtual one, and the script plays the engineer.
lab_xvfb 800x600
say "no display here: running on Xvfb $DISPLAY"
lab_device "$DEV" "$SIM" --once --idle-timeout 120

lab_tool "$PC" "$TXLOADER" "$WORK/txloader.log"
lab_tool_window "$LAB_TITLE" 20 || exit 1
WIN=$TOOL_WINDOW
sleep 0.5

say "pressing \"Загрузить...\" (address 192.168.0.200, as the tool proposes)"
lab_click "$WIN" load
lab_wait_for 60 lab_stopped "$SIM_PID" || { echo "the device got no complete image within 60 s" >&2; exit 1; }
sleep 1.5 # the tool shows the outcome 500 ms after the last reply

SHOT=$BUILD/demo-screenshot.png
import -window "$WIN" "$SHOT"
EXPECTED=$(sha256sum "$TXL_IMAGE" | cut -d' ' -f1)
say "the device reports"
tail -n1 "$WORK/sim.json"
if lab_image_arrived "$TXL_IMAGE"; then
    echo "The image arrived complete and byte for byte (sha256 $EXPECTED)."
    RESULT=0
else
    echo "The image did NOT arrive intact (expected sha256 $EXPECTED)." >&2
    RESULT=1
fi
echo "Screenshot of the window (status bar shows the outcome): $SHOT"

lab_click "$WIN" close
lab_wait_for 10 lab_stopped "$TOOL_PID" || echo "TXLoader did not close; stopping it" >&2
exit "$RESULT"
