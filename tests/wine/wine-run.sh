#!/bin/bash
# wine-run.sh PROGRAM.exe [ARGS...]: runs a Windows test program under Wine (WINEPREFIX and DISPLAY
# from the environment, or a slot of scripts/windows.sh) and passes its exit status on.
# The wineserver owns the program's sockets, so it must run in this namespace, never in the one
# in-netns.sh left (TXL_OUTER_NETNS; the program cannot tell): a server of the prefix left
# elsewhere is ended before, ours after; between runs in one namespace (rows.sh: TXL_RUNS first,
# next, then end alone) it stays. QtTest under Wine writes only to its log file, shown here with
# Wine's messages, and a last line on how a failing or silent program ended.
set -u
. "$(dirname "$0")/../lab.sh"
lab_wine_slot || exit 1
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
# Wine's errors stay on: a program that dies before its first line has only them to tell why.
export WINEDEBUG=${WINEDEBUG:--all,err+all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
[ "${TXL_RUNS:-}" != end ] || { wineserver -k 2>/dev/null; exit 0; }
program=$1
shift
work=$(mktemp -d /tmp/txl-wine-run.XXXXXX)
log=$work/test.log # only the program makes it: "not written" says it never got that far
trap '[ -n "${TXL_RUNS:-}" ] || wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
if [ "$(readlink /proc/self/ns/net)" = "${TXL_OUTER_NETNS:-}" ]; then
    echo "wine-run: not in a network namespace of its own (tests/common/in-netns.sh)" >&2
    exit 1
fi
if [ "${TXL_RUNS:-}" != next ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
fi
case ${1:-} in -datatags | -functions)
    setarch -R wine "$program" "$@" 2>"$work/wine.err" || { cat "$work/wine.err" >&2 && exit 1; }
    exit ;;
esac

started=$(date +%s%N)
# Debian's Wine has no preloader to keep 0x7ffe0000 free for the shared user data, and Linux may
# put the heap on it ("failed to map the shared user data: c0000018"). Without address
# randomization, inherited by every child, the heap starts where the loader ends, clear of it.
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
