# shellcheck shell=bash disable=SC2034 # sourced: its variables are for the scripts that source it
# The lab, sourced by the demo, the tests' scripts and the benchmark; its parts: lab/net.sh
# (namespaces, links, the simulated device), lab/x.sh (an X display, input, windows, a screen
# reader), lab/wine.sh (Windows programs under Wine), lab/tally.sh (checks and the closing count).
# The caller keeps PIDS (processes to end, oldest first), LAB_NAMESPACES, LAB_UNDO (commands that
# take back what was made here) and WORK, and calls lab_cleanup from its EXIT trap.

PIDS=()
LAB_NAMESPACES=()
LAB_UNDO=()
LAB_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
declare -F log >/dev/null || log() { echo "-- $*"; } # a script may keep its own

lab_cleanup() {
    local i
    # Newest first, so the X server goes last.
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        kill "${PIDS[i]}" 2>/dev/null || true
        wait "${PIDS[i]}" 2>/dev/null || true
    done
    for ((i = ${#LAB_UNDO[@]} - 1; i >= 0; i--)); do
        eval "${LAB_UNDO[i]}" 2>/dev/null || true
    done
    for i in "${LAB_NAMESPACES[@]}"; do
        ip netns del "$i" 2>/dev/null || true
    done
    [ -z "${WORK:-}" ] || rm -rf "$WORK"
}

# lab_wait_for SECONDS COMMAND...: polls until COMMAND succeeds, every 10 ms for the first
# 0.1 s (most things the lab waits for are there by then), then every 0.1 s.
lab_wait_for() {
    local tries=$(($1 * 10)) quick=10
    shift
    while ((quick-- > 0)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.01
    done
    while ((tries-- > 0)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

lab_stopped() { ! kill -0 "$1" 2>/dev/null; }

# lab_wait_exit PID SECONDS: waits for PID to end; true when it ended with status 0. LAB_STATUS
# holds the status, or "running".
lab_wait_exit() {
    LAB_STATUS=running
    lab_wait_for "$2" lab_stopped "$1" || return 1
    LAB_STATUS=0
    wait "$1" || LAB_STATUS=$?
    [ "$LAB_STATUS" = 0 ]
}

# lab_needs TOOL...: root (network namespaces) and these tools, or says what is missing and exits.
lab_needs() {
    [ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 1; }
    local tool
    for tool in "$@"; do command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }; done
}

# lab_start NAME BUILD_DIR: a work folder WORK (/tmp/txl-NAME.*), lab_cleanup at the end, lab_image.
lab_start() {
    WORK=$(mktemp -d "/tmp/txl-$1.XXXXXX")
    trap lab_cleanup EXIT
    lab_image "$2"
}

# lab_image BUILD_DIR: what the build says of its image (image.env: TXL_IMAGE, TXL_IMAGE_SIZE,
# TXL_IMAGE_NAME, TXL_CAPTION) and product (product.env: TXL_PRODUCT_NAME, TXL_PUBLISHER,
# TXL_CONTACT, TXL_VERSION); LAB_TITLE, the caption as a pattern for lab_find_window.
lab_image() {
    # shellcheck disable=SC1091
    . "$1/image.env"
    # shellcheck disable=SC1091
    . "$1/product.env"
    LAB_BUILD=$1
    LAB_TITLE="^$(sed 's/[][\.*^$()+?{}|]/\\&/g' <<<"$TXL_CAPTION")\$"
}

# table_value KEY: the text under KEY in the [strings] section of the build's version table.
table_value() {
    sed -n '/^\[strings\]/,/^\[/{s/^'"$1"' *= *//p}' "$LAB_BUILD/facts/TXLoader.exe.version"
}

for lab_part in net x wine tally; do
    # shellcheck disable=SC1090
    . "$LAB_SRC/tests/lab/$lab_part.sh"
done
unset lab_part
