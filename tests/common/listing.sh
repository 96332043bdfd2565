#!/bin/bash
# listing.sh PROGRAM [PART...]: what a QtTest program lists of itself, which CTest's tests and
# rows.sh go by. It has test functions (-functions); given the PARTS of txl_add_test (each the
# functions of one test, space-separated), every function is in exactly one part and every name in
# a part is a function: else a renamed function would fail only its part, and one in no part would
# never run. It lists rows (-datatags). And listing leaves nothing behind, as QtTest ends such a
# run by exit(), with the test object still alive: nothing in TMPDIR or beside the program (Linux;
# a Windows program under Wine, TXL_RUN, keeps its temporary files in the prefix). Runs in a
# network namespace of its own (in-netns.sh), as the data functions run.
set -u
here=$(cd "$(dirname "$0")" && pwd)
[ -n "${TXL_LISTING_IN:-}" ] || TXL_LISTING_IN=1 exec "$here/in-netns.sh" bash "$here/listing.sh" "$@"
program=$1
shift
. "$here/../lab.sh"
WORK=$(mktemp -d /tmp/txl-listing.XXXXXX)
trap 'lab_cleanup; [ -z "${TXL_RUN:-}" ] || TXL_RUNS=end "$TXL_RUN"' EXIT
lab_wine_slot || exit 1

# list OPTION: the program's listing in $WORK/listed; on Linux from a copy of its own, with a
# TMPDIR of its own.
runs=first
list() {
    local status=0
    # shellcheck disable=SC2086 # a command of its own
    TXL_LAB_LIST=$WORK/labs TXL_RUNS=$runs ${TXL_RUN:-} "$copy" "$1" >"$WORK/out" 2>"$WORK/err" || status=$?
    runs=next
    tr -d '\r' <"$WORK/out" >"$WORK/listed" # a Windows program ends its lines with CR LF
    [ "$status" = 0 ] || { cat "$WORK/err" >&2; fail "$(basename "$program") $1: exit status $status"; }
}
copy=$program
if [ -z "${TXL_RUN:-}" ]; then
    mkdir "$WORK/beside" "$WORK/tmp" && mkdir -m 700 "$WORK/run"
    copy=$WORK/beside/$(basename "$program")
    ln "$program" "$copy" 2>/dev/null || cp "$program" "$copy"
    export TMPDIR=$WORK/tmp XDG_RUNTIME_DIR=$WORK/run
fi

list -functions
mapfile -t functions < <(sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)()$/\1/p' "$WORK/listed")
check "$(basename "$program") lists no test functions" [ ${#functions[@]} -gt 0 ]
list -datatags
check "$(basename "$program") lists no rows" [ -s "$WORK/listed" ]

declare -A part_of=()
for ((part = 1; part <= $#; part++)); do
    read -ra names <<<"${!part}"
    check "part $part is empty" [ ${#names[@]} -gt 0 ]
    for name in "${names[@]}"; do
        if [[ " ${functions[*]} " != *" $name "* ]]; then
            fail "part $part names $name, which is no test function of $(basename "$program")"
        elif [ -n "${part_of[$name]:-}" ]; then
            fail "$name is in part ${part_of[$name]} and in part $part"
        else
            part_of[$name]=$part
            pass
        fi
    done
done
if [ $# != 0 ]; then
    for function in "${functions[@]}"; do
        [ -n "${part_of[$function]:-}" ] || fail "$function is in no part: no test runs it"
    done
fi

if [ -z "${TXL_RUN:-}" ]; then
    left=$(find "$WORK/tmp" "$WORK/run" "$WORK/beside" -mindepth 1 ! -path "$copy" -printf '%P ')
    check "the listing left behind: $left" [ -z "$left" ]
fi
lab_tally
