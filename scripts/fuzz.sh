#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan) and runs each for a bounded time from a
# copy of its seed corpus. Fails on any crash, leak, undefined behaviour, hang or broken invariant.
#
#   VANTREL_FUZZ_SECONDS  fuzzing time per target (default 30)
#   VANTREL_FUZZ_TARGETS  targets to run, separated by blanks (default: every one in fuzz/corpus)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
build_preset fuzz

seconds="${VANTREL_FUZZ_SECONDS:-30}"
if [ -n "${VANTREL_FUZZ_TARGETS:-}" ]; then
    read -r -a targets <<<"$VANTREL_FUZZ_TARGETS"
else
    targets=()
    for dir in "$ROOT"/fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

# The seed corpus in the repo is only read; libFuzzer adds what it finds to a copy.
work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-fuzz.XXXXXX")"
failed=()
cleanup() {
    if [ "${#failed[@]}" -eq 0 ]; then
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# The sanitizer options of the asan test preset, so a fault stops fuzzing as it stops a test.
while IFS='=' read -r name value; do
    export "$name=$value"
done < <(cmake -DROOT="$ROOT" -DPRESET=asan -P "$ROOT/cmake/PresetEnvironment.cmake")

results=()
for target in "${targets[@]}"; do
    binary="$ROOT/build/fuzz/fuzz/$target"
    if [ ! -x "$binary" ]; then
        echo "== $target: no such fuzz target" >&2
        failed+=("$target")
        continue
    fi
    mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    cp -R "$ROOT/fuzz/corpus/$target/." "$work/$target/corpus/"
    options=(-max_total_time="$seconds" -detect_leaks=1 -timeout=10 -print_final_stats=1
        -artifact_prefix="$work/$target/artifacts/")
    if [ -f "$ROOT/fuzz/$target.dict" ]; then
        options+=(-dict="$ROOT/fuzz/$target.dict")
    fi
    status=0
    # Inputs that once failed, run whole: the fuzzing run below would cut them to its length limit.
    regressions=("$ROOT/fuzz/regressions/$target"/*)
    if [ -e "${regressions[0]}" ]; then
        echo "== $target: ${#regressions[@]} regression input(s)"
        "$binary" -detect_leaks=1 -timeout=10 -artifact_prefix="$work/$target/artifacts/" \
            "${regressions[@]}" >"$work/$target/regressions.log" 2>&1 || status=$?
        if [ "$status" -ne 0 ]; then
            cp "$work/$target/regressions.log" "$work/$target/log"
        fi
    fi
    if [ "$status" -eq 0 ]; then
        echo "== Fuzzing $target for $seconds s"
        "$binary" "${options[@]}" "$work/$target/corpus" >"$work/$target/log" 2>&1 || status=$?
    fi
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target/log" | tail -n 1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target/log" | tail -n 1)"
    corpus="$(find "$work/$target/corpus" -type f | wc -l)"
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        results+=("$(printf '%-20s FAILED (exit %s)' "$target" "$status")")
        echo "== $target failed (exit $status); its log ends:" >&2
        tail -n 40 "$work/$target/log" >&2
        for artifact in "$work/$target/artifacts"/*; do
            [ -e "$artifact" ] && echo "== input kept at $artifact" >&2
        done
    else
        results+=("$(printf '%-20s %12s executions %8s/s %6s inputs' "$target" \
            "${executions:-?}" "${rate:-?}" "$corpus")")
    fi
done

echo "== Fuzzing results (${seconds} s per target)"
printf '%s\n' "${results[@]}"
if [ "${#failed[@]}" -ne 0 ]; then
    echo "== Failed: ${failed[*]}; logs and inputs are in $work" >&2
    exit 1
fi
