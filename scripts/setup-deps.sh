#!/bin/bash
# Installs everything the build, the tests, the packages and the demo need on Debian 12.
# Idempotent and non-interactive: packages already present are not fetched again.
set -euo pipefail

packages=(
    build-essential cmake g++ pkg-config git
    libgtest-dev libgmock-dev googletest libbenchmark-dev libcjson-dev
    shellcheck faketime libfaketime util-linux procps coreutils diffutils time
    rpm rpm2cpio cpio dpkg-dev file busybox-static jq python3-jsonschema
)

# shellcheck source=scripts/apt-lib.sh
source "$(dirname "$0")/apt-lib.sh"
apt_install_missing setup-deps "${packages[@]}"
