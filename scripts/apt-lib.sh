# shellcheck shell=bash
# Shared by setup-deps.sh and setup-vm-deps.sh: installs the Debian packages of a list that
# are not installed yet, non-interactively, as root or through sudo.
#
#   apt_install_missing NAME [--no-services] PACKAGE...
#
# NAME prefixes the messages. --no-services keeps the packages' own services from being
# started on this machine while they are installed (policy-rc.d).
apt_install_missing() {
    local name=$1 no_services=0
    shift
    if [[ "${1:-}" == --no-services ]]; then no_services=1; shift; fi
    local p status missing=()
    for p in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
        [[ "$status" == installed ]] || missing+=("$p")
    done
    if [[ ${#missing[@]} -eq 0 ]]; then
        echo "$name: all $# packages are installed"
        return 0
    fi
    local sudo=()
    if [[ $(id -u) != 0 ]]; then
        command -v sudo >/dev/null || { echo "$name: run as root (or install sudo)" >&2; return 1; }
        sudo=(sudo)
    fi
    echo "$name: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q || return 1
    local policy=/usr/sbin/policy-rc.d added_policy=0 rc=0
    if ((no_services)) && [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 0755 "$policy"
        added_policy=1
    fi
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" || rc=$?
    ((added_policy)) && "${sudo[@]}" rm -f "$policy"
    return $rc
}
