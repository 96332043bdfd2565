#!/bin/bash
# on-atspi.sh COMMAND...: runs COMMAND as a screen-reader user runs the tool: on an X display
# (Xvfb) and a D-Bus session of its own, with the accessibility bus, a listener on it and Qt's
# bridge on (LAB_LISTENED_SH). The bus's socket is a file, as the display's is, so a command in
# a network namespace of its own (in-netns.sh) reaches both. Ends with COMMAND's status.
set -euo pipefail
WORK=$(mktemp -d /tmp/txl-atspi.XXXXXX)
. "$(dirname "$0")/../lab.sh"
trap lab_cleanup EXIT
lab_xvfb 1024x768
sed 's|unix:tmpdir=/tmp|unix:dir=/tmp|' /usr/share/dbus-1/session.conf >"$WORK/session.conf"
status=0
dbus-run-session --config-file="$WORK/session.conf" -- sh -c "$LAB_LISTENED_SH" "$WORK/events" "$(lab_listener)" "$@" ||
    status=$?
PIDS+=("$(cat "$WORK/events.pid")") # the listener outlives the session
grep -qx ready "$WORK/events" || { echo "no listener on the accessibility bus" >&2; exit 1; }
exit "$status"
