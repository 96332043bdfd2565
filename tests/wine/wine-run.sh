#!/bin/bash
# Runs one Windows test program under Wine and passes its exit status on:
#   wine-run.sh PROGRAM.exe [ARGS...]      (WINEPREFIX and DISPLAY from the environment,
#                                          or a free slot of scripts/windows.sh: lab_wine_slot)
# The wineserver owns the program's sockets, so it has to run in this network namespace:
# a server of the same prefix left from an earlier run (maybe in another namespace) is ended
# first, and ours is ended after the program; where several runs follow one another in one
# namespace (tests/common/rows.sh: TXL_RUNS is first, then next, and end with no program to end
# it) it stays between them. Never in
# the namespace tests/common/in-netns.sh left (TXL_OUTER_NETNS): the program cannot read /proc
# itself to see where it is.
# Under Wine, QtTest writes nothing to standard output; the log goes to a file and is shown here,
# then Wine's own messages. A program that fails or leaves no log gets a last line saying how
# it ended and whether it wrote its log. -datatags and -functions print as they are.
set -u
. "$(dirname "$0")/../../scripts/lab.sh"
lab_wine_slot || exit 1
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
# Wine's errors stay on: a program that dies before its first line has only them to tell why.
export WINEDEBUG=${WINEDEBUG:--all,err+all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
[ "${TXL_RUNS:-}" != end ] || { wineserver -k 2>/dev/null; exit 0; }
program=$1
shift
work=$(mktemp -d /tmp/txl-wine-run.XXXXXX)
# Not made here: only the program creates it, so "not written" means it never got that far.
log=$work/test.log
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
# Debian's Wine has no preloader to keep 0x7ffe0000 free for the shared user data, and Linux
# puts a program's heap anywhere in the GB above its end (wine64 ends at 0x7d005000): now and
# then a Wine process dies before main with "failed to map the shared user data: c0000018".
# Without address randomization the heap starts where the loader ends, clear of that page;
# every process the program starts inherits this.
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
