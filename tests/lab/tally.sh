# shellcheck shell=bash disable=SC2034
# Checks say what failed and go on: FAILED counts the failures, PASSED the checks that held,
# SKIPPED those a platform cannot show (rows.sh), and a script ends with lab_tally's line
# "N passed, N failed".

PASSED=0
FAILED=0
SKIPPED=0

fail() {
    echo "FAIL: $*" >&2
    FAILED=$((FAILED + 1))
}
pass() { PASSED=$((PASSED + 1)); }

# check DESCRIPTION COMMAND...: COMMAND holds (a pass), or DESCRIPTION is the failure.
check() { if "${@:2}"; then pass; else fail "$1"; fi; }
# check_not DESCRIPTION COMMAND...: COMMAND does not hold (a pass), or DESCRIPTION is the failure.
check_not() { if "${@:2}"; then fail "$1"; else pass; fi; }

# lab_tally: the closing line (with ", N skipped" when some were); true when nothing failed and
# something was checked: a script that checked nothing has not passed.
lab_tally() {
    local skipped=""
    ((SKIPPED == 0)) || skipped=", $SKIPPED skipped"
    ((PASSED + FAILED > 0)) || fail "nothing was checked$skipped"
    echo "$PASSED passed, $FAILED failed$skipped"
    [ "$FAILED" = 0 ]
}
