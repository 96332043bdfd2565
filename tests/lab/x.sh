# shellcheck shell=bash disable=SC2034
# A private X display, input, the tool's windows, and what a screen reader hears of them.

# lab_xvfb WIDTHxHEIGHT: a virtual display of our own, in DISPLAY; its socket is a file, which
# every network namespace reaches. -displayfd: the server picks a free number itself (no race with
# another lab), one whose abstract socket is free: that holds only among servers in one network
# namespace, so never in a test's own (in-netns.sh), where it would take another lab's display.
# -noreset: otherwise a client connecting just as the last one left is refused.
lab_xvfb() {
    local number
    if [ -n "${TXL_OUTER_NETNS:-}" ] && [ "$(readlink /proc/self/ns/net)" != "$TXL_OUTER_NETNS" ]; then
        echo "lab_xvfb: in a test's network namespace: start the display before entering it" >&2
        return 1
    fi
    number=$(mktemp "$WORK/xvfb.XXXXXX")
    Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp -noreset 3>"$number" >"$number.log" 2>&1 &
    PIDS+=($!)
    if ! lab_wait_for 10 grep -q '^[0-9]' "$number"; then
        cat "$number.log" >&2
        echo "Xvfb did not start" >&2
        return 1
    fi
    DISPLAY=":$(head -n1 "$number")" && export DISPLAY
    lab_wait_for 10 xdotool getdisplaygeometry || { cat "$number.log" >&2; echo "Xvfb does not answer on $DISPLAY" >&2; return 1; }
}

# lab_ui_rect FORM [WIDGET]: "X Y WIDTH HEIGHT" of WIDGET, or of the form, as src/ui/FORM.ui lays it out.
lab_ui_rect() {
    python3 - "$LAB_SRC/src/ui/$1.ui" "${2:-}" <<'PY'
import sys, xml.etree.ElementTree as ui
form = ui.parse(sys.argv[1]).getroot().find("widget")
widget = form.find(f".//widget[@name='{sys.argv[2]}']") if sys.argv[2] else form
print(*(widget.find(f"property[@name='geometry']/rect/{k}").text for k in ("x", "y", "width", "height")))
PY
}

# lab_click WINDOW CONTROL: clicks the middle of load, close or help on the main window, or ok on
# the About box, where the forms place it (96 dpi), offset by CX, CY (lab_wine_main).
lab_click() {
    local form=Main widget x y w h
    case $2 in
    load) widget=btnLoadToBoard ;;
    close) widget=btnClose ;;
    help) widget=btnHelp ;;
    ok) form=About widget=OKButton ;;
    *) echo "lab_click: no control $2" >&2 && return 1 ;;
    esac
    read -r x y w h < <(lab_ui_rect "$form" "$widget")
    xdotool mousemove --window "$1" $((x + w / 2 + ${CX:-0})) $((y + h / 2 + ${CY:-0})) click 1
}

# lab_enter WINDOW: focuses WINDOW and presses Enter as the keyboard does (not as a sent event).
lab_enter() {
    xdotool windowfocus --sync "$1" 2>/dev/null || true
    xdotool key Return || true
}

# lab_x_input STEP...: in the background, input as the X server takes it from a mouse and a
# keyboard (XTEST), once the test program has written where its controls are on the screen ("NAME X
# Y" a line, in $WORK/controls; 60 s at most): "click NAME" clicks control NAME, "key KEY" taps KEY,
# a number waits that many milliseconds.
lab_x_input() {
    (
        lab_wait_for 60 test -s "$WORK/controls" || exit 1
        args=()
        for step; do
            case $step in
            click\ *)
                read -r x y < <(awk -v c="${step#click }" '$1 == c { print $2, $3 }' "$WORK/controls")
                args+=(mousemove "$x" "$y" click 1) ;;
            key\ *) args+=(key "${step#key }") ;;
            *) args+=(sleep "$((step / 1000)).$(printf %03d $((step % 1000)))") ;;
            esac
        done
        xdotool "${args[@]}"
    ) &
    PIDS+=($!)
}

# What the D-Bus session of lab_listened_tool or tests/common/on-atspi.sh runs, as
# sh -c "$LAB_LISTENED_SH" EVENTS LISTENER COMMAND...: the accessibility listener, its lines in
# EVENTS and its pid in EVENTS.pid, then, once it is registered, COMMAND with Qt's bridge on.
# shellcheck disable=SC2016 # expanded by that sh
LAB_LISTENED_SH='/usr/bin/python3 "$1" 120 >"$0" 2>"$0.err" & echo $! >"$0.pid"
    n=0
    until grep -qx ready "$0" || [ $n -ge 200 ]; do sleep 0.1; n=$((n + 1)); done
    shift
    QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb exec "$@"'
lab_listener() { echo "${LAB_LISTENER:-$LAB_SRC/tests/e2e/atspi_events.py}"; }

# lab_listened_tool PROGRAM RUN...: starts PROGRAM through RUN (ip netns exec NS, say) in a D-Bus
# session of its own with the listener registered before it starts: the bridge asks which events
# are wanted at its start, and a listener learned of later misses what came before. Waits for
# the window LAB_TITLE; sets TOOL_PID, TOOL_LOG, WIN and LISTENER_PID.
lab_listened_tool() {
    lab_started "$WORK/txloader.log" "${@:2}" dbus-run-session -- sh -c "$LAB_LISTENED_SH" "$WORK/events" "$(lab_listener)" "$1"
    lab_tool_window "$LAB_TITLE" 20 || return 1
    WIN=$TOOL_WINDOW
    grep -qx ready "$WORK/events" || { cat "$WORK/events.err"; fail "no listener on the accessibility bus"; }
    LISTENER_PID=$(cat "$WORK/events.pid")
    PIDS+=("$LISTENER_PID")
}

# lab_heard LINE: the listener (its output in $WORK/events) heard LINE, such as "name|Статус: OK".
lab_heard() { grep -qxF -- "$1" "$WORK/events"; }
# lab_announced LINE WHAT: waits 10 s for LINE; else shows what was heard and fails WHAT.
lab_announced() { if lab_wait_for 10 lab_heard "$1"; then pass; else cat "$WORK/events"; fail "$2"; fi; }

# Empty when there is no such window (xdotool then fails, which must not end a set -e script).
lab_find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 || true; }
lab_window_shown() { [ -n "$(lab_find_window "$1")" ]; }
lab_window_gone() { [ -z "$(lab_find_window "$1")" ]; }

# lab_started LOG COMMAND...: starts COMMAND, its output in LOG; sets TOOL_PID and TOOL_LOG.
lab_started() {
    "${@:2}" >"$1" 2>&1 &
    TOOL_PID=$! TOOL_LOG=$1
    PIDS+=("$TOOL_PID")
}
# lab_tool NS EXECUTABLE LOG: starts the tool on the X display in NS.
lab_tool() { lab_started "$3" ip netns exec "$1" env QT_QPA_PLATFORM=xcb "$2"; }

# lab_tool_window TITLE SECONDS: sets TOOL_WINDOW once the tool's window TITLE shows; else says
# why (the tool ended, with its status, or still runs) with its log, and returns 1. Not for
# $(...): the status needs this shell's wait.
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

# lab_read_box TITLE SECONDS SHOT LANG [SCALE]: once a window TITLE shows, saves the screen as
# SHOT.png and the window as SHOT-box.png, sets BOX_TEXT to what tesseract reads in it (LANG,
# enlarged SCALE %, 400) and confirms it with Enter.
lab_read_box() {
    lab_wait_for "$2" lab_window_shown "$1" || return 1
    local box
    box=$(lab_find_window "$1")
    sleep 1
    import -window root "$3.png"
    import -window "$box" "$3-box.png"
    convert "$3-box.png" -resize "${5:-400}%" -colorspace Gray "$WORK/box-large.png"
    BOX_TEXT=$(tesseract "$WORK/box-large.png" - -l "$4" 2>/dev/null | tr -s ' \n' ' ')
    lab_enter "$box"
}

# lab_ocr WINDOW X Y W H: the text in that part of the window, read by tesseract from a 4x enlargement.
lab_ocr() {
    import -window "$1" -crop "$4x$5+$2+$3" +repage "$WORK/crop.png"
    convert "$WORK/crop.png" -resize 400% -colorspace Gray "$WORK/crop4.png"
    tesseract "$WORK/crop4.png" - -l rus+eng --psm 7 2>/dev/null | tr -s ' \n' ' '
}
