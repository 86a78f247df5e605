#!/bin/bash
# path_state_record.sh and run_all_offline_path.sh as installed: paths set offline are found
# again after a simulated reboot that gives them other kernel names (and other SCSI hosts),
# by their WWID and by-path link, H:C:T:L, or NVMe subsystem, namespace and controller address.
source "$(dirname "$0")/lib/sandbox.bash"
S=/usr/bin/morvel-script
R=/etc/morvel/offline_paths
WA=naa.60014050123abcd456789ef012345678
WB=naa.6001405aaaaaaaaaaaaaaaaaaaaaaaaa0
NQN=nqn.2014-08.com.keldor:zrn:subsys1
ADDR1=traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0001,host_traddr=nn-0x20000090fa000001:pn-0x10000090fa000001
ADDR2=traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0002,host_traddr=nn-0x20000090fa000002:pn-0x10000090fa000002
BP1=ip-127.0.0.1:3260-iscsi-iqn.2003-01.org.linux-iscsi.vmt:keldor-lun-0
BP2=ip-127.0.0.2:3260-iscsi-iqn.2003-01.org.linux-iscsi.vmt:keldor-lun-0

# scsi_path NAME H:C:T:L WWID [BY-PATH-LINK]: a SCSI disk as sysfs shows it, state running.
scsi_path() {
    sb_put "/sys/devices/platform/scsi/$2/state" running
    sb_put "/sys/devices/platform/scsi/$2/wwid" "$3"
    mkdir -p "$(sb_file "/sys/block/$1")"
    sb_link "/sys/block/$1/device" "../../devices/platform/scsi/$2"
    [[ -z "${4:-}" ]] || sb_link "/dev/disk/by-path/$4" "../../$1"
}
# nvme_path NAME CONTROLLER NSID WWID ADDRESS: a namespace of a fabrics controller.
nvme_path() {
    local c=/sys/devices/virtual/nvme-fabrics/ctl/$2
    sb_put "$c/subsysnqn" "$NQN"
    sb_put "$c/address" "$5"
    sb_put "$c/transport" fc
    sb_put "/sys/block/$1/nsid" "$3"
    sb_put "/sys/block/$1/wwid" "$4"
    sb_link "/sys/block/$1/device" "../../devices/virtual/nvme-fabrics/ctl/$2"
}
# reboot: the kernel forgets every device; the caller lays out the new ones.
reboot() { rm -rf "$(sb_file /sys)" "$(sb_file /dev/disk)"; }
state_is() { sb_assert_file "/sys/block/$1/device/state" "$2"; }
offline() { sb_put "/sys/block/$1/device/state" offline; }

sb_case "an iSCSI path set offline is set offline again after a reboot renamed it"
sb_persist /etc/morvel
scsi_path sdc 2:0:0:0 $WA $BP1
scsi_path sdd 3:0:0:0 $WA $BP2
offline sdc
sb_run bash $S/path_state_record.sh add sdc
sb_assert_status 0
# the portals log in the other way round: the same names, the same H:C:T:L, other paths
reboot
scsi_path sdc 2:0:0:0 $WA $BP2
scsi_path sdd 3:0:0:0 $WA $BP1
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 0
state_is sdd offline
state_is sdc running
sb_assert_file_contains $R "^scsi	$WA	2:0:0:0	$BP1	sdd\$"
# safe to run twice
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 0
state_is sdd offline
state_is sdc running

sb_case "without by-path links the WWID and H:C:T:L find the path; other paths and LUNs are left"
sb_persist /etc/morvel
scsi_path sdb 1:0:0:3 $WA
scsi_path sdc 1:0:0:4 $WB
sb_run bash $S/path_state_record.sh add sdc
reboot
scsi_path sdc 1:0:0:5 $WA
scsi_path sdf 1:0:0:3 $WB
scsi_path sdg 1:0:0:4 $WB
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 0
state_is sdc running
state_is sdf running
state_is sdg offline
# the array mapped another LUN at that address: not the recorded path
reboot
scsi_path sdc 1:0:0:4 $WA
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 0
state_is sdc running

sb_case "an NVMe path is failed in multipathd under its new name"
sb_persist /etc/morvel
nvme_path nvme0n1 nvme0 1 uuid.4b454c44-4f52-5a52-4e00-000000000001 "$ADDR1"
nvme_path nvme1n1 nvme1 1 uuid.4b454c44-4f52-5a52-4e00-000000000001 "$ADDR2"
sb_run bash $S/path_state_record.sh add nvme1n1
sb_assert_status 0
reboot
nvme_path nvme0n1 nvme0 1 uuid.4b454c44-4f52-5a52-4e00-000000000001 "$ADDR2"
nvme_path nvme1n1 nvme1 1 uuid.4b454c44-4f52-5a52-4e00-000000000001 "$ADDR1"
sb_fake multipathd fail path --out ok
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 0
sb_assert_cmdlog <<'EOF'
multipathd fail path nvme0n1
EOF
sb_fake multipathd fail path --out fail
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 1

sb_case "records: one per path, paths not present are skipped and kept, del forgets"
sb_persist /etc/morvel
scsi_path sdc 2:0:0:0 $WA $BP1
scsi_path sdd 3:0:0:0 $WA $BP2
# the caller's umask 000 does not reach the folder and the record that drive boot-time offlining
sb_run bash -c "umask 000; bash $S/path_state_record.sh add sdc"
modes=$(stat -c %a "$(sb_file /etc/morvel)" "$(sb_file $R)" "$(sb_file /etc/morvel/.offline_paths.lock)")
[[ "$(echo $modes)" == "755 644 644" ]] || sb_fail "modes under umask 000: $(echo $modes)"
chmod 0777 "$(sb_file /etc/morvel)"
sb_run bash $S/path_state_record.sh add sdc
[[ $(stat -c %a "$(sb_file /etc/morvel)") == 755 ]] || sb_fail "a folder open to all stays so"
sb_run bash $S/path_state_record.sh add sdd
sb_run bash $S/path_state_record.sh list
sb_assert_stdout <<EOF
scsi	$WA	2:0:0:0	$BP1	sdc
scsi	$WA	3:0:0:0	$BP2	sdd
EOF
sb_run bash $S/path_state_record.sh add sdz
sb_assert_status 1
reboot
scsi_path sdd 3:0:0:0 $WA $BP2
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 0
sb_assert_stdout_contains '^skipped: .*sdc'
state_is sdd offline
sb_run bash $S/path_state_record.sh del sdd
sb_assert_status 0
sb_run bash $S/path_state_record.sh list
sb_assert_stdout <<EOF
scsi	$WA	2:0:0:0	$BP1	sdc
EOF
# a device that is gone is forgotten by the name it was recorded under
sb_run bash $S/path_state_record.sh del sdc
sb_run bash $S/path_state_record.sh list
sb_assert_stdout </dev/null
sb_assert_no_file $R
sb_run bash $S/run_all_offline_path.sh
sb_assert_status 0
sb_run bash $S/path_state_record.sh add 'sdc;reboot'
sb_assert_status 2
sb_run bash $S/path_state_record.sh add ..
sb_assert_status 2

sb_case "morvel setstate records the path, morvel aggregation sets it offline after a reboot"
sb_persist /etc/morvel
sb_fake multipath -ll --out-file "$(sb_fixture mpath/mixed-3-maps.multipath-ll)"
scsi_path sdc 2:0:0:0 $WA $BP1
scsi_path sdd 3:0:0:0 $WA $BP2
sb_run morvel setstate -path_alias mpatha -device_name sdc -state offline
sb_assert_status 0
state_is sdc offline
reboot
scsi_path sdc 2:0:0:0 $WA $BP2
scsi_path sdd 3:0:0:0 $WA $BP1
sb_run morvel aggregation
sb_assert_status 0
state_is sdd offline
state_is sdc running
sb_assert_cmd_ran "multipath -r"
# online again: forgotten, and the next aggregation leaves the path alone
sb_run morvel setstate -path_alias mpatha -device_name sdd -state online
sb_assert_status 0
sb_run bash $S/path_state_record.sh list
sb_assert_stdout </dev/null

sb_finish
