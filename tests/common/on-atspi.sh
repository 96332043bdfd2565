#!/bin/bash
# Runs a command as a screen-reader user runs the tool: on an X display of its own (Xvfb), in a
# D-Bus session of its own with the accessibility bus and its registry, a listener registered
# there, and Qt's accessibility bridge on (scripts/lab.sh: LAB_LISTENED_SH). The session's
# socket is a file, as the display's is, so a command that enters a network namespace of its
# own (tests/common/in-netns.sh) still reaches both.
#
# usage: on-atspi.sh COMMAND [ARGS...]; ends with COMMAND's status.
set -euo pipefail
WORK=$(mktemp -d /tmp/txl-atspi.XXXXXX)
. "$(dirname "$0")/../../scripts/lab.sh"
trap lab_cleanup EXIT

lab_xvfb 1024x768
sed 's|<listen>unix:tmpdir=/tmp</listen>|<listen>unix:dir=/tmp</listen>|' /usr/share/dbus-1/session.conf \
    >"$WORK/session.conf"
grep -q 'unix:dir=/tmp' "$WORK/session.conf" || { echo "no session bus address to change" >&2; exit 1; }
status=0
dbus-run-session --config-file="$WORK/session.conf" -- sh -c "$LAB_LISTENED_SH" "$WORK/events" "$(lab_listener)" "$@" ||
    status=$?
[ ! -s "$WORK/events.pid" ] || PIDS+=("$(cat "$WORK/events.pid")") # the listener outlives the session
exit "$status"
