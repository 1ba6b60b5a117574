#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it without installing it: its file
# name, its Depends from dpkg-shlibdeps, that it holds the two programs, the menu entry, the icon,
# the manual pages, the copyright file and the changelog under /usr and nothing else, and that
# lintian has nothing to say; then runs the unpacked dialog against the stand-in on a virtual
# X server until its window shows the remote partner, closes it with Escape, and asks the
# unpacked vantrel-link for the same and to import a certificate of a given fingerprint.
# Usage: check_package.sh BUILD_DIR CPACK VERSION, with VANTREL_STANDIN naming the built
# as2-standin. Everything it started is stopped, also when it fails.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=xdrive.sh
source "$HERE/xdrive.sh"

BUILD="$1"
CPACK="$2"
VERSION="$3"
: "${VANTREL_STANDIN:?names the built as2-standin}"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-package.XXXXXX")"
DATA="$WORK/as2data"
UNPACKED="$WORK/unpacked"

xd_cleanup_on_exit cpack.log dialog.log standin.log xvfb.log

xd_need dpkg-deb dpkg
xd_need dpkg-shlibdeps dpkg-dev
xd_need file file
xd_need desktop-file-validate desktop-file-utils
xd_need xclip xclip
xd_need lintian lintian
xd_need openssl openssl

# The package goes to a folder of this run's own, so a package made by hand in the build folder
# is neither replaced nor taken for this one.
(cd "$BUILD" && "$CPACK" -G DEB -B "$WORK/cpack") >"$WORK/cpack.log" 2>&1 ||
    xd_fail "cpack -G DEB failed in $BUILD"
expected="vantrel-config_${VERSION}_$(dpkg --print-architecture).deb"
made="$(cd "$WORK/cpack" && find . -maxdepth 1 -name '*.deb' -printf '%f\n')"
[ "$made" = "$expected" ] || xd_fail "cpack made '$made', not $expected"
deb="$WORK/cpack/$expected"

[ "$(dpkg-deb -f "$deb" Package)" = vantrel-config ] || xd_fail "the package is not vantrel-config"
[ "$(dpkg-deb -f "$deb" Version)" = "$VERSION" ] || xd_fail "the package's version is not $VERSION"
depends="$(dpkg-deb -f "$deb" Depends)"
# libqt6network6 also holds Qt's TLS plugin, which reads the certificates the dialog shows.
for lib in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
    sed -E 's/[,|]/\n/g' <<<"$depends" | sed -E 's/^ *//; s/[ :(].*//' | grep -qxF "$lib" ||
        xd_fail "Depends lacks $lib: '$depends'"
done

# Exactly these files, under /usr: the stand-in and anything else stay out.
dpkg-deb -x "$deb" "$UNPACKED" || xd_fail "dpkg-deb -x failed"
files="$(cd "$UNPACKED" && find . ! -type d | sort)"
[ "$files" = "./usr/bin/vantrel-config
./usr/bin/vantrel-link
./usr/share/applications/vantrel-config.desktop
./usr/share/doc/vantrel-config/changelog.gz
./usr/share/doc/vantrel-config/copyright
./usr/share/icons/hicolor/32x32/apps/vantrel-config.png
./usr/share/man/man1/vantrel-config.1.gz
./usr/share/man/man1/vantrel-link.1.gz" ] ||
    xd_fail "the package holds other files than expected: $files"
for program in vantrel-config vantrel-link; do
    [ -x "$UNPACKED/usr/bin/$program" ] || xd_fail "usr/bin/$program is not executable"
done
# Debian's own checks: no error and no warning (informational tags are no fault).
lintian --fail-on error,warning "$deb" >"$WORK/lintian.log" 2>&1 ||
    xd_fail "lintian finds faults: $(cat "$WORK/lintian.log")"
desktop-file-validate "$UNPACKED/usr/share/applications/vantrel-config.desktop" ||
    xd_fail "desktop-file-validate refuses the menu entry"

# The packaged program, not the built one, against the stand-in.
VANTREL_CONFIG_EXE="$UNPACKED/usr/bin/vantrel-config"
xd_port_free || xd_fail "$(xd_port_taken_message)"
"$VANTREL_STANDIN" --init "$DATA" 2>"$WORK/init.log" ||
    xd_fail "as2-standin --init failed: $(cat "$WORK/init.log")"
xd_start_x
xd_start_standin "$DATA"
xd_start_dialog "$DATA/config.xml"
xd_wait_loaded

# The remote AS2 ID field's text, copied to the clipboard: the window shows what it loaded.
clipboard_filled() {
    CLIPBOARD="$(timeout 5 xclip -o -selection clipboard 2>/dev/null)" && [ -n "$CLIPBOARD" ]
}
xd_click "$XD_MAIN" "${XD_REMOTE_AS2ID[@]}"
timeout 10 xdotool key ctrl+a ctrl+c || xd_fail "could not copy the remote AS2 ID"
xd_wait 10 "remote AS2 ID on the clipboard" clipboard_filled
[ "$CLIPBOARD" = REMOTEID ] || xd_fail "the remote AS2 ID field shows '$CLIPBOARD', not REMOTEID"

xd_keys "$XD_MAIN" Escape
xd_wait_exit
[ "$XD_EXIT" -eq 0 ] || xd_fail "exit code $XD_EXIT after Escape"
# The packaged vantrel-link, against the same service.
shown="$(VANTREL_CONFIG="$DATA/config.xml" "$UNPACKED/usr/bin/vantrel-link" show)" ||
    xd_fail "the packaged vantrel-link show failed"
grep -qF '"remoteAS2ID": "REMOTEID"' <<<"$shown" || xd_fail "vantrel-link shows: $shown"
# It reads a certificate (through the TLS plugin the Depends bring) and holds it to the
# fingerprint that openssl gives.
cer="$DATA/certs/remote.cer"
sha="$(openssl x509 -in "$cer" -noout -fingerprint -sha256 | sed 's/^.*=//')"
imported="$(VANTREL_CONFIG="$DATA/config.xml" "$UNPACKED/usr/bin/vantrel-link" import-cert remote \
    "$cer" --expect-sha256 "$sha")" || xd_fail "the packaged vantrel-link import-cert failed"
grep -qF "\"sha256\": \"$sha\"" <<<"$imported" || xd_fail "vantrel-link import-cert prints: $imported"
echo "PASS: package $expected ($(stat -c %s "$deb") bytes), Depends: $depends"
