#!/bin/bash
# Installs what the virtual-machine system tests and the VM demonstration need on Debian 12:
# QEMU, Debian's stock kernel (booted in the VM), busybox-static (its initramfs) and the
# storage stack that the VM runs from this machine's own root filesystem.
# Idempotent and non-interactive: packages already present are not fetched again.
set -euo pipefail

packages=(
    qemu-system-x86 linux-image-amd64 busybox-static cpio
    multipath-tools sg3-utils sg3-utils-udev open-iscsi nvme-cli kmod udev iproute2
    systemd
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [[ "$status" == installed ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "setup-vm-deps: all ${#packages[@]} packages are installed"
    exit 0
fi

sudo=()
if [[ $(id -u) != 0 ]]; then
    command -v sudo >/dev/null || { echo "setup-vm-deps: run as root (or install sudo)" >&2; exit 1; }
    sudo=(sudo)
fi
echo "setup-vm-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
# The packages' own services (multipathd, iscsid) only ever run inside the VM; policy-rc.d
# keeps this machine from starting them while they are installed.
policy=/usr/sbin/policy-rc.d
added_policy=0
if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 0755 "$policy"
    added_policy=1
fi
rc=0
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" || rc=$?
((added_policy)) && "${sudo[@]}" rm -f "$policy"
exit $rc
