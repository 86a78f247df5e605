#!/bin/bash
# g2morvelscan.sh and discoverfcnvme.sh as installed, on a simulated sysfs: what they write
# into the scan attributes and which tools they call; "morvel scan" over them.
source "$(dirname "$0")/lib/sandbox.bash"
S=/usr/bin/morvel-script

fc_tree() { cp -a "$(sb_fixture scripts/fc)/." "$(sb_file /)"; }
no_nvme_cli() { sb_setup 'rm -f /usr/sbin/nvme /usr/bin/nvme /sbin/nvme /bin/nvme'; }

sb_case "the rescan reaches every SCSI host, iSCSI session, NVMe controller and disk, then reloads maps"
sb_fake_tool udevadm iscsiadm
for h in host0 host1 host7; do sb_put /sys/class/scsi_host/$h/scan </dev/null; done
for d in sda sdb; do sb_put /sys/block/$d/device/rescan </dev/null; done
sb_put /sys/class/nvme/nvme0/rescan_controller </dev/null
sb_fake iscsiadm -m session --out "tcp: [1] 127.0.0.1:3260,1 iqn.2003-01.org.linux-iscsi.vmt:keldor (non-flash)"
sb_run bash $S/g2morvelscan.sh
sb_assert_status 0
for h in host0 host1 host7; do sb_assert_file /sys/class/scsi_host/$h/scan "- - -"; done
for d in sda sdb; do sb_assert_file /sys/block/$d/device/rescan 1; done
sb_assert_file /sys/class/nvme/nvme0/rescan_controller 1
sb_assert_cmdlog <<'EOF2'
iscsiadm -m session
iscsiadm -m session --rescan
udevadm settle --timeout=60
multipath -r
EOF2

sb_case "no iSCSI session: no session rescan; the scan still succeeds when multipath fails"
sb_fake_tool udevadm iscsiadm
sb_put /sys/class/scsi_host/host0/scan </dev/null
sb_fake iscsiadm -m session --status 21 --out "iscsiadm: No active sessions."
sb_fake multipath -r --status 1
sb_run bash $S/g2morvelscan.sh
sb_assert_status 0
sb_assert_cmd_not_ran "iscsiadm -m session --rescan"
sb_assert_stdout_contains 'multipath -r failed'

sb_case "FC-NVMe discovery: nothing without FC ports"
sb_fake_tool nvme udevadm
sb_run bash $S/discoverfcnvme.sh
sb_assert_status 0
sb_assert_cmdlog </dev/null
sb_case "FC-NVMe discovery: nothing without nvme-cli"
sb_fake_tool udevadm
fc_tree
sb_put /sys/class/fc/fc_udev_device/nvme_discovery </dev/null
no_nvme_cli
sb_run bash $S/discoverfcnvme.sh
sb_assert_status 0
sb_assert_cmdlog </dev/null
sb_assert_file /sys/class/fc/fc_udev_device/nvme_discovery </dev/null

sb_case "FC-NVMe discovery through the kernel trigger"
sb_fake_tool nvme udevadm
fc_tree
sb_put /sys/class/fc/fc_udev_device/nvme_discovery </dev/null
sb_run bash $S/discoverfcnvme.sh
sb_assert_status 0
sb_assert_file /sys/class/fc/fc_udev_device/nvme_discovery add
sb_assert_cmdlog <<<"udevadm settle --timeout=60"

sb_case "FC-NVMe discovery by nvme connect-all for each online NVMe remote port"
sb_fake_tool nvme udevadm
fc_tree
sb_put /sys/class/fc_remote_ports/rport-2:0-1/roles "NVMe Target, NVMe Discovery"
sb_put /sys/class/fc_remote_ports/rport-2:0-1/port_state Blocked
sb_put /sys/class/fc_remote_ports/rport-2:0-1/port_name 0x2200aabbccdd0009
sb_put /sys/class/fc_remote_ports/rport-2:0-1/node_name 0x2000aabbccdd0001
sb_run bash $S/discoverfcnvme.sh
sb_assert_status 0
sb_assert_cmdlog <<'EOF2'
nvme connect-all --transport=fc --traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0003 --host-traddr=nn-0x20000090fa942779:pn-0x10000090fa942779
EOF2
sb_fake nvme connect-all --status 1 --out "failed to add controller"
sb_run bash $S/discoverfcnvme.sh
sb_assert_status 0
sb_assert_stdout_contains 'failed'

sb_case "morvel scan announces the wait, then runs the rescan and the FC-NVMe discovery"
sb_fake_tool udevadm iscsiadm nvme
sb_put /sys/class/scsi_host/host0/scan </dev/null
sb_run morvel scan
sb_assert_status 0
sb_assert_stdout_lines 1p <<<"This operation may take several minutes, please wait patiently."
sb_assert_file /sys/class/scsi_host/host0/scan "- - -"
sb_assert_sh_ran "bash /usr/bin/morvel-script/g2morvelscan.sh 2>&1"
sb_assert_sh_ran "bash /usr/bin/morvel-script/discoverfcnvme.sh 2>&1"

sb_finish
