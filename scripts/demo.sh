#!/usr/bin/env bash
# The first run: builds the dialog and the stand-in (not the test suites), starts the stand-in
# AS2 service on a sample data folder, opens the dialog on it, and when the dialog ends shows what
# it changed. Without a display it runs the same on a virtual X server and plays the operator with
# xdotool. Arguments go to the dialog (the first one names the remote partner).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

HEADLESS=0
if [ -z "${DISPLAY:-}" ]; then
    HEADLESS=1
fi

ensure_packages "${BUILD_PACKAGES[@]}"
if [ "$HEADLESS" -eq 1 ]; then
    ensure_packages xvfb xdotool imagemagick
fi
echo "== Building the dialog, vantrel-link, the stand-in and the manual pages"
build_preset default vantrel-config vantrel-link as2-standin vantrel_docs

export VANTREL_CONFIG_EXE="$ROOT/build/default/src/dialog/vantrel-config"
export VANTREL_STANDIN="$ROOT/build/default/standin/as2-standin"
source "$ROOT/tests/window/xdrive.sh"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-demo.XXXXXX")"
DATA="$WORK/as2data"
SAMPLE="$WORK/as2data.sample"
REMOTE="${1:-AS2Remote}"
NEW_ID="PARTNER-ID-2"
NEW_EMAIL="edi@partner.example"

xd_fail() {
    echo "demo: $*" >&2
    if [ "$HEADLESS" -eq 1 ] && [ -n "$XD_MAIN" ]; then
        import -window root "$WORK/failure.png" 2>/dev/null &&
            echo "demo: the screen at that moment: $WORK/failure.png" >&2
    fi
    for log in dialog.log standin.log; do
        if [ -s "$WORK/$log" ]; then
            echo "--- $WORK/$log" >&2
            tail -n 20 "$WORK/$log" >&2
        fi
    done
    exit 1
}
trap xd_stop_all EXIT

echo "== Sample data folder: $DATA"
"$VANTREL_STANDIN" --init "$DATA" 2>"$WORK/init.log" ||
    xd_fail "as2-standin --init failed: $(cat "$WORK/init.log")"
cp -a "$DATA" "$SAMPLE"

if [ "$HEADLESS" -eq 1 ]; then
    echo "== No display (DISPLAY is not set): running on a virtual X server (Xvfb)," \
        "operated with xdotool"
    xd_start_x
fi

echo "== Starting the stand-in AS2 service on 127.0.0.1:$XD_PORT (log: $WORK/standin.log)"
xd_start_standin "$DATA"
export VANTREL_CONFIG="$DATA/config.xml"

DIALOG_EXIT=0
if [ "$HEADLESS" -eq 0 ]; then
    echo "== Opening the dialog. Change what you like, then OK (or Cancel)."
    # The Import buttons' file dialogs open beside the sample certificates.
    (cd "$DATA/certs" && "$VANTREL_CONFIG_EXE" "$@") || DIALOG_EXIT=$?
else
    xd_start_dialog "$VANTREL_CONFIG" "$@"
    xd_wait_loaded "$REMOTE"
    echo "   typing the remote AS2 ID $NEW_ID and the e-mail address $NEW_EMAIL"
    xd_fill "$XD_MAIN" "${XD_REMOTE_AS2ID[@]}" "$NEW_ID"
    xd_fill "$XD_MAIN" "${XD_REMOTE_EMAIL[@]}" "$NEW_EMAIL"
    sleep 0.5 # the last key stroke is painted before the picture is taken
    xd_screenshot "$WORK/dialog-filled.png"
    echo "   pressing Return (OK)"
    xd_keys "$XD_MAIN" Return
    xd_wait_window '^Information$'
    NOTICE="$XD_WINDOW"
    sleep 0.5
    xd_screenshot "$WORK/restart-notice.png"
    echo "   dismissing the restart notice"
    xd_keys "$NOTICE" Return
    xd_wait_exit
    DIALOG_EXIT="$XD_EXIT"
fi
echo "== The dialog ended with exit code $DIALOG_EXIT; stopping the stand-in"
xd_stop_all

# show_change FILE WHAT: the file now against the sample, or a word that it did not change.
show_change() {
    local name="$1"
    echo
    echo "[$name: $2]"
    if cmp -s "$SAMPLE/$name" "$DATA/$name"; then
        echo "(unchanged)"
        return 0
    fi
    # The dialog writes the configuration file with CR LF line ends; only real changes are shown.
    if diff -u --strip-trailing-cr --label "sample/$name" --label "now/$name" \
        "$SAMPLE/$name" "$DATA/$name"; then
        echo "(only the line ends changed, to CR LF)"
    elif grep -q $'\r' "$DATA/$name" && ! grep -q $'\r' "$SAMPLE/$name"; then
        echo "(line ends aside: the file is now written with CR LF)"
    fi
}

echo "== What changed against the sample (the untouched copy: $SAMPLE)"
show_change partnerships.xml "the stored partners and partnerships"
show_change keystore.xml "the key store"
show_change config.xml "the service's configuration file"
echo
if [ "$HEADLESS" -eq 1 ]; then
    echo "== Screenshots:"
    echo "   the filled dialog:   $WORK/dialog-filled.png"
    echo "   the restart notice:  $WORK/restart-notice.png"
fi
echo "== Files kept in $WORK"
exit "$DIALOG_EXIT"
