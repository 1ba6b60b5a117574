#!/usr/bin/env bash
# The real dialog and the real stand-in on a virtual X server of their own, operated with
# xdotool. Usage: window_tests.sh CASE, with VANTREL_CONFIG_EXE and VANTREL_STANDIN naming the
# built programs. Every case stops all it started, also when it fails.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=xdrive.sh
source "$HERE/xdrive.sh"

: "${VANTREL_CONFIG_EXE:?names the built vantrel-config}"
: "${VANTREL_STANDIN:?names the built as2-standin}"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-window.XXXXXX")"
DATA="$WORK/as2data"
SAMPLE="$WORK/as2data.sample"

xd_cleanup_on_exit dialog.log standin.log xvfb.log

# A sample data folder and an untouched copy of it to compare with.
make_sample() {
    "$VANTREL_STANDIN" --init "$DATA" 2>"$WORK/init.log" ||
        xd_fail "as2-standin --init failed: $(cat "$WORK/init.log")"
    cp -a "$DATA" "$SAMPLE"
}

same_file() {
    cmp -s "$SAMPLE/$1" "$DATA/$1" || xd_fail "$1 changed: $(diff -u "$SAMPLE/$1" "$DATA/$1")"
}

# Fails when FILE differs from EXPECTED, showing how.
expect_file() {
    local expected="$1" file="$2"
    cmp -s "$expected" "$file" ||
        xd_fail "$(basename "$file") is not as expected:
$(diff -u --label expected --label actual "$expected" "$file" | cat -A | head -n 40)"
}

no_save_commands() {
    if grep -E 'Partner(ship)? (Add|Delete)|Partnership Store|Cert import' "$WORK/standin.log"; then
        xd_fail "the dialog sent commands that change the service's data"
    fi
}

start_with_service() {
    xd_port_free || xd_fail "$(xd_port_taken_message)"
    make_sample
    xd_start_x
    xd_start_standin "$DATA"
    xd_start_dialog "$DATA/config.xml"
}

# Escape at once: the program ends with 0 and nothing changes.
case_escape() {
    start_with_service
    xd_keys "$XD_MAIN" Escape
    xd_wait_exit
    [ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after Escape"
    no_save_commands
    same_file partnerships.xml
    same_file keystore.xml
    same_file config.xml
}

# A new remote AS2 ID and e-mail address, then Return: the service holds exactly them, the
# configuration file has the new ID behind both keys, and the restart notice ends the program.
case_new_remote_id() {
    local id="PARTNER-7.NEW" email="edi+as2@partner.example"
    start_with_service
    xd_wait_loaded
    xd_fill "$XD_MAIN" "${XD_REMOTE_AS2ID[@]}" "$id"
    xd_fill "$XD_MAIN" "${XD_REMOTE_EMAIL[@]}" "$email"
    xd_keys "$XD_MAIN" Return

    xd_wait_window '^Information$'
    local notice="$XD_WINDOW"
    xd_keys "$notice" Return
    xd_wait_exit
    [ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after the notice"

    xd_query "Partner View AS2Remote"
    [ "$XD_REPLY" = "{name=AS2Remote, as2_id=$id, email=$email, x509_alias=AS2Remote:0}" ] ||
        xd_fail "the stand-in holds: $XD_REPLY"
    # Stored: the sample with the two new values and nothing else changed.
    sed -e "s|<attribute name=\"as2_id\" value=\"REMOTEID\"/>|<attribute name=\"as2_id\" value=\"$id\"/>|" \
        -e "s|<attribute name=\"email\" value=\"as2@remote.example\"/>|<attribute name=\"email\" value=\"$email\"/>|" \
        "$SAMPLE/partnerships.xml" >"$WORK/expected-partnerships.xml"
    expect_file "$WORK/expected-partnerships.xml" "$DATA/partnerships.xml"
    same_file keystore.xml

    grep -qF "sender.as2_id=$id" "$DATA/config.xml" || xd_fail "config.xml lacks sender.as2_id=$id"
    grep -qF "receiver.as2_id=$id" "$DATA/config.xml" ||
        xd_fail "config.xml lacks receiver.as2_id=$id"
    # The whole file: the sample with the ID replaced behind both keys, written with CR LF.
    sed -e "s/sender\.as2_id=REMOTEID/sender.as2_id=$id/g" \
        -e "s/receiver\.as2_id=REMOTEID/receiver.as2_id=$id/g" -e 's/$/\r/' \
        "$SAMPLE/config.xml" >"$WORK/expected-config.xml"
    expect_file "$WORK/expected-config.xml" "$DATA/config.xml"
}

# No service: the error box over the window, which stays; OK then saves nothing; Escape on the
# box and then on the window ends the program with nothing written.
case_no_service() {
    xd_port_free || xd_fail "$(xd_port_taken_message)"
    make_sample
    xd_start_x
    xd_start_dialog "$DATA/config.xml"

    xd_wait_other_window
    local box="$XD_WINDOW"
    xd_keys "$box" Escape
    xd_wait 10 "closing of the error box" xd_gone "$box"
    xd_visible "$XD_MAIN" || xd_fail "the window went with the error box"
    xd_running "$XD_DIALOG" || xd_fail "the program ended with the error box"

    # OK after the failed load: another error, and still nothing written.
    xd_keys "$XD_MAIN" Return
    xd_wait_other_window
    box="$XD_WINDOW"
    xd_keys "$box" Escape
    xd_wait 10 "closing of the second error box" xd_gone "$box"
    xd_visible "$XD_MAIN" || xd_fail "the window went after OK"

    xd_keys "$XD_MAIN" Escape
    xd_wait_exit
    [ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after Escape"
    same_file config.xml
}

# make_certificate FILE: a self-signed X.509 certificate in PEM.
make_certificate() {
    mkdir -p "$(dirname "$1")"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/partner.key" -out "$1" \
        -subj "/CN=Window Test Partner" -days 2 2>"$WORK/openssl.log" ||
        xd_fail "openssl: $(cat "$WORK/openssl.log")"
}

# choose_remote_certificate FILE: Import beside the remote certificate, the path typed into the
# file dialog and Return, then Return in the box that shows the file (a certificate valid for
# days more has Import as its default), as an operator does; the two leave nothing on the screen.
choose_remote_certificate() {
    xd_click "$XD_MAIN" "${XD_IMPORT_REMOTE[@]}"
    xd_wait_window '^Select Remote Certificate$'
    local chooser="$XD_WINDOW"
    xd_keys "$chooser" ctrl+a
    timeout 10 xdotool type --delay 20 -- "$1" || xd_fail "could not type the path"
    xd_keys "$chooser" Return
    xd_wait 10 "closing of the file dialog" xd_gone "$chooser"
    xd_wait_window '^Import Remote Certificate$'
    local box="$XD_WINDOW"
    xd_keys "$box" Return
    xd_wait 10 "closing of the certificate box" xd_gone "$box"
    xd_wait 10 "main window alone" xd_only_main
}

# A remote certificate through the file dialog: the key store holds it under the next alias,
# and OK stores that alias with the partner.
case_import_remote() {
    start_with_service
    local cer="$WORK/partner certs/partner one.cer"
    make_certificate "$cer"

    xd_wait_loaded
    choose_remote_certificate "$cer"

    xd_wait 10 "import in the stand-in's log" grep -q "Cert import " "$WORK/standin.log"
    grep -qF "Cert import AS2Remote:1 \"$cer\" (X.509): ok" "$WORK/standin.log" ||
        xd_fail "the import was not of that file: $(grep 'Cert import' "$WORK/standin.log")"
    grep -qF "alias=\"AS2Remote:1\" type=\"x509\" file=\"$cer\" subject=\"CN=Window Test Partner\"" \
        "$DATA/keystore.xml" || xd_fail "keystore.xml: $(cat "$DATA/keystore.xml")"
    xd_query "cert List"
    [ "$XD_REPLY" = "<alias>AS2Local:0</alias><alias>AS2Remote:0</alias><alias>AS2Remote:1</alias>" ] ||
        xd_fail "cert List: $XD_REPLY"

    # The field shows the new alias: OK carries it into the partner.
    xd_click "$XD_MAIN" "${XD_REMOTE_AS2ID[@]}"
    xd_keys "$XD_MAIN" Return
    xd_wait_exit
    [ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after OK"
    xd_query "Partner View AS2Remote"
    [ "$XD_REPLY" = "{name=AS2Remote, as2_id=REMOTEID, email=as2@remote.example, x509_alias=AS2Remote:1}" ] ||
        xd_fail "the stand-in holds: $XD_REPLY"
    same_file config.xml
}

# After a path typed into the file dialog and Return, the next key is the main window's again:
# Escape reaches Cancel, and the program ends having imported and saved nothing else.
case_import_then_escape() {
    start_with_service
    local cer="$WORK/partner.cer"
    make_certificate "$cer"
    xd_wait_loaded
    choose_remote_certificate "$cer"
    xd_wait 10 "import in the stand-in's log" grep -q "cert List" "$WORK/standin.log"
    xd_keys "$XD_MAIN" Escape
    xd_wait_exit
    [ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after Escape"
    if grep -E 'Partner(ship)? (Add|Delete)|Partnership Store' "$WORK/standin.log"; then
        xd_fail "Escape saved the partners"
    fi
}

# The first argument names the remote partner as the program got it, also where Qt would take it
# for an option of its own; an empty one is refused before anything is asked of the service.
case_remote_name_as_given() {
    xd_port_free || xd_fail "$(xd_port_taken_message)"
    make_sample
    xd_start_x
    xd_start_standin "$DATA"
    xd_start_dialog "$DATA/config.xml" -reverse
    # The service knows no such partner: one question about it ends the load.
    xd_wait 20 "the question for partner -reverse" grep -q "Partner View -reverse:" \
        "$WORK/standin.log"
    xd_keys "$XD_MAIN" Escape
    xd_wait_exit
    [ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after Escape"

    local asked
    asked=$(grep -c "Partner View" "$WORK/standin.log")
    xd_start_dialog "$DATA/config.xml" ""
    xd_wait_other_window
    local box="$XD_WINDOW"
    xd_keys "$box" Escape
    xd_wait 10 "closing of the error box" xd_gone "$box"
    xd_keys "$XD_MAIN" Escape
    xd_wait_exit
    [ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after Escape"
    [ "$(grep -c "Partner View" "$WORK/standin.log")" -eq "$asked" ] ||
        xd_fail "the service was asked for a partner with an empty name"
    no_save_commands
}

case "${1:-}" in
escape | new_remote_id | no_service | import_remote | import_then_escape | remote_name_as_given)
    "case_$1"
    ;;
*)
    echo "usage: $0 escape|new_remote_id|no_service|import_remote|import_then_escape|" \
        "remote_name_as_given" >&2
    exit 2
    ;;
esac
echo "PASS: $1"
