#!/bin/bash
# Discovers FC-NVMe namespaces. Where the host has Fibre Channel ports and nvme-cli:
#   - with the kernel's FC-NVMe discovery trigger (/sys/class/fc/fc_udev_device/nvme_discovery),
#     it asks the kernel to announce every FC-NVMe port pair again, and nvme-cli's udev rules
#     connect the controllers;
#   - otherwise it runs "nvme connect-all" for every remote port that has an NVMe role.
# A host without FC ports, or without nvme-cli, is left alone. Exit status 0.

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1

trigger=/sys/class/fc/fc_udev_device/nvme_discovery

fc_hosts=()
for h in /sys/class/fc_host/host*; do
    [[ -e "$h" ]] && fc_hosts+=("$h")
done
if ((${#fc_hosts[@]} == 0)); then
    echo "no Fibre Channel ports: nothing to discover"
    exit 0
fi
if ! command -v nvme >/dev/null 2>&1; then
    echo "nvme-cli is not installed: FC-NVMe discovery skipped"
    exit 0
fi

if [[ -e "$trigger" ]]; then
    if echo add >"$trigger" 2>/dev/null; then
        echo "FC-NVMe discovery triggered"
        if command -v udevadm >/dev/null 2>&1; then
            udevadm settle --timeout=60 >/dev/null 2>&1 || true
        fi
    else
        echo "cannot write $trigger"
    fi
    exit 0
fi

pairs=0
for h in "${fc_hosts[@]}"; do
    n=${h##*/host}
    hwwnn=$(mv_read_attr "$h/node_name")
    hwwpn=$(mv_read_attr "$h/port_name")
    [[ -n "$hwwnn" && -n "$hwwpn" ]] || continue
    for r in /sys/class/fc_remote_ports/rport-"$n":*; do
        [[ -e "$r" ]] || continue
        roles=$(mv_read_attr "$r/roles")
        [[ "$roles" == *NVMe* ]] || continue
        [[ "$(mv_read_attr "$r/port_state")" == Online ]] || continue
        rwwnn=$(mv_read_attr "$r/node_name")
        rwwpn=$(mv_read_attr "$r/port_name")
        [[ -n "$rwwnn" && -n "$rwwpn" ]] || continue
        pairs=$((pairs + 1))
        if nvme connect-all --transport=fc --traddr="nn-$rwwnn:pn-$rwwpn" \
            --host-traddr="nn-$hwwnn:pn-$hwwpn" >/dev/null 2>&1; then
            echo "connected ${h##*/} to $rwwpn"
        else
            echo "nvme connect-all from ${h##*/} to $rwwpn failed"
        fi
    done
done
((pairs > 0)) || echo "no FC-NVMe remote ports: nothing to discover"
exit 0
