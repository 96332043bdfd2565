#!/bin/bash
# rows.sh PROGRAM [FUNCTION...]: runs a QtTest program (only those functions, if named) in a
# network namespace of its own (in-netns.sh), the lab making what its rows need, the program only
# observing. A row asks with a lab line (uitest::LabRow, tests/common/DataRow.h; listed by
# -datatags into TXL_LAB_LIST): it runs alone after its line, and then the namespace must be as
# it was (links, addresses, UDP sockets); so does every row with TXL_ROWS_ALONE=1; the rest run
# together. TXL_LAB, the suite's lab line, comes first in every run; TXL_RUN runs the program
# (wine-run.sh). Ends with "N passed, N failed" of QtTest's totals.
set -u
here=$(cd "$(dirname "$0")" && pwd)
[ -n "${TXL_ROWS_IN:-}" ] || TXL_ROWS_IN=1 exec "$here/in-netns.sh" bash "$here/rows.sh" "$@"
program=$1
shift
WORK=$(mktemp -d /tmp/txl-rows.XXXXXX) out=$WORK/out
. "$here/../lab.sh"
trap 'lab_cleanup; [ -z "${TXL_RUN:-}" ] || TXL_RUNS=end "$TXL_RUN"' EXIT
lab_wine_slot || exit 1 # one prefix and display for all the runs of a Windows program

# Every row ("Class function [tag]"), and the lab lines ("function<TAB>tag<TAB>line").
TXL_LAB_LIST=$WORK/labs TXL_RUNS=first ${TXL_RUN:-} "$program" -datatags >"$WORK/rows" ||
    { cat "$WORK/rows"; echo "FAIL: $program did not list its rows"; exit 1; }
touch "$WORK/labs"
alone=() labs=() together=()
while read -r _ function tag; do
    [ $# = 0 ] || [[ " $* " == *" $function "* ]] || continue
    lab=$(awk -F'\t' -v f="$function" -v t="$tag" '$1 == f && $2 == t { print $3; exit }' "$WORK/labs")
    if [ -n "$lab" ] || [ "${TXL_ROWS_ALONE:-0}" = 1 ]; then
        alone+=("$function${tag:+:$tag}") labs+=("$lab")
    else
        together+=("$function${tag:+:$tag}")
    fi
done < <(tr -d '\r' <"$WORK/rows") # a Windows program ends its lines with CR LF

# run LAB ROW...: one run after its lab line, whose things then go; its totals join the tally.
state() { ip -o link show | cut -d: -f2; ip -o addr show | awk '{ print $2, $4 }'; ss -Hnua | awk '{ print $4 }'; }
clean=$(state)
run() {
    local status=0 p f
    (
        # shellcheck disable=SC2030,SC2034 # the run's own, in its subshell
        WORK=$(mktemp -d /tmp/txl-row.XXXXXX) PIDS=() LAB_NAMESPACES=() LAB_UNDO=()
        trap lab_cleanup EXIT
        export TXL_LAB_DIR=$WORK
        trap 'echo "FAIL: the lab line failed: ${TXL_LAB:-} $1"' ERR
        set -e
        eval "${TXL_LAB:-}"$'\n'"$1"
        set +e
        trap - ERR
        TXL_RUNS=next ${TXL_RUN:-} "$program" "${@:2}"
    ) >"$out" 2>&1 || status=$?
    cat "$out"
    read -r p f < <(sed -n 's/^Totals: \([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2/p' "$out" | tail -n1)
    PASSED=$((PASSED + ${p:-0})) FAILED=$((FAILED + ${f:-0}))
    [ "$status" = 0 ] || [ "${f:-0}" != 0 ] || fail "$program ${*:2}: exit status $status"
    lab_wait_for 5 is_clean || fail "the lab left behind: $(diff <(echo "$clean") <(state) | grep '^>')"
}
is_clean() { [ "$(state)" = "$clean" ]; }
[ ${#together[@]} = 0 ] || run "" "${together[@]}"
for i in "${!alone[@]}"; do run "${labs[i]}" "${alone[i]}"; done
lab_tally
