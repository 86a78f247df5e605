#!/bin/bash
# Installs what the virtual-machine system tests and the VM demonstration need on Debian 12:
# QEMU, Debian's stock kernel (booted in the VM), busybox-static (its initramfs) and the
# storage stack that the VM runs from this machine's own root filesystem, and the fleet tools
# the monitor's exports are checked with (node_exporter, promtool, curl, jq, jsonschema).
# Idempotent and non-interactive: packages already present are not fetched again.
set -euo pipefail

packages=(
    qemu-system-x86 linux-image-amd64 busybox-static cpio
    multipath-tools dmsetup sg3-utils sg3-utils-udev open-iscsi nvme-cli kmod udev iproute2
    systemd prometheus-node-exporter prometheus curl jq python3-jsonschema
)

# The packages' own services (multipathd, iscsid) only ever run inside the VM: they are not
# started on this machine while they are installed.
# shellcheck source=scripts/apt-lib.sh
source "$(dirname "$0")/apt-lib.sh"
apt_install_missing setup-vm-deps --no-services "${packages[@]}"
