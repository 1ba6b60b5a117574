# shellcheck shell=bash disable=SC2034
# Sourced by the real-window tests and by the demo: a virtual X server of the caller's own, the
# stand-in on the dialog's fixed command port, the dialog itself, and xdotool steps with bounded
# waits. Nothing is faked: the real programs get real key and mouse events.
#
# The caller sets WORK (a folder of its own), VANTREL_CONFIG_EXE and VANTREL_STANDIN, and calls
# xd_stop_all from its EXIT trap. Failures go through xd_fail, which the caller may redefine.

# The dialog talks to localhost:4321 only, so the stand-in cannot take a free port here.
XD_PORT=4321
XD_PIDS=()
XD_STANDIN=""
XD_DIALOG=""
XD_MAIN=""
XD_WINDOW=""
XD_REPLY=""

# Points inside the dialog's controls, from its fixed layout (client area, pixels).
XD_REMOTE_AS2ID=(333 207)
XD_REMOTE_EMAIL=(333 239)
XD_IMPORT_REMOTE=(426 272)
XD_EMPTY_SPOT=(100 150) # between the local and the remote rows: no control

xd_fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# xd_running PID: the process is there and not a zombie (a background child that ended stays
# a zombie until it is waited for, so kill -0 cannot tell).
xd_running() {
    local state
    state=$(sed -E 's/^.*\) (.).*$/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# xd_wait SECONDS WHAT CMD...: polls CMD until it succeeds; fails naming WHAT when time is up.
xd_wait() {
    local seconds="$1" what="$2"
    shift 2
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            xd_fail "no $what within ${seconds} s"
        fi
        sleep 0.1
    done
}

# xd_stop PID: TERM, then KILL if it is still there after 5 s.
xd_stop() {
    local pid="$1" i
    [ -n "$pid" ] || return 0
    if xd_running "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        for i in $(seq 50); do
            xd_running "$pid" || break
            sleep 0.1
        done
        if xd_running "$pid"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    wait "$pid" 2>/dev/null || true
}

# xd_cleanup_on_exit LOG...: when the script ends, everything it started is stopped; on success
# WORK goes, on failure the screen is kept as WORK/failure.png with WORK, and the end of each log
# named is shown. Ctrl-C and TERM end the script the same way.
xd_cleanup_on_exit() {
    XD_LOGS=("$@")
    trap xd_finish EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
}

xd_finish() {
    local rc=$? log
    if [ "$rc" -ne 0 ] && [ -n "${DISPLAY:-}" ] && [ -n "$XD_MAIN" ]; then
        import -window root "$WORK/failure.png" 2>/dev/null || true
    fi
    xd_stop_all
    if [ "$rc" -eq 0 ]; then
        rm -rf "$WORK"
    else
        for log in "${XD_LOGS[@]}"; do
            if [ -s "$WORK/$log" ]; then
                echo "--- $log" >&2
                tail -n 40 "$WORK/$log" >&2
            fi
        done
        echo "Kept for a look: $WORK" >&2
    fi
    exit "$rc"
}

# Stops everything started here, the last started first.
xd_stop_all() {
    local i
    for ((i = ${#XD_PIDS[@]} - 1; i >= 0; i--)); do
        xd_stop "${XD_PIDS[$i]}"
    done
    XD_PIDS=()
}

xd_has_line() {
    [ -f "$1" ] && [ "$(wc -l <"$1")" -ge 1 ]
}

xd_need() {
    local tool="$1" package="$2"
    command -v "$tool" >/dev/null 2>&1 || xd_fail "$tool is not installed (Debian package $package)"
}

# Starts Xvfb on a free display (it writes the number once it accepts clients) and exports
# DISPLAY for everything that follows. -noreset: without it the server resets when its last client
# leaves, and a dialog started just then is refused the display.
xd_start_x() {
    xd_need Xvfb xvfb
    xd_need xdotool xdotool
    local numberfile="$WORK/x-display"
    : >"$numberfile"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$numberfile" >"$WORK/xvfb.log" 2>&1 &
    local pid=$!
    XD_PIDS+=("$pid")
    xd_wait 15 "virtual X server" xd_ready_or_gone "$numberfile" "$pid"
    xd_has_line "$numberfile" || xd_fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
    DISPLAY=":$(head -n 1 "$numberfile")"
    export DISPLAY
    # Each run keeps Qt's settings and runtime files in its own folder, away from the home folder.
    mkdir -p "$WORK/runtime" "$WORK/config"
    chmod 700 "$WORK/runtime"
    export XDG_RUNTIME_DIR="$WORK/runtime" XDG_CONFIG_HOME="$WORK/config"
    export QT_QPA_PLATFORM=xcb
}

xd_ready_or_gone() {
    xd_has_line "$1" || ! xd_running "$2"
}

# xd_port_free: nothing accepts connections on 127.0.0.1:4321.
xd_port_free() {
    ! (exec 3<>"/dev/tcp/127.0.0.1/$XD_PORT") 2>/dev/null
}

xd_port_taken_message() {
    echo "port $XD_PORT on 127.0.0.1 is already in use. The dialog always talks to" \
        "localhost:$XD_PORT, so this needs that port: stop the program that holds it" \
        "(an AS2 service, the demo or another run of the window tests) and try again."
}

# xd_start_standin DATA: the stand-in on port 4321 with its log in WORK/standin.log.
xd_start_standin() {
    "$VANTREL_STANDIN" --port "$XD_PORT" --data "$1" >"$WORK/standin.out" 2>"$WORK/standin.log" &
    XD_STANDIN=$!
    XD_PIDS+=("$XD_STANDIN")
    xd_wait 10 "start of the stand-in" xd_ready_or_gone "$WORK/standin.out" "$XD_STANDIN"
    if ! xd_has_line "$WORK/standin.out"; then
        if grep -q "already in use" "$WORK/standin.log"; then
            xd_fail "$(xd_port_taken_message)"
        fi
        xd_fail "the stand-in did not start: $(cat "$WORK/standin.log")"
    fi
}

# xd_start_dialog CONFIG [ARGS...]: the dialog with VANTREL_CONFIG=CONFIG, run in WORK (where
# its file dialogs open); waits for its window and sets XD_MAIN.
xd_start_dialog() {
    local config="$1"
    shift
    (cd "$WORK" && exec env VANTREL_CONFIG="$config" "$VANTREL_CONFIG_EXE" "$@") \
        >"$WORK/dialog.out" 2>"$WORK/dialog.log" &
    XD_DIALOG=$!
    XD_PIDS+=("$XD_DIALOG")
    xd_wait_window '^Vantrel Lite Configuration$'
    XD_MAIN="$XD_WINDOW"
}

xd_dialog_alive() {
    xd_running "$XD_DIALOG" ||
        xd_fail "the dialog ended unexpectedly; its output: $(cat "$WORK/dialog.log")"
}

# Visible top-level windows, the root excluded.
xd_windows() {
    local root
    root=$(xdotool search --maxdepth 0 --name '' 2>/dev/null) || true
    { xdotool search --onlyvisible --maxdepth 1 --name '' 2>/dev/null || true; } |
        grep -vx "${root:-none}" || true
}

xd_find_window() {
    xd_dialog_alive
    XD_WINDOW=$(xdotool search --onlyvisible --maxdepth 1 --name "$1" 2>/dev/null | head -n 1) ||
        true
    [ -n "$XD_WINDOW" ]
}

# xd_wait_window TITLE-REGEX [SECONDS]: sets XD_WINDOW to the visible window of that title.
xd_wait_window() {
    xd_wait "${2:-20}" "window titled '$1'" xd_find_window "$1"
}

xd_find_other() {
    xd_dialog_alive
    XD_WINDOW=$(xd_windows | grep -vx "$XD_MAIN" | head -n 1) || true
    [ -n "$XD_WINDOW" ]
}

# xd_wait_other_window [SECONDS]: sets XD_WINDOW to a visible window that is not the main one.
xd_wait_other_window() {
    xd_wait "${1:-20}" "second window beside the main one" xd_find_other
}

xd_only_main() {
    [ "$(xd_windows)" = "$XD_MAIN" ]
}

xd_visible() {
    xd_windows | grep -qx "$1"
}

xd_gone() {
    ! xd_visible "$1"
}

# xd_keys WINDOW KEY...: gives WINDOW the keyboard focus (there is no window manager to do it)
# and presses the keys.
xd_keys() {
    local window="$1"
    shift
    timeout 10 xdotool windowfocus --sync "$window" key --delay 30 "$@" ||
        xd_fail "could not press $* in window $window"
}

# xd_click WINDOW X Y: a left click at X,Y of the window's client area.
xd_click() {
    timeout 10 xdotool windowfocus --sync "$1" mousemove --window "$1" "$2" "$3" click 1 ||
        xd_fail "could not click at $2,$3 in window $1"
}

# xd_fill WINDOW X Y TEXT: clicks into the edit at X,Y and replaces its text by typing TEXT.
xd_fill() {
    xd_click "$1" "$2" "$3"
    timeout 10 xdotool key ctrl+a type --delay 20 -- "$4" || xd_fail "could not type '$4'"
}

xd_dialog_ended() {
    ! xd_running "$XD_DIALOG"
}

# xd_wait_exit [SECONDS]: waits for the dialog to end and sets XD_EXIT to its exit code.
xd_wait_exit() {
    xd_wait "${1:-20}" "end of the dialog" xd_dialog_ended
    XD_EXIT=0
    wait "$XD_DIALOG" || XD_EXIT=$?
}

# xd_wait_loaded [REMOTE]: the dialog has read everything it loads at start: the remote partner,
# its partnership list and each partnership in it. Key strokes sent after that reach filled
# fields: they wait in the queue while the loading still runs.
xd_wait_loaded() {
    xd_wait 20 "complete load of partner ${1:-AS2Remote} in the stand-in's log" \
        xd_loaded "${1:-AS2Remote}"
}

xd_loaded() {
    xd_dialog_alive
    awk -v partner="Partner View $1: ok" '
        index($0, partner) { seen = 1; want = -1; views = 0; next }
        seen && want < 0 && /Partnership List: ok, / {
            for (i = 1; i <= NF; i++) if ($i == "ok,") want = $(i + 1) + 0
            next
        }
        seen && want >= 0 && /Partnership View / { views++ }
        END { exit !(seen && want >= 0 && views >= want) }
    ' "$WORK/standin.log"
}

# xd_query COMMAND: sends one command to the stand-in and sets XD_REPLY to its reply line.
xd_query() {
    local fd
    exec {fd}<>"/dev/tcp/127.0.0.1/$XD_PORT" || xd_fail "cannot reach the stand-in for '$1'"
    printf '<command id="userID" password="qxv">%s</command>\r\n' "$1" >&"$fd"
    XD_REPLY=""
    IFS= read -r -t 10 XD_REPLY <&"$fd" || true
    exec {fd}>&-
    XD_REPLY="${XD_REPLY%$'\r'}"
    [ -n "$XD_REPLY" ] || xd_fail "no reply from the stand-in to '$1'"
}

# xd_screenshot FILE: the whole virtual screen as PNG.
xd_screenshot() {
    xd_need import imagemagick
    timeout 20 import -window root "$1" || xd_fail "could not take a screenshot into $1"
}
