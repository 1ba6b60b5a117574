# shellcheck shell=bash
# Shared by the project's scripts: install what is missing, configure and build a preset.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export ROOT

# The package lists are read by the scripts that source this file.
# shellcheck disable=SC2034
BUILD_PACKAGES=(build-essential cmake ninja-build qt6-base-dev qt6-qpa-plugins libssl-dev openssl fonts-dejavu-core
    dpkg-dev file)
# shellcheck disable=SC2034
TEST_PACKAGES=(xvfb xdotool x11-utils xclip imagemagick clang libclang-rt-14-dev libbenchmark-dev
    clang-format shellcheck dpkg-dev file desktop-file-utils lintian acl)

# ensure_packages PKG... : apt-get install only what dpkg does not have yet.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "== Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# build_preset NAME [TARGET...] : configure (once) and build the preset, or only the targets
# named (and what they need).
build_preset() {
    local preset="$1"
    shift
    cd "$ROOT"
    if [ ! -f "build/$preset/CMakeCache.txt" ]; then
        cmake --preset "$preset" >/dev/null
    fi
    if [ "$#" -gt 0 ]; then
        cmake --build --preset "$preset" -j "$(nproc)" --target "$@"
    else
        cmake --build --preset "$preset" -j "$(nproc)"
    fi
}
