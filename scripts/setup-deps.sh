#!/bin/bash
# Installs everything the build, the tests, the packages and the demo need on Debian 12.
# Idempotent and non-interactive: packages already present are not fetched again.
set -euo pipefail

packages=(
    build-essential cmake g++ pkg-config git
    libgtest-dev libgmock-dev googletest libbenchmark-dev libcjson-dev
    shellcheck faketime libfaketime util-linux procps coreutils diffutils time
    rpm dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [[ "$status" == installed ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "setup-deps: all ${#packages[@]} packages are installed"
    exit 0
fi

sudo=()
if [[ $(id -u) != 0 ]]; then
    command -v sudo >/dev/null || { echo "setup-deps: run as root (or install sudo)" >&2; exit 1; }
    sudo=(sudo)
fi
echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
