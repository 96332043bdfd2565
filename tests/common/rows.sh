#!/bin/bash
# rows.sh PROGRAM [FUNCTION | FUNCTION:TAG]...: runs a QtTest program's rows (all, those of the
# functions named, or the one row named) in network namespaces of their own (in-netns.sh), the lab
# making what they need, the program only observing. A row asks with a lab line (uitest::LabRow,
# tests/common/DataRow.h; listed by -datatags into TXL_LAB_LIST): it runs alone after its line,
# and then its namespace must be as it was (links, addresses, UDP sockets); so does every row with
# TXL_ROWS_ALONE=1; the rest run together. Up to TXL_ROWS_JOBS (1) runs go at once, each in a
# namespace (and /run/netns) of its own, as the lab's names are fixed, each printed whole when it
# ends; TXL_ROWS_WITH starts each (on-atspi.sh, whose display must be made outside it). Under Wine
# (TXL_RUN, wine-run.sh) they run one by one in one namespace, where the slot's wineserver stays.
# TXL_LAB, the suite's lab line, comes first in every run. Ends with "N passed, N failed" of the
# rows; a name that matches no row, a row the program did not report on and a selection that ran
# nothing are failures.
set -u
here=$(cd "$(dirname "$0")" && pwd)
[ -z "${TXL_RUN:-}" ] || [ -n "${TXL_ROWS_IN:-}" ] || TXL_ROWS_IN=1 exec "$here/in-netns.sh" bash "$here/rows.sh" "$@"
program=$1
shift
. "$here/../lab.sh"

state() { ip -o link show | cut -d: -f2; ip -o addr show | awk '{ print $2, $4 }'; ss -Hnua | awk '{ print $4 }'; }
is_clean() { [ "$(state)" = "$clean" ]; }

# run OUT LAB ROW...: one run of the program in this namespace after LAB, whose things then go;
# its output in OUT, and in OUT.end its exit status and what it left behind.
run() {
    local out=$1 lab=$2 status=0 clean left=""
    shift 2
    clean=$(state)
    (
        # shellcheck disable=SC2030,SC2034 # the run's own, in its subshell
        WORK=$(mktemp -d /tmp/txl-row.XXXXXX) PIDS=() LAB_NAMESPACES=() LAB_UNDO=()
        trap lab_cleanup EXIT
        export TXL_LAB_DIR=$WORK
        trap 'echo "FAIL: the lab line failed: ${TXL_LAB:-} $lab"' ERR
        set -e
        eval "${TXL_LAB:-}"$'\n'"$lab"
        set +e
        trap - ERR
        # shellcheck disable=SC2086 # a command of its own
        TXL_RUNS=next ${TXL_RUN:-} "$program" "$@"
    ) >"$out" 2>&1 || status=$?
    lab_wait_for 5 is_clean || left=$(diff <(echo "$clean") <(state) | grep '^>' | tr '\n' ' ')
    echo "$status $left" >"$out.end"
}
if [ "${TXL_ROWS_IN:-}" = row ]; then # one run, in a namespace of its own
    run "$@"
    exit
fi

WORK=$(mktemp -d /tmp/txl-rows.XXXXXX)
declare -A running=() # pid: run
end_runs() { local pid; for pid in "${!running[@]}"; do kill "$pid" 2>/dev/null; wait "$pid"; done; }
trap 'end_runs; lab_cleanup; [ -z "${TXL_RUN:-}" ] || TXL_RUNS=end "$TXL_RUN"' EXIT
lab_wine_slot || exit 1 # one prefix and display for all the runs of a Windows program

# Every row ("Class function [tag]"), and the lab lines ("function<TAB>tag<TAB>line").
in=("$here/in-netns.sh")
[ -z "${TXL_RUN:-}" ] || in=("$TXL_RUN") # already in one
TXL_LAB_LIST=$WORK/labs TXL_RUNS=first "${in[@]}" "$program" -datatags >"$WORK/listed" ||
    { cat "$WORK/listed"; echo "FAIL: $program did not list its rows"; exit 1; }
touch "$WORK/labs"
tr -d '\r' <"$WORK/listed" >"$WORK/rows" # a Windows program ends its lines with CR LF

# The runs: each a lab line and its rows, one a line; the first holds the rows run together.
declare -A asked=()
for name in "$@"; do asked[$name]=0; done
run_lab=("") run_rows=("")
class=""
while read -r listed function tag; do
    class=$listed row=$function${tag:+:$tag}
    if [ $# != 0 ]; then
        name=$row
        [ -n "${asked[$name]+1}" ] || name=$function
        [ -n "${asked[$name]+1}" ] || continue
        asked[$name]=$((asked[$name] + 1))
    fi
    lab=$(awk -F'\t' -v f="$function" -v t="$tag" '$1 == f && $2 == t { print $3; exit }' "$WORK/labs")
    if [ -n "$lab" ] || [ "${TXL_ROWS_ALONE:-0}" = 1 ]; then
        run_lab+=("$lab") run_rows+=("$row")
    else
        run_rows[0]+=${run_rows[0]:+$'\n'}$row
    fi
done <"$WORK/rows"
for name in "$@"; do
    [ "${asked[$name]}" != 0 ] || fail "no row of $(basename "$program") is named '$name' (FUNCTION or FUNCTION:TAG)"
done
# A lab line that names no row would go unrun: its data function gave LabRow another's name.
while IFS=$'\t' read -r function tag _; do
    grep -qxF "$class $function${tag:+ $tag}" "$WORK/rows" || fail "a lab line for no row: $function($tag)"
done <"$WORK/labs"
((FAILED == 0)) || { lab_tally; exit; }

# tally I: run I's output, whole, and what became of each of its rows: what the program's first
# line on it says (PASS, SKIP, FAIL! or XPASS), or, with no such line, that it did not run.
tally() {
    local i=$1 out=$WORK/run$1 status=ended left="" outcome row failed=0 rows named
    mapfile -t rows <<<"${run_rows[i]}"
    named=$(printf '%s; ' "${rows[@]:0:3}")
    ((${#rows[@]} <= 3)) || named+="and $((${#rows[@]} - 3)) more; "
    echo "-- ${#rows[@]} row(s): $named$((($(date +%s%N) - run_start[i]) / 1000000)) ms"
    tr -d '\r' <"$out"
    [ ! -f "$out.end" ] || read -r status left <"$out.end"
    while IFS=$'\t' read -r outcome row; do
        case $outcome in
        PASS) pass ;;
        SKIP) SKIPPED=$((SKIPPED + 1)) ;;
        none) fail "$row: the program did not report on it" && failed=1 ;;
        *) FAILED=$((FAILED + 1)) failed=1 ;; # the program said why
        esac
    done < <(CLASS=$class ROWS=${run_rows[i]} awk '
        BEGIN { n = split(ENVIRON["ROWS"], row, "\n")
                for (k = 1; k <= n; k++) {
                    f = row[k]; t = ""
                    if (index(f, ":")) { t = substr(f, index(f, ":") + 1); f = substr(f, 1, index(f, ":") - 1) }
                    id[k] = ENVIRON["CLASS"] "::" f "(" t ")"
                } }
        { sub(/\r$/, "") }
        match($0, /^(PASS|SKIP|FAIL!|XPASS) +: /) {
            word = $1; rest = substr($0, RLENGTH + 1)
            for (k = 1; k <= n; k++)
                if ((rest == id[k] || index(rest, id[k] " ") == 1) && !(k in got)) got[k] = word
        }
        END { for (k = 1; k <= n; k++) print ((k in got) ? got[k] : "none") "\t" row[k] }' "$out")
    [ "$status" = 0 ] || ((failed)) || fail "${rows[*]}: exit status $status"
    [ -z "$left" ] || fail "the lab left behind: $left"
}

jobs=${TXL_ROWS_JOBS:-1}
[ -z "${TXL_RUN:-}" ] || jobs=1 # under Wine the runs share this namespace's wineserver
[ -n "${run_rows[0]}" ] || first=1
run_start=()
next=${first:-0}
for ((ended = next; ended < ${#run_rows[@]}; ended++)); do
    while ((next < ${#run_rows[@]} && ${#running[@]} < jobs)); do
        mapfile -t rows <<<"${run_rows[next]}"
        run_start[next]=$(date +%s%N)
        if [ -n "${TXL_RUN:-}" ]; then
            run "$WORK/run$next" "${run_lab[next]}" "${rows[@]}" &
        else
            # shellcheck disable=SC2086 # a command of its own
            TXL_ROWS_IN=row ${TXL_ROWS_WITH:-} "$here/in-netns.sh" bash "$here/rows.sh" "$program" "$WORK/run$next" \
                "${run_lab[next]}" "${rows[@]}" &
        fi
        running[$!]=$next
        next=$((next + 1))
    done
    finished=""
    wait -n -p finished "${!running[@]}"
    [ -n "$finished" ] || { fail "lost track of the runs"; break; }
    tally "${running[$finished]}"
    unset "running[$finished]"
done
lab_tally
