#!/bin/bash
# Runs one Windows test program under Wine and passes its exit status on:
#   wine-run.sh PROGRAM.exe [ARGS...]      (WINEPREFIX and DISPLAY from the environment,
#                                          or a free slot of scripts/windows.sh: lab_wine_slot)
# The wineserver owns the program's sockets, so it has to run in this network namespace:
# a server of the same prefix left from an earlier run (maybe in another namespace) is ended
# first, and ours is ended after the program.
# TXL_HOST_PROGRAMS ("name=path ...") starts host_bridge.py here for the stand-ins in
# TXL_HOSTCMD_DIR, which the program finds through WINEPATH.
# Under Wine, QtTest writes nothing to standard output; the log goes to a file and is shown here,
# then Wine's own messages. A program that fails or leaves no log gets a last line saying how
# it ended and whether it wrote its log.
set -u
. "$(dirname "$0")/../../scripts/lab.sh"
lab_wine_slot || exit 1
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
# Wine's errors stay on: a program that dies before its first line has only them to tell why.
export WINEDEBUG=${WINEDEBUG:--all,err+all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
program=$1
shift
work=$(mktemp -d /tmp/txl-wine-run.XXXXXX)
# Not made here: only the program creates it, so "not written" means it never got that far.
log=$work/test.log
bridge=
cleanup() {
    wineserver -k 2>/dev/null || true
    if [ -n "$bridge" ]; then
        kill "$bridge" 2>/dev/null || true
        wait "$bridge" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# The namespace the program must not be in: our caller's (in-netns.sh made ours).
TXL_OUTER_NETNS=$(readlink "/proc/$PPID/ns/net" || true)
export TXL_OUTER_NETNS

if [ -n "${TXL_HOST_PROGRAMS:-}" ]; then
    allow=()
    for p in $TXL_HOST_PROGRAMS; do allow+=(--allow "$p"); done
    python3 "$(dirname "$0")/host_bridge.py" --port-file "$work/port" "${allow[@]}" &
    bridge=$!
    lab_wait_for 5 test -s "$work/port" || { echo "host_bridge.py did not start" >&2; exit 1; }
    TXL_HOST_BRIDGE_PORT=$(cat "$work/port")
    export TXL_HOST_BRIDGE_PORT WINEPATH="Z:${TXL_HOSTCMD_DIR:?}"
fi

started=$(date +%s%N)
# Debian's Wine has no preloader to keep 0x7ffe0000 free for the shared user data, and Linux
# puts a program's heap anywhere in the GB above its end (wine64 ends at 0x7d005000): now and
# then a Wine process dies before main with "failed to map the shared user data: c0000018".
# Without address randomization the heap starts where the loader ends, clear of that page;
# the stand-ins and every other process the program starts inherit this.
setarch -R wine "$program" -o "Z:$log,txt" "$@" 2>"$work/wine.err"
status=$?
ms=$((($(date +%s%N) - started) / 1000000))
[ ! -f "$log" ] || cat "$log"
if [ -s "$work/wine.err" ]; then
    echo "-- standard error (the program's and Wine's, WINEDEBUG=$WINEDEBUG):"
    sed 's/^/    | /' "$work/wine.err"
fi
if [ "$status" != 0 ] || [ ! -s "$log" ]; then
    written="not written"
    [ ! -f "$log" ] || written="written ($(stat -c %s "$log") bytes)"
    echo "wine-run: $(basename "$program") ended after $((ms / 1000)).$(printf %03d $((ms % 1000))) s," \
        "Wine's exit status $status, log $written"
fi
exit "$status"
