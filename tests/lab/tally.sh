# shellcheck shell=bash disable=SC2034
# Checks say what failed and go on: FAILED counts the failures, PASSED the checks that held, and a
# script ends with lab_tally's line "N passed, N failed".

PASSED=0
FAILED=0

fail() {
    echo "FAIL: $*" >&2
    FAILED=$((FAILED + 1))
}
pass() { PASSED=$((PASSED + 1)); }

# check DESCRIPTION COMMAND...: COMMAND holds (a pass), or DESCRIPTION is the failure.
check() { if "${@:2}"; then pass; else fail "$1"; fi; }
# check_not DESCRIPTION COMMAND...: COMMAND does not hold (a pass), or DESCRIPTION is the failure.
check_not() { if "${@:2}"; then fail "$1"; else pass; fi; }

# lab_tally: the closing line; true when nothing failed.
lab_tally() {
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" = 0 ]
}
