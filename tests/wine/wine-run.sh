#!/bin/bash
# Runs one Windows test program under Wine and passes its exit status on:
#   wine-run.sh PROGRAM.exe [ARGS...]      (WINEPREFIX and DISPLAY from the environment,
#                                          or the prefix ctest gives: lab_wine_ctest_prefix)
# The wineserver owns the program's sockets, so it has to run in this network namespace:
# a server of the same prefix left from an earlier run (maybe in another namespace) is ended
# first, and ours is ended after the program.
# TXL_HOST_PROGRAMS ("name=path ...") starts host_bridge.py here for the stand-ins in
# TXL_HOSTCMD_DIR, which the program finds through WINEPATH.
# Under Wine, QtTest writes nothing to standard output; the log goes to a file and is shown here.
set -u
. "$(dirname "$0")/../../scripts/lab.sh"
lab_wine_ctest_prefix
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
program=$1
shift
log=$(mktemp /tmp/txl-wine-log.XXXXXX)
bridge=
cleanup() {
    wineserver -k 2>/dev/null || true
    if [ -n "$bridge" ]; then
        kill "$bridge" 2>/dev/null || true
        wait "$bridge" 2>/dev/null || true
    fi
    rm -f "$log" "$log.port"
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
    python3 "$(dirname "$0")/host_bridge.py" --port-file "$log.port" "${allow[@]}" &
    bridge=$!
    for _ in $(seq 100); do [ -s "$log.port" ] && break; sleep 0.05; done
    [ -s "$log.port" ] || { echo "host_bridge.py did not start" >&2; exit 1; }
    TXL_HOST_BRIDGE_PORT=$(cat "$log.port")
    export TXL_HOST_BRIDGE_PORT WINEPATH="Z:${TXL_HOSTCMD_DIR:?}"
fi

wine "$program" -o "Z:$log,txt" "$@"
status=$?
cat "$log"
exit "$status"
