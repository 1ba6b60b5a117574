#!/usr/bin/env bash
# The checks that need no build: C++ formatting (the repository's .clang-format), the shell
# scripts (shellcheck), and the direction of includes between the layers of src/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages clang-format shellcheck git
cd "$ROOT"

tracked() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -- "$@"
    else
        local pattern
        for pattern in "$@"; do
            find . -path ./build -prune -o -type f -path "./$pattern" -print | sed 's|^\./||'
        done
    fi
}

failed=0

echo "== Formatting (clang-format)"
mapfile -t sources < <(tracked '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${sources[@]}"; then
    echo "Run clang-format -i on the files above." >&2
    failed=1
fi

echo "== Shell scripts (shellcheck)"
mapfile -t scripts < <(tracked '*.sh' .ci/run)
shellcheck "${scripts[@]}" || failed=1

echo "== Layers: dialog, cli -> model -> channel -> platform"
# layer:the layers its files may include
for rule in platform:platform channel:platform,channel model:platform,channel,model \
    cli:platform,channel,model,cli; do
    layer="${rule%%:*}"
    allowed="${rule#*:}"
    while IFS= read -r line; do
        included="$(sed -E 's|.*#include "([a-z]+)/.*|\1|' <<<"${line#*:}")"
        if [[ ",$allowed," != *",$included,"* ]]; then
            echo "src/$layer may not include $included: $line" >&2
            failed=1
        fi
    done < <(grep -HnE '^#include "[a-z]+/' "src/$layer"/*.cpp "src/$layer"/*.h || true)
done

exit "$failed"
