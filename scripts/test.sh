#!/usr/bin/env bash
# The whole test suite: formatting, shell script and layer checks, unit and real-window tests,
# then all of it again under ASan and UBSan, then bounded fuzzing.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

echo "== Checks without a build"
"$ROOT/scripts/check.sh"

echo "== Build and test (default preset)"
build_preset default
ctest --preset default -j 2

echo "== Build and test (AddressSanitizer and UndefinedBehaviorSanitizer)"
build_preset asan
ctest --preset asan -j 2

if [ -x "$ROOT/scripts/fuzz.sh" ]; then
    echo "== Bounded fuzzing"
    "$ROOT/scripts/fuzz.sh"
fi
