# shellcheck shell=bash disable=SC2034
# Windows programs under Wine: slots of scripts/windows.sh, prefixes, and the tool's windows as
# Wine draws them.

# lab_wine_slot: under scripts/windows.sh, takes a free slot, a prefix of TXL_WINE_PREFIXES and
# the X display beside it in TXL_WINE_DISPLAYS, and holds it while this shell and the programs it
# starts live (a lock on PREFIX.slot; LAB_SLOT_HELD tells them), so that Windows tests run side by
# side, each with a wineserver and a keyboard focus of its own. Elsewhere WINEPREFIX and DISPLAY stay.
lab_wine_slot() {
    [ -n "${TXL_WINE_PREFIXES:-}" ] && [ -z "${LAB_SLOT_HELD:-}" ] || return 0
    local prefixes displays try i
    read -ra prefixes <<<"$TXL_WINE_PREFIXES"
    read -ra displays <<<"${TXL_WINE_DISPLAYS:?}"
    # As many tests run as there are slots; one just ended may hold its lock a moment longer.
    for ((try = 0; try < 600; try++)); do
        for i in "${!prefixes[@]}"; do
            exec {LAB_SLOT}>>"${prefixes[i]}.slot"
            if flock -n "$LAB_SLOT"; then
                export WINEPREFIX=${prefixes[i]} DISPLAY=${displays[i]} LAB_SLOT_HELD=1
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

# lab_wine_main TITLE SECONDS: waits for the tool's main window; sets WIN, CX and CY, and
# LAB_MAIN_W and LAB_MAIN_H, the size of its client area (Main.ui).
lab_wine_main() {
    lab_tool_window "$1" "$2" || return 1
    WIN=$TOOL_WINDOW
    read -r _ _ LAB_MAIN_W LAB_MAIN_H < <(lab_ui_rect Main)
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
