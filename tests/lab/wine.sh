# shellcheck shell=bash disable=SC2034
# Windows programs under Wine: slots of scripts/windows.sh, prefixes, and the tool's windows as
# Wine draws them. Wine runs without address randomization, as tests/wine/wine-run.sh explains.

# lab_wine_slot: under scripts/windows.sh, takes a free slot (a prefix of TXL_WINE_PREFIXES and the
# display beside it in TXL_WINE_DISPLAYS) and holds its lock while this shell and its children live
# (LAB_SLOT_HELD), so that Windows tests run side by side, each with its own wineserver and focus.
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

# lab_wine_prefix: makes the prefix WINEPREFIX with the fonts the forms were drawn for (Wine does
# not load its own: without Tahoma they fall back to a serif face), and windows Wine manages
# itself (Xvfb has no window manager; Wine would wait 2 s for one at each hidden window).
# LAB_WINE_RUN runs wine's tools (in a namespace, say).
lab_wine_prefix() {
    ${LAB_WINE_RUN:-} setarch -R wineboot -i >/dev/null 2>&1 || true
    ${LAB_WINE_RUN:-} wineserver -w
    cp /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    ${LAB_WINE_RUN:-} setarch -R wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    ${LAB_WINE_RUN:-} wineserver -w
}

# lab_wine_tool NS LOG PROGRAM [ARGS...]: starts a Windows program in NS (lab_started). The
# wineserver owns the sockets: the caller has ended its prefix's server elsewhere.
lab_wine_tool() { lab_started "$2" ip netns exec "$1" setarch -R wine "${@:3}"; }

# lab_wine_main TITLE SECONDS: waits for the tool's main window; sets WIN, LAB_MAIN_W and
# LAB_MAIN_H (its client area, Main.ui), and CX, CY where that area starts: without a window
# manager Wine draws the frame inside the X window.
lab_wine_main() {
    lab_tool_window "$1" "$2" || return 1
    WIN=$TOOL_WINDOW
    read -r _ _ LAB_MAIN_W LAB_MAIN_H < <(lab_ui_rect Main)
    sleep 1
    eval "$(xdotool getwindowgeometry --shell "$WIN")" # sets WIDTH and HEIGHT
    CX=$(((WIDTH - LAB_MAIN_W) / 2))
    CY=$((HEIGHT - LAB_MAIN_H - CX))
}

# lab_wine_status: what the status bar (the bottom 20 pixels of the client area) reads.
lab_wine_status() { lab_ocr "$WIN" "$CX" $((CY + LAB_MAIN_H - 20)) "$LAB_MAIN_W" 20; }
# lab_reads_ok TEXT: the status bar says "Статус: OK" (tesseract may read O and K as Cyrillic).
lab_reads_ok() { grep -qE 'Статус: [OО][KК]' <<<"$1"; }

# lab_wine_about SHOT: opens About with the help button, reads it (lab_read_box: ABOUT_TEXT) and
# closes it with Enter. Says on standard error what went wrong and returns 1.
lab_wine_about() {
    lab_click "$WIN" help
    lab_read_box '^About$' 20 "$1" eng || { echo "FAIL: the help button did not open the About box" >&2; return 1; }
    ABOUT_TEXT=$BOX_TEXT
    lab_wait_for 10 lab_window_gone '^About$' || { echo "FAIL: Enter did not close the About box" >&2; return 1; }
}

# lab_version_shown TEXT VERSION: About shows "Version: VERSION"; tesseract drops this font's
# small dots ("1.0.0.3" reads "1003"), so they are optional.
lab_version_shown() { grep -qE "Version: ${2//./\\.?}( |$)" <<<"$1"; }
