# shellcheck shell=bash disable=SC2034 # sourced: its variables are for the scripts that source it
# Sourced by the demo, the end-to-end tests and the benchmark: a PC and a
# device on a cable, each in a network namespace of its own, a private X
# display, the simulated device, and the tool's windows.
# The caller keeps PIDS (processes to end, oldest first), LAB_NAMESPACES and
# WORK, and calls lab_cleanup from its EXIT trap.

PIDS=()
LAB_NAMESPACES=()
LAB_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FAILED=0

# Checks say what failed and go on; FAILED counts them, and the script ends
# with exit "$FAILED" (or a status of its own when it counts passes too).
fail() {
    echo "FAIL: $*" >&2
    FAILED=$((FAILED + 1))
}
declare -F log >/dev/null || log() { echo "-- $*"; } # a script may keep its own

# lab_image BUILD_DIR: what the build says of the image it carries (its
# image.env): TXL_IMAGE, TXL_IMAGE_SIZE, TXL_IMAGE_NAME, TXL_CAPTION; of the
# product (its product.env): TXL_PRODUCT_NAME, TXL_PUBLISHER, TXL_CONTACT,
# TXL_VERSION; and LAB_TITLE, the caption as a pattern for lab_find_window.
lab_image() {
    # shellcheck disable=SC1091
    . "$1/image.env"
    # shellcheck disable=SC1091
    . "$1/product.env"
    LAB_BUILD=$1
    LAB_TITLE="^$(sed 's/[][\.*^$()+?{}|]/\\&/g' <<<"$TXL_CAPTION")\$"
}

# table_value KEY: the text under KEY in the [strings] section of the tool's version table,
# as lab_image's build filled it.
table_value() {
    sed -n '/^\[strings\]/,/^\[/{s/^'"$1"' *= *//p}' "$LAB_BUILD/facts/TXLoader.exe.version"
}

lab_cleanup() {
    local i
    # Newest first, so the X server goes last.
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        kill "${PIDS[i]}" 2>/dev/null || true
        wait "${PIDS[i]}" 2>/dev/null || true
    done
    for i in "${LAB_NAMESPACES[@]}"; do
        ip netns del "$i" 2>/dev/null || true
    done
    [ -z "${WORK:-}" ] || rm -rf "$WORK"
}

# lab_wait_for SECONDS COMMAND...: polls every 0.1 s until COMMAND succeeds.
lab_wait_for() {
    local tries=$(($1 * 10))
    shift
    while ((tries-- > 0)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

lab_stopped() { ! kill -0 "$1" 2>/dev/null; }

# lab_namespace NAME: a namespace with loopback up, removed by lab_cleanup.
lab_namespace() {
    ip netns add "$1"
    LAB_NAMESPACES+=("$1")
    ip -n "$1" link set lo up
}

# lab_cable PC DEV [PC_CIDR]: the PC at PC_CIDR (192.168.0.10/24) and the device at the
# default address 192.168.0.200/24, joined by a veth pair named after DEV; LAB_PC_LINK
# names the PC's end. PC may have a cable already: each further one is another card.
lab_cable() {
    local pc=$1 dev=$2 link
    link=txl$(cksum <<<"$dev" | cut -c1-7)
    [ -e "/run/netns/$pc" ] || lab_namespace "$pc"
    lab_namespace "$dev"
    ip link add "${link}p" type veth peer name "${link}d"
    ip link set "${link}p" netns "$pc"
    ip link set "${link}d" netns "$dev"
    ip -n "$pc" addr add "${3:-192.168.0.10/24}" dev "${link}p"
    ip -n "$pc" link set "${link}p" up
    ip -n "$dev" addr add 192.168.0.200/24 dev "${link}d"
    ip -n "$dev" link set "${link}d" up
    LAB_PC_LINK=${link}p
}

# lab_xvfb WIDTHxHEIGHT: starts a virtual display of our own and exports DISPLAY.
# Its socket is a file, so every network namespace reaches it.
# -displayfd: the server takes a free display number itself (no race with
# another lab picking the same one) and writes it down once it accepts clients.
# -noreset: by default the server resets whenever its last client leaves, and
# a client that connects during the reset is refused ("could not connect to
# display"); one tool ending and the next starting is exactly that moment.
lab_xvfb() {
    local number
    number=$(mktemp "$WORK/xvfb.XXXXXX")
    Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp -noreset 3>"$number" >"$number.log" 2>&1 &
    PIDS+=($!)
    if ! lab_wait_for 10 grep -q '^[0-9]' "$number"; then
        cat "$number.log" >&2
        echo "Xvfb did not start" >&2
        return 1
    fi
    DISPLAY=":$(head -n1 "$number")"
    export DISPLAY
    lab_wait_for 10 xdotool getdisplaygeometry || { cat "$number.log" >&2; echo "Xvfb does not answer on $DISPLAY" >&2; return 1; }
}

# lab_sim COMMAND...: starts the simulator (COMMAND, perhaps behind ip netns
# exec) in the background, its summaries in $WORK/sim.json and its messages in
# $WORK/sim.err, and waits until it listens. Sets SIM_PID.
lab_sim() {
    # The previous one's "listening" line must not pass for this one's.
    rm -f "$WORK/sim.json" "$WORK/sim.err"
    "$@" >"$WORK/sim.json" 2>"$WORK/sim.err" &
    SIM_PID=$!
    PIDS+=("$SIM_PID")
    lab_wait_for 10 grep -q '^listening ' "$WORK/sim.err" ||
        { cat "$WORK/sim.err" >&2; echo "simulator did not start" >&2; return 1; }
}

# lab_device NS SIM ARGS...: the simulated device at 192.168.0.200 in NS.
lab_device() { lab_sim ip netns exec "$1" "$2" --bind 192.168.0.200 "${@:3}"; }

# lab_click WINDOW CONTROL: clicks a control where the forms place it (96 dpi):
# load, close or help on the main window, ok on the About box. CX and CY say
# where the client area starts (under Wine the frame is drawn inside the X
# window: lab_client_origin).
lab_click() {
    local x y
    case $2 in
    load) x=362 y=100 ;; # "Загрузить...", 93 x 25 at 316,88
    close) x=362 y=156 ;; # "Выйти", 93 x 25 at 316,144
    help) x=34 y=156 ;; # the help glyph, 29 x 25 at 20,144
    ok) x=243 y=214 ;; # About's OK, 74 x 25 at 206,202
    *) echo "lab_click: no control $2" >&2 && return 1 ;;
    esac
    xdotool mousemove --window "$1" $((x + ${CX:-0})) $((y + ${CY:-0})) click 1
}

# What the D-Bus session of lab_listened_tool or tests/common/on-atspi.sh runs, as
# sh -c "$LAB_LISTENED_SH" EVENTS LISTENER COMMAND...: the accessibility listener (lab_listener)
# with its lines in EVENTS and its pid in EVENTS.pid, then, once it is registered, COMMAND with
# Qt's accessibility bridge on.
# shellcheck disable=SC2016 # expanded by that sh
LAB_LISTENED_SH='/usr/bin/python3 "$1" 120 >"$0" 2>"$0.err" & echo $! >"$0.pid"
    n=0
    until grep -qx ready "$0" || [ $n -ge 200 ]; do sleep 0.1; n=$((n + 1)); done
    shift
    QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb exec "$@"'
lab_listener() { echo "${LAB_LISTENER:-$LAB_SRC/tests/e2e/atspi_events.py}"; }

# lab_listened_tool PROGRAM RUN...: starts PROGRAM through RUN (ip netns exec NS, say) in a
# D-Bus session of its own with Qt's accessibility bridge on, and the accessibility listener
# on that bus from before it starts (LAB_LISTENED_SH): the bridge asks which events are wanted
# when it starts, a listener registered later is learned of in passing, and what the program
# announces before that is lost (1 run in 20 under load). Waits for the window LAB_TITLE; sets
# TOOL_PID, TOOL_LOG, WIN and LISTENER_PID.
lab_listened_tool() {
    "${@:2}" dbus-run-session -- sh -c "$LAB_LISTENED_SH" "$WORK/events" "$(lab_listener)" "$1" \
        >"$WORK/txloader.log" 2>&1 &
    TOOL_PID=$! TOOL_LOG=$WORK/txloader.log
    PIDS+=("$TOOL_PID")
    lab_tool_window "$LAB_TITLE" 20 || return 1
    WIN=$TOOL_WINDOW
    grep -qx ready "$WORK/events" || { cat "$WORK/events.err"; fail "no listener on the accessibility bus"; }
    LISTENER_PID=$(cat "$WORK/events.pid")
    PIDS+=("$LISTENER_PID")
}

# lab_heard LINE: the accessibility listener (tests/e2e/atspi_events.py, its output in
# $WORK/events) heard LINE, such as "name|Статус: OK".
lab_heard() { grep -qxF -- "$1" "$WORK/events"; }

# Empty when there is no such window (xdotool then fails, which must not end a set -e script).
lab_find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 || true; }
lab_window_shown() { [ -n "$(lab_find_window "$1")" ]; }
lab_window_gone() { [ -z "$(lab_find_window "$1")" ]; }

# lab_image_arrived FIRMWARE: the device's last summary says the image came complete and byte-exact.
lab_image_arrived() {
    local summary
    summary=$(tail -n1 "$WORK/sim.json")
    grep -q '"complete":true' <<<"$summary" &&
        grep -q "\"sha256\":\"$(sha256sum "$1" | cut -d' ' -f1)\"" <<<"$summary"
}

# lab_delivered SECONDS FIRMWARE: waits for the device of lab_device --once to
# end, then checks what it took: complete, byte for byte, under the image's
# file name. Says on standard error what went wrong and returns 1.
lab_delivered() {
    local status=0 summary
    if ! lab_wait_for "$1" lab_stopped "$SIM_PID"; then
        echo "FAIL: the device did not receive a complete image within $1 s" >&2
        return 1
    fi
    wait "$SIM_PID" || status=$?
    summary=$(tail -n1 "$WORK/sim.json")
    echo "-- device: $summary"
    [ "$status" = 0 ] || { echo "FAIL: simulator exit status $status" >&2; return 1; }
    lab_image_arrived "$2" || { echo "FAIL: the image is incomplete or differs from $2" >&2; return 1; }
    grep -q "\"file\":\"${TXL_IMAGE_NAME:-$(basename "$2")}\"" <<<"$summary" ||
        { echo "FAIL: wrong file name announced" >&2; return 1; }
}

# lab_tool NS EXECUTABLE LOG: starts the tool on the X display in NS; sets TOOL_PID.
lab_tool() {
    ip netns exec "$1" env QT_QPA_PLATFORM=xcb "$2" >"$3" 2>&1 &
    TOOL_PID=$! TOOL_LOG=$3
    PIDS+=("$TOOL_PID")
}

# lab_tool_window TITLE SECONDS: sets TOOL_WINDOW to the id of the tool's
# window TITLE once it is shown. When it does not show, says plainly why (the
# tool ended, with its status, or is still running), with the tool's log, and
# returns 1. Not for $(...): the status needs this shell's wait.
lab_tool_window() {
    lab_wait_for "$2" lab_window_or_end "$1" || true
    TOOL_WINDOW=$(lab_find_window "$1")
    [ -z "$TOOL_WINDOW" ] || return 0
    if lab_stopped "$TOOL_PID"; then
        local status=0
        wait "$TOOL_PID" || status=$?
        echo "FAIL: window '$1' did not appear: the tool ended with status $status; its log:" >&2
    else
        echo "FAIL: window '$1' did not appear within $2 s; the tool is still running; its log:" >&2
    fi
    sed 's/^/    | /' "$TOOL_LOG" >&2
    return 1
}
lab_window_or_end() { lab_window_shown "$1" || lab_stopped "$TOOL_PID"; }

# lab_wait_exit PID SECONDS: waits for PID to end; true when it ended with status 0.
# LAB_STATUS holds the status, or "running".
lab_wait_exit() {
    LAB_STATUS=running
    lab_wait_for "$2" lab_stopped "$1" || return 1
    LAB_STATUS=0
    wait "$1" || LAB_STATUS=$?
    [ "$LAB_STATUS" = 0 ]
}

# --- TXLoader.exe under Wine ---------------------------------------------------------------
# The main form's client area is 436 x 203 (Main.ui).
LAB_MAIN_W=436
LAB_MAIN_H=203

# lab_wine_slot: under scripts/windows.sh, takes a free slot, a prefix of TXL_WINE_PREFIXES and
# the X display beside it in TXL_WINE_DISPLAYS, and holds it while this shell lives (a lock on
# PREFIX.slot), so that Windows tests run side by side, each with a wineserver and a keyboard
# focus of its own. Elsewhere WINEPREFIX and DISPLAY stay.
lab_wine_slot() {
    [ -n "${TXL_WINE_PREFIXES:-}" ] || return 0
    local prefixes displays try i
    read -ra prefixes <<<"$TXL_WINE_PREFIXES"
    read -ra displays <<<"${TXL_WINE_DISPLAYS:?}"
    # As many tests run as there are slots; one just ended may hold its lock a moment longer.
    for ((try = 0; try < 600; try++)); do
        for i in "${!prefixes[@]}"; do
            exec {LAB_SLOT}>>"${prefixes[i]}.slot"
            if flock -n "$LAB_SLOT"; then
                export WINEPREFIX=${prefixes[i]} DISPLAY=${displays[i]}
                return 0
            fi
            exec {LAB_SLOT}>&-
        done
        sleep 0.1
    done
    echo "no free Wine slot within 60 s" >&2
    return 1
}

# lab_wine_prefix: makes the prefix WINEPREFIX the tests run in: the fonts the forms were
# drawn for, and windows that Wine manages itself (Xvfb runs no window manager, and Wine
# would wait 2 s for one at every window it hides). RUN runs wine's tools (e.g. in a namespace).
lab_wine_prefix() {
    # Without address randomization, as tests/wine/wine-run.sh explains.
    ${LAB_WINE_RUN:-} setarch -R wineboot -i >/dev/null 2>&1 || true
    ${LAB_WINE_RUN:-} wineserver -w
    # Wine does not load its own fonts; without Tahoma the forms fall back to a serif face.
    cp /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    ${LAB_WINE_RUN:-} setarch -R wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    ${LAB_WINE_RUN:-} wineserver -w
}

# lab_ocr WINDOW X Y W H: the text in that part of the window, read by tesseract from a 4x enlargement.
lab_ocr() {
    import -window "$1" -crop "$4x$5+$2+$3" +repage "$WORK/crop.png"
    convert "$WORK/crop.png" -resize 400% -colorspace Gray "$WORK/crop4.png"
    tesseract "$WORK/crop4.png" - -l rus+eng --psm 7 2>/dev/null | tr -s ' \n' ' '
}

# lab_client_origin WINDOW CLIENT_W CLIENT_H: sets CX, CY to where the client area starts. Without a
# window manager Wine draws the frame and caption itself, inside the X window.
lab_client_origin() {
    eval "$(xdotool getwindowgeometry --shell "$1")" # sets WIDTH and HEIGHT
    CX=$(((WIDTH - $2) / 2))
    CY=$((HEIGHT - $3 - CX))
}

# lab_wine_tool NS LOG PROGRAM [ARGS...]: starts a Windows program with wine in NS; sets
# TOOL_PID and TOOL_LOG. The wineserver owns the sockets: the caller has ended any server of
# its prefix that runs elsewhere.
lab_wine_tool() {
    # Without address randomization, as tests/wine/wine-run.sh explains.
    ip netns exec "$1" setarch -R wine "${@:3}" >"$2" 2>&1 &
    TOOL_PID=$! TOOL_LOG=$2
    PIDS+=("$TOOL_PID")
}

# lab_wine_main TITLE SECONDS: waits for the tool's main window; sets WIN, CX and CY.
lab_wine_main() {
    lab_tool_window "$1" "$2" || return 1
    WIN=$TOOL_WINDOW
    sleep 1
    lab_client_origin "$WIN" "$LAB_MAIN_W" "$LAB_MAIN_H"
}

# lab_wine_status: what the status bar reads; its bottom 19 pixels of the client area.
lab_wine_status() { lab_ocr "$WIN" "$CX" $((CY + LAB_MAIN_H - 20)) "$LAB_MAIN_W" 20; }
# lab_reads_ok TEXT: TEXT (the status bar, read by tesseract) says "Статус: OK"; tesseract
# may take the Latin O and K for their Cyrillic look-alikes.
lab_reads_ok() { grep -qE 'Статус: [OО][KК]' <<<"$1"; }

# lab_wine_about SHOT: opens About with the help button, saves the screen as SHOT.png and the box
# as SHOT-box.png, sets ABOUT_TEXT to what it reads and closes it with Enter. Says on standard
# error what went wrong and returns 1.
lab_wine_about() {
    local about
    lab_click "$WIN" help
    if ! lab_wait_for 20 lab_window_shown '^About$'; then
        echo "FAIL: the help button did not open the About box" >&2
        return 1
    fi
    about=$(lab_find_window '^About$')
    sleep 1
    import -window root "$1.png"
    import -window "$about" "$1-box.png"
    convert "$1-box.png" -resize 400% -colorspace Gray "$WORK/about4.png"
    ABOUT_TEXT=$(tesseract "$WORK/about4.png" - -l eng 2>/dev/null | tr -s ' \n' ' ')
    xdotool windowfocus --sync "$about" 2>/dev/null || true
    xdotool key Return || true
    lab_wait_for 10 lab_window_gone '^About$' || { echo "FAIL: Enter did not close the About box" >&2; return 1; }
}

# lab_version_shown TEXT VERSION: TEXT (About, read by tesseract) shows "Version: VERSION".
# Tesseract drops the small dots of this font ("1.0.0.3" reads "1003"): the digits must be
# there in order, dots optional.
lab_version_shown() { grep -qE "Version: ${2//./\\.?}( |$)" <<<"$1"; }
