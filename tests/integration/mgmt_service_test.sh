#!/bin/bash
# The multipathd service commands and the maintenance commands on a systemd host (the
# SysV choice for an .el6. kernel release, which a sandbox cannot fake: see service_test).
source "$(dirname "$0")/lib/sandbox.bash"
G=golden/mgmt
F=$(sb_fixture mpath)

running() { sb_fake systemctl status multipathd.service --out-file "$F/systemctl-status-multipathd-running.out"; }
stopped() { sb_fake systemctl status multipathd.service --status 3 --out-file "$F/systemctl-status-multipathd-stopped.out"; }
scripts() {
    sb_fake_script g2morvelscan.sh discoverfcnvme.sh run_all_offline_path.sh
}

sb_case "status: active from the real running capture, inactive from the stopped one or no answer"
running
sb_run morvel status
sb_assert_status 0
sb_assert_stdout_file $G/status_active.out
sb_assert_cmd_ran "systemctl status multipathd.service"
stopped
sb_run morvel status
sb_assert_status 0
sb_assert_stdout_file $G/status_inactive.out
sb_fake systemctl status multipathd.service --status 1 </dev/null
sb_run morvel status
sb_assert_status 0
sb_assert_stdout_file $G/status_inactive.out
# "running" on another line than the third counts for nothing
sb_fake systemctl status multipathd.service --status 3 < <(printf 'x\n   Active: active (running) since now\ny\nz\n')
sb_run morvel status
sb_assert_stdout_file $G/status_inactive.out

# the host's own multipath-tools may ship a socket unit: each case says whether there is one
no_socket_unit() {
    sb_rm /etc/systemd/system/multipathd.socket
    sb_rm /usr/lib/systemd/system/multipathd.socket
    sb_rm /lib/systemd/system/multipathd.socket
}

sb_case "start and stop drive systemctl; a refusal is code 3"
no_socket_unit
sb_run morvel start
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_cmdlog <<'EOF'
systemctl start multipathd.service
EOF
sb_run morvel stop
sb_assert_status 0
sb_assert_cmd_ran "systemctl stop multipathd.service"
sb_fake systemctl stop --status 1 --err "Failed to stop multipathd.service: Access denied"
sb_run morvel stop
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out

sb_case "a host without systemctl is driven with service, and the helper scripts agree"
sb_put /etc/redhat-release "Red Hat Enterprise Linux release 9.2 (Plow)"
sb_fake service multipathd status --status 3 --out "multipathd is stopped"
sb_script <<'EOF'
rm -f /usr/local/sbin/systemctl /usr/bin/systemctl /bin/systemctl /usr/sbin/systemctl /sbin/systemctl
sb_run morvel start
sb_assert_status 0
sb_assert_cmdlog <<'LOG'
service multipathd start
LOG
# morvel config over the real g2mpiocfg.sh: the script drives the service as morvel decided
sb_run morvel config
sb_assert_status 0
sb_assert_cmd_ran "service multipathd start"
EOF

sb_case "a socket-activated multipathd: stop also stops the socket, start starts it first"
sb_put /usr/lib/systemd/system/multipathd.socket "[Socket]"
sb_run morvel stop
sb_assert_status 0
sb_assert_cmdlog <<'EOF'
systemctl stop multipathd.socket
systemctl stop multipathd.service
EOF
sb_run morvel start
sb_assert_status 0
sb_assert_cmdlog <<'EOF'
systemctl start multipathd.socket
systemctl start multipathd.service
EOF
# the service's own answer decides
sb_fake systemctl start multipathd.service --status 1 --err "Job for multipathd.service failed."
sb_run morvel start
sb_assert_status 1
# a socket that will not stop does not fail the stop of the service
sb_fake systemctl stop multipathd.socket --status 5 --err "Failed to stop multipathd.socket"
sb_run morvel stop
sb_assert_status 0
sb_assert_cmd_ran "systemctl stop multipathd.service"

sb_case "restart: a stopped service is started, a running one reloaded"
stopped
sb_run morvel restart
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_cmd_ran "systemctl start multipathd.service"
sb_assert_cmd_not_ran "systemctl reload multipathd.service"
running
sb_run morvel restart
sb_assert_status 0
sb_assert_cmd_ran "systemctl reload multipathd.service"
sb_assert_cmd_not_ran "systemctl start multipathd.service"

sb_case "restart that fails restores only the backup of the file as morvel's last change left it"
stopped
sb_persist /etc/morvel
sb_fake systemctl start --status 1 --err "Job for multipathd.service failed."
sb_fake_script alias.sh
sb_fake alias.sh set --run <(echo 'echo "edited by setalias" >/etc/multipath.conf')
sb_put /etc/multipath.conf "before"
sb_put /etc/multipath.conf.bk "months old"
# a backup that no morvel change of this file left is not restored
sb_run morvel restart
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_file /etc/multipath.conf before
sb_run morvel setalias -wwid 36001405aaaaaaaaaaaaaaaaaaaaaaaaa -alias dbdata
sb_assert_status 0
sb_assert_file /etc/multipath.conf.bk before
sb_run morvel restart
sb_assert_status 1
sb_assert_stdout_file $G/restart_restored.out
sb_assert_file /etc/multipath.conf before
# once restored, the backup belongs to no later state
sb_run morvel restart
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_file /etc/multipath.conf before
# an administrator's edit after the last morvel change is kept
sb_run morvel setalias -wwid 36001405aaaaaaaaaaaaaaaaaaaaaaaaa -alias dbdata
sb_put /etc/multipath.conf "edited by hand"
sb_run morvel restart
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_file /etc/multipath.conf "edited by hand"
sb_fake systemctl start </dev/null
sb_run morvel restart
sb_assert_status 0

sb_case "scan prints the waiting line, runs the rescan, then the FC-NVMe discovery, whose outcome alone counts"
scripts
sb_fake g2morvelscan.sh --status 1 --out "no hosts"
sb_run morvel scan
sb_assert_status 0
sb_assert_stdout_file $G/scan.out
sb_assert_cmdlog <<'EOF'
g2morvelscan.sh
discoverfcnvme.sh
EOF

sb_case "aggregation runs the offline-path script, then multipath -r"
scripts
sb_fake run_all_offline_path.sh --status 1
sb_run morvel aggregation
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_cmdlog <<'EOF'
run_all_offline_path.sh
multipath -r
EOF

sb_case "refresh: faulty paths of priority-0 groups go, maps left without a path are flushed"
scripts
# behind them a map of the array's that lost its paths (its WWID is in the store), and another one
sb_fake multipath -ll < <(cat "$F/refresh-faulty.multipath-ll"; sed -n '2,3{s/dm-1/dm-5/;s/mpathb/mpathg/;p}' "$F/vm-pathless-map.multipath-ll"
    sed -n 2,3p "$F/vm-pathless-map.multipath-ll" | sed 's/dm-1/dm-6/; s/7d1/7d9/; s/mpathb/mpathf/')
sb_put /dumps/storage_config.json '{"disk": [{"wwid": "333333330000007d1", "vdisk_name": "vd_b"}]}'
for d in sda sdb sdc sdd sde; do sb_put /sys/block/$d/device/delete </dev/null; done
sb_run morvel refresh
sb_assert_status 0
sb_assert_stdout_file $G/success.out
for d in sda sdb sdc; do sb_assert_file /sys/block/$d/device/delete 1; done
for d in sdd sde; do sb_assert_file /sys/block/$d/device/delete </dev/null; done
sb_assert_cmdlog <<'EOF'
multipath -ll
multipath -f /dev/dm-1
multipath -f /dev/dm-4
multipath -f /dev/dm-5
g2morvelscan.sh
discoverfcnvme.sh
run_all_offline_path.sh
multipath -r
EOF

sb_case "refresh stops at a map in use (123) or a path that cannot be deleted (3)"
scripts
sb_fake multipath -ll --out-file "$F/refresh-faulty.multipath-ll"
sb_fake multipath -f /dev/dm-1 --status 1 --err-file <(sb_mpath_stderr "/dev/dm-1: map in use")
sb_run morvel refresh
sb_assert_status 1
sb_assert_stdout_file $G/del_failed_for_using.out
sb_assert_cmd_not_ran "multipath -f /dev/dm-4"
sb_assert_cmd_not_ran "g2morvelscan.sh"
sb_setup 'mkdir -p /sys/block/sdc/device/delete'
sb_run morvel refresh
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmdlog <<'EOF'
multipath -ll
EOF

sb_case "version prints the four identity lines"
sb_run morvel version
sb_assert_status 0
sb_assert_stdout_file $G/version.out
sb_assert_cmdlog </dev/null

sb_finish
