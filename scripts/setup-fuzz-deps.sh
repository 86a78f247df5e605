#!/bin/bash
# Installs what scripts/fuzz.sh needs beyond scripts/setup-deps.sh: clang and its libFuzzer
# runtime (Debian 12). The normal build and tests do not need them.
set -euo pipefail
# shellcheck source=scripts/apt-lib.sh
source "$(dirname "$0")/apt-lib.sh"
"$(dirname "$0")/setup-deps.sh"
apt_install_missing setup-fuzz-deps clang clang-14 libclang-rt-14-dev
