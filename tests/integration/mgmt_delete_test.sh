#!/bin/bash
# delete as an administrator runs it after unmapping a LUN: the SCSI devices of its paths
# are deleted through sysfs, then the map is flushed with retries.
source "$(dirname "$0")/lib/sandbox.bash"
G=golden/mgmt
F=$(sb_fixture mpath)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
# single-map replies of "multipath -ll <name>", cut from real captures
cp "$F/iscsi-2-portals.multipath-ll" "$T/mpatha"                       # dm-0: sda, sdb
sed -n 11,15p "$F/mixed-3-maps-one-path-failed-each.multipath-ll" >"$T/mpathc"  # dm-2: nvme0n1, nvme1n1
sed '1s/^mpatha /360014050123abcd456789ef012345678 /' "$T/mpatha" >"$T/wwid-named"
WWID=360014050123abcd456789ef012345678

# mpatha with both path devices present in sysfs and its /dev/dm-0 node
host_mpatha() {
    sb_fake multipath -ll mpatha --out-file "$T/mpatha"
    sb_fake multipath -ll "$WWID" --out-file "$T/mpatha"
    sb_put /sys/block/sda/device/delete </dev/null
    sb_put /sys/block/sdb/device/delete </dev/null
    sb_setup 'touch /dev/dm-0'
}
# multipath-tools 0.9.4 names the map as it was given: "/dev/dm-0: map in use"
map_in_use() { sb_fake "$@" multipath -f /dev/dm-0 --status 1 --err-file <(sb_mpath_stderr "/dev/dm-0: map in use"); }

sb_case "paths deleted, map busy on the first flush and free on the second: success"
host_mpatha
map_in_use
sb_fake --then multipath -f /dev/dm-0 </dev/null
sb_run morvel delete mpatha
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_file /sys/block/sda/device/delete 1
sb_assert_file /sys/block/sdb/device/delete 1
sb_assert_sh_ran "echo 1 > /sys/block/sda/device/delete 2>&1"
[[ $(sb_fake_calls multipath -f /dev/dm-0) == 2 ]] || _sb_fail "expected 2 flush attempts"
sb_assert_cmdlog <<'EOF'
multipath -ll mpatha
multipath -f /dev/dm-0
multipath -f /dev/dm-0
EOF

sb_case "a map still in use after three attempts is code 123; the paths stay deleted"
host_mpatha
map_in_use
sb_run morvel delete mpatha
sb_assert_status 1
sb_assert_stdout_file $G/del_failed_for_using.out
[[ $(sb_fake_calls multipath -f /dev/dm-0) == 3 ]] || _sb_fail "expected 3 flush attempts"
sb_assert_file /sys/block/sda/device/delete 1

# with /dev/dm-0 still there: retried three times, code 3; once it has gone: taken as flushed
for dm in there gone; do
    sb_case "'is not a valid argument' with /dev/dm-0 $dm"
    host_mpatha
    [[ $dm == gone ]] && sb_setup 'rm -f /dev/dm-0'
    sb_fake multipath -f /dev/dm-0 --status 1 < <(sb_mpath_stderr "'/dev/dm-0' is not a valid argument"; echo)
    sb_run morvel delete mpatha
    if [[ $dm == there ]]; then
        sb_assert_status 1
        sb_assert_stdout_file $G/exe_cmd_failed.out
        [[ $(sb_fake_calls multipath -f /dev/dm-0) == 3 ]] || _sb_fail "expected 3 flush attempts"
    else
        sb_assert_status 0
        sb_assert_stdout_file $G/success.out
        [[ $(sb_fake_calls multipath -f /dev/dm-0) == 1 ]] || _sb_fail "expected 1 flush attempt"
    fi
done

sb_case "any other flush failure is retried at once; a later success wins"
host_mpatha
sb_fake multipath -f /dev/dm-0 --status 1 --out "something odd"
sb_fake --then multipath -f /dev/dm-0 </dev/null
sb_run morvel delete mpatha
sb_assert_status 0
[[ $(sb_fake_calls multipath -f /dev/dm-0) == 2 ]] || _sb_fail "expected 2 flush attempts"

sb_case "an NVMe LUN keeps its path devices: only the flush runs"
sb_fake multipath -ll mpathc --out-file "$T/mpathc"
sb_put /sys/block/nvme0n1/device/delete </dev/null
sb_run morvel delete mpathc
sb_assert_status 0
sb_assert_file /sys/block/nvme0n1/device/delete </dev/null
sb_assert_sh_not_ran 'delete'
sb_assert_cmd_ran "multipath -f /dev/dm-2"

sb_case "a path whose sysfs entry has vanished is skipped"
sb_fake multipath -ll mpatha --out-file "$T/mpatha"
sb_put /sys/block/sdb/device/delete </dev/null
sb_run morvel delete mpatha
sb_assert_status 0
sb_assert_file /sys/block/sdb/device/delete 1
sb_assert_no_file /sys/block/sda
sb_assert_sh_not_ran 'sda'

sb_case "a path device that cannot be deleted is code 3 and the map is not flushed"
host_mpatha
sb_setup 'rm -f /sys/block/sda/device/delete; mkdir /sys/block/sda/device/delete'
sb_run morvel delete mpatha
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmd_not_ran "multipath -f /dev/dm-0"
sb_assert_log_contains 'ERROR .*cli/cli_exe .*Execute command \[echo 1 > /sys/block/sda/device/delete\] failed'

sb_case "the WWID of an aliased map is 115 and nothing is deleted; a map named by its WWID works"
host_mpatha
sb_run morvel delete "$WWID"
sb_assert_status 1
sb_assert_stdout_file $G/no_path_alias_wwid.out
sb_assert_file /sys/block/sda/device/delete </dev/null
sb_assert_cmd_not_ran "multipath -f /dev/dm-0"
sb_fake multipath -ll "$WWID" --out-file "$T/wwid-named"
sb_run morvel delete "$WWID"
sb_assert_status 0
sb_assert_file /sys/block/sda/device/delete 1
sb_assert_cmd_ran "multipath -f /dev/dm-0"

sb_case "a LUN whose paths are all gone: its map is flushed once it is no longer in use"
# the VM's open map after its path devices were deleted, and what delete printed there
CAP=$MORVEL_SRC/tests/system/captures
sb_fake multipath -ll mpathf --out-file "$F/vm-open-pathless-map.multipathd-show-map"
sb_put /dumps/storage_config.json '{"disk": [{"wwid": "36000aabbccdd00000000000000000a02", "vdisk_name": "vd_hr_03"}]}'
sb_fake multipath -f /dev/dm-5 --status 1 --err-file <(sb_mpath_stderr "/dev/dm-5: map in use")
sb_run morvel delete mpathf
sb_assert_status 1
sb_assert_stdout_file "$CAP/morvel-delete-open-pathless.out"
[[ $(sb_fake_calls multipath -f /dev/dm-5) == 3 ]] || _sb_fail "expected 3 flush attempts"
sb_fake multipath -f /dev/dm-5 </dev/null
sb_run morvel delete mpathf
sb_assert_status 0
sb_assert_stdout_file "$CAP/morvel-delete-closed-pathless.out"
sb_assert_sh_not_ran 'delete'

sb_case "a name that multipath does not know is 133"
sb_fake multipath -ll mpathz </dev/null
sb_run morvel delete mpathz
sb_assert_status 1
sb_assert_stdout_file $G/no_this_device_mpathz.out
sb_assert_sh_not_ran 'delete|-f'
sb_assert_log_contains 'ERROR cli/cli_exe delete [0-9]+ Query morvel information failed'

sb_finish
