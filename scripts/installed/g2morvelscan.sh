#!/bin/bash
# Rescans the host for new LUNs and paths of Keldor arrays and lets multipath build their maps:
#   1. every SCSI host scans all channels, targets and LUNs ("- - -" into .../scan);
#   2. every iSCSI session is rescanned (iscsiadm), every NVMe controller rescans namespaces;
#   3. every SCSI disk rereads its size (.../device/rescan);
#   4. udev settles, then multipath reloads its maps (multipath -r, else multipathd reconfigure).
# Failures of single hosts or devices are reported and do not stop the rest.

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1

hosts=0 disks=0
for scan in /sys/class/scsi_host/host*/scan; do
    [[ -e "$scan" ]] || continue
    h=${scan%/scan}
    if echo "- - -" >"$scan" 2>/dev/null; then
        hosts=$((hosts + 1))
    else
        echo "cannot rescan ${h##*/}"
    fi
done
echo "rescanned $hosts SCSI hosts"

if command -v iscsiadm >/dev/null 2>&1 && iscsiadm -m session >/dev/null 2>&1; then
    iscsiadm -m session --rescan >/dev/null 2>&1 || echo "iscsiadm session rescan failed"
fi

for ctrl in /sys/class/nvme/nvme*/rescan_controller; do
    [[ -e "$ctrl" ]] || continue
    echo 1 >"$ctrl" 2>/dev/null || echo "cannot rescan $(basename -- "$(dirname -- "$ctrl")")"
done

for rescan in /sys/block/sd*/device/rescan; do
    [[ -e "$rescan" ]] || continue
    if echo 1 >"$rescan" 2>/dev/null; then
        disks=$((disks + 1))
    else
        d=${rescan#/sys/block/}
        echo "cannot rescan ${d%%/*}"
    fi
done
echo "rescanned $disks SCSI disks"

if command -v udevadm >/dev/null 2>&1; then
    udevadm settle --timeout=60 >/dev/null 2>&1 || echo "udev did not settle within 60 seconds"
fi

if command -v multipath >/dev/null 2>&1; then
    multipath -r >/dev/null 2>&1 || echo "multipath -r failed"
elif command -v multipathd >/dev/null 2>&1; then
    multipathd reconfigure >/dev/null 2>&1 || echo "multipathd reconfigure failed"
fi
exit 0
