#!/usr/bin/env bash
# Builds the dialog and runs it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
build_preset default
exec "$ROOT/build/default/src/dialog/vantrel-config" "$@"
