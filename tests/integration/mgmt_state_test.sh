#!/bin/bash
# setstate as an administrator runs it: SCSI paths through their sysfs state attribute,
# NVMe paths through multipathd, and the offline-path record script after each change.
source "$(dirname "$0")/lib/sandbox.bash"
G=golden/mgmt
F=$(sb_fixture mpath)

# iscsi topology: mpatha with paths sda and sdb; mixed: mpatha (sdc, sdd), mpathb (sda,
# sdb), mpathc (nvme0n1, nvme1n1 already failed).
iscsi_host() {
    sb_fake multipath -ll --out-file "$F/iscsi-2-portals.multipath-ll"
    sb_fake_script path_state_record.sh
    sb_put /sys/block/sda/device/state running
    sb_put /sys/block/sdb/device/state running
}
mixed_host() {
    sb_fake multipath -ll --out-file "$F/mixed-3-maps-one-path-failed-each.multipath-ll"
    sb_fake_script path_state_record.sh
}

sb_case "offline twice: the state is written once, the second run is refused with code 114"
iscsi_host
sb_run morvel setstate -path_alias mpatha -device_name sdb -state offline
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_file /sys/block/sdb/device/state offline
sb_assert_file /sys/block/sda/device/state running
sb_assert_sh_ran "echo offline > /sys/block/sdb/device/state 2>&1"
sb_assert_cmd_ran "path_state_record.sh add sdb"
sb_run morvel setstate -state offline -device_name sdb -path_alias mpatha
sb_assert_status 1
sb_assert_stdout_file $G/already_offline_sdb.out
sb_assert_cmdlog <<'EOF'
multipath -ll
EOF
sb_assert_sh_not_ran '^echo '
sb_assert_file /sys/block/sdb/device/state offline

sb_case "online: a running path is refused with 113; an offline path is set running and recorded with del"
iscsi_host
sb_run morvel setstate -path_alias mpatha -device_name sda -state online
sb_assert_status 1
sb_assert_stdout_file $G/already_online_sda.out
sb_assert_sh_not_ran '^echo '
sb_put /sys/block/sda/device/state offline
sb_run morvel setstate -path_alias mpatha -device_name sda -state online
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_file /sys/block/sda/device/state running
sb_assert_cmd_ran "path_state_record.sh del sda"
sb_assert_cmd_not_ran "path_state_record.sh add sda"

sb_case "a state attribute that is neither running nor offline lets both directions go ahead"
iscsi_host
for change in offline:offline online:running; do
    sb_put /sys/block/sdb/device/state blocked
    sb_run morvel setstate -path_alias mpatha -device_name sdb -state "${change%:*}"
    sb_assert_status 0
    sb_assert_file /sys/block/sdb/device/state "${change#*:}"
done

sb_case "a state write that fails is code 3 and nothing is recorded"
iscsi_host
sb_setup 'rm -rf /sys/block/sdb/device/state; mkdir -p /sys/block/sdb/device/state'
sb_run morvel setstate -path_alias mpatha -device_name sdb -state offline
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmd_not_ran "path_state_record.sh add sdb"
sb_assert_log_contains 'ERROR .*cli/cli_exe .*Execute command \[echo offline > /sys/block/sdb/device/state\] failed'

sb_case "a record that cannot be written fails the command (code 3) and puts the path back"
iscsi_host
sb_fake path_state_record.sh --status 1 --out "cannot write /etc/morvel/offline_paths"
sb_run morvel setstate -path_alias mpatha -device_name sdb -state offline
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_file /sys/block/sdb/device/state running
sb_assert_sh_ran "echo running > /sys/block/sdb/device/state 2>&1"
sb_put /sys/block/sdb/device/state offline
sb_run morvel setstate -path_alias mpatha -device_name sdb -state online
sb_assert_status 1
sb_assert_file /sys/block/sdb/device/state offline
sb_assert_cmd_ran "path_state_record.sh del sdb"
sb_fake multipath -ll --out-file "$F/mixed-3-maps-one-path-failed-each.multipath-ll"
sb_run morvel setstate -path_alias mpathc -device_name nvme0n1 -state offline
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmdlog <<'EOF'
multipath -ll
multipathd fail path nvme0n1
path_state_record.sh add nvme0n1
multipathd reinstate path nvme0n1
EOF

sb_case "an unknown alias is 115; a path of another device is 116; nothing is changed"
mixed_host
sb_put /sys/block/sda/device/state running
sb_run morvel setstate -path_alias mpathz -device_name sda -state offline
sb_assert_status 1
sb_assert_stdout_file $G/no_path_alias_mpathz.out
sb_run morvel setstate -path_alias mpatha -device_name sda -state offline
sb_assert_status 1
sb_assert_stdout_file $G/no_device_name_mpatha_sda.out
sb_assert_file /sys/block/sda/device/state running
sb_assert_cmdlog <<'EOF'
multipath -ll
EOF

sb_case "NVMe offline goes through multipathd, also for a path it has already failed"
mixed_host
sb_fake multipathd fail path --out-file "$F/multipathd-fail-path-ok.out"
for dev in nvme0n1 nvme1n1; do
    sb_run morvel setstate -path_alias mpathc -device_name $dev -state offline
    sb_assert_status 0
    sb_assert_stdout_file $G/success.out
    sb_assert_cmd_ran "multipathd fail path $dev"
    sb_assert_cmd_ran "path_state_record.sh add $dev"
    sb_assert_sh_not_ran 'cat /sys/block'
done

sb_case "NVMe: a daemon answer with fail is 137/138; a daemon that exits non-zero is code 3"
mixed_host
sb_fake multipathd fail path --out-file "$F/multipathd-fail-path-unknown.out"
sb_fake multipathd reinstate path --out fail
sb_run morvel setstate -path_alias mpathc -device_name nvme0n1 -state offline
sb_assert_status 1
sb_assert_stdout_file $G/offline_path_fail_nvme0n1.out
sb_assert_cmd_not_ran "path_state_record.sh add nvme0n1"
sb_run morvel setstate -path_alias mpathc -device_name nvme1n1 -state online
sb_assert_status 1
sb_assert_stdout_file $G/online_path_fail_nvme1n1.out
sb_fake multipathd reinstate path --out "timeout" --status 1
sb_run morvel setstate -path_alias mpathc -device_name nvme1n1 -state online
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmd_not_ran "path_state_record.sh del nvme1n1"
sb_fake multipathd reinstate path --out ok
sb_run morvel setstate -path_alias mpathc -device_name nvme1n1 -state online
sb_assert_status 0
sb_assert_cmd_ran "path_state_record.sh del nvme1n1"

sb_finish
