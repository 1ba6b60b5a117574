#!/usr/bin/env bash
# Installs the build as the README's install line does, into a prefix of its own, and checks what a
# Linux desktop needs: both programs, their manual pages, the menu entry and its icon, each in its
# standard place, and nothing outside the prefix. The README's package line is the one the package
# check runs.
# Usage: check_install.sh BUILD_DIR [CMAKE]
set -euo pipefail

BUILD="$1"
CMAKE="${2:-cmake}"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-install.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
PREFIX="$WORK/prefix"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

README="$(dirname "$0")/../../README.md"
grep -qxF 'cmake --install build/default --prefix /usr/local' "$README" ||
    fail "the README's install line is not 'cmake --install build/default --prefix /usr/local'"
grep -qE '^cd build/default && cpack -G DEB( |$)' "$README" ||
    fail "the README's package line is not 'cd build/default && cpack -G DEB'"
"$CMAKE" --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$WORK/install.log")"
if grep -E '^-- (Installing|Up-to-date): ' "$WORK/install.log" | grep -vF -- ": $PREFIX/"; then
    fail "files installed outside the prefix"
fi

program="$PREFIX/bin/vantrel-config"
desktop="$PREFIX/share/applications/vantrel-config.desktop"
icon="$PREFIX/share/icons/hicolor/32x32/apps/vantrel-config.png"
[ -x "$program" ] || fail "no executable $program"
[ -x "$PREFIX/bin/vantrel-link" ] || fail "no executable $PREFIX/bin/vantrel-link"
for page in vantrel-config.1.gz vantrel-link.1.gz; do
    [ -f "$PREFIX/share/man/man1/$page" ] || fail "no manual page $page"
done
[ -f "$desktop" ] || fail "no menu entry $desktop"
[ -f "$icon" ] || fail "no icon $icon"

# The entry starts the installed program by name and names the installed icon.
[ "$(head -n 1 "$desktop")" = "[Desktop Entry]" ] || fail "$desktop does not start with its group"
for line in "Type=Application" "Name=Vantrel Lite Configuration" "Exec=vantrel-config" \
    "Icon=vantrel-config" "Terminal=false"; do
    grep -qxF "$line" "$desktop" || fail "$desktop lacks the line $line"
done

# A PNG whose header says 32 by 32.
[ "$(od -An -tx1 -N8 "$icon" | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "$icon is not a PNG"
[ "$(od -An -tx1 -j16 -N8 "$icon" | tr -d ' \n')" = "0000002000000020" ] ||
    fail "$icon is not 32 by 32 pixels"

if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $desktop"
fi
echo "PASS: install"
