#!/bin/bash
# config, setpathpolicy and lspathpolicy: the configuration and policy scripts are fakes;
# /etc/multipath.conf must come out of every failed setpathpolicy byte for byte as before.
source "$(dirname "$0")/lib/sandbox.bash"
G=golden/mgmt
F=$(sb_fixture mpath)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

cat >"$T/multipath.conf" <<'EOF'
defaults {
    user_friendly_names yes
}
#keldor config begin
devices {
    device {
        vendor                 "KELDOR"
        product                "ZRN"
##      keldor group chooser begin
        path_grouping_policy    multibus
        path_selector          "round-robin 0"
##      keldor group chooser end
    }
}
#keldor config end
EOF
# a policy script that edits the file and then fails
cat >"$T/edit-then-fail" <<'EOF'
sed -i 's/multibus/EDITED/' /etc/multipath.conf
echo "set failed"
exit 1
EOF
cat >"$T/edit-ok" <<'EOF'
sed -i --follow-symlinks "s/path_grouping_policy    .*/path_grouping_policy    $2/" /etc/multipath.conf
EOF

# A host with the SCSI block at multibus/round-robin and multipathd running.
policy_host() {
    sb_copy "$T/multipath.conf" /etc/multipath.conf
    sb_fake_script policy.sh policy_nvme.sh
    sb_fake policy.sh query < <(printf 'multibus\nround-robin\n')
    sb_fake policy.sh set </dev/null
    sb_fake systemctl status multipathd.service --out-file "$F/systemctl-status-multipathd-running.out"
}
service_stopped() {
    sb_fake systemctl status multipathd.service --status 3 --out-file "$F/systemctl-status-multipathd-stopped.out"
}
# the file is as it was, and no restore leftovers lie beside it
conf_unchanged() {
    sb_assert_file /etc/multipath.conf <"$T/multipath.conf"
    sb_assert_no_file /etc/multipath.conf.morvel-restore
}

sb_case "config: success whatever the script prints; 135 for an unsupported distribution; else 3"
sb_fake_script g2mpiocfg.sh
sb_fake g2mpiocfg.sh --out "distribute type is not supported"
sb_run morvel config
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_sh_ran "bash /usr/bin/morvel-script/g2mpiocfg.sh 2>&1"
sb_fake g2mpiocfg.sh --status 1 --out "checking..." --err "distribute type is not supported"
sb_run morvel config
sb_assert_status 1
sb_assert_stdout_file $G/os_not_support.out
sb_fake g2mpiocfg.sh --status 1 --out "no multipath-tools"
sb_run morvel config
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out

sb_case "-chooser alone keeps the current group, records one change and reloads"
policy_host
sb_fake policy.sh set --run "$T/edit-ok"
sb_run morvel setpathpolicy -chooser service-time
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_sh_ran 'bash /usr/bin/morvel-script/policy.sh set multibus "service-time" 2>&1'
sb_assert_cmd_ran "systemctl reload multipathd.service"
sb_assert_file /etc/multipath.conf.bk <"$T/multipath.conf"
sb_assert_log_contains '^\[[0-9: .-]+\] The path chooser type is changed from \[ round-robin \] to \[ service-time \]$' /dumps/morvel_monitor.log
sb_assert_log_not_contains 'group policy' /dumps/morvel_monitor.log
sb_assert_cmdlog <<'EOF'
policy.sh query
policy.sh set multibus service-time
systemctl status multipathd.service
systemctl reload multipathd.service
EOF

sb_case "a group equal to the current one is set and reloaded but not recorded"
policy_host
sb_run morvel setpathpolicy -scsi -group multibus
sb_assert_status 0
sb_assert_cmd_ran "policy.sh set multibus round-robin"
sb_assert_cmd_ran "systemctl reload multipathd.service"
sb_assert_no_file /dumps/morvel_monitor.log

sb_case "an incomplete current setting falls back to failover / round-robin"
policy_host
sb_fake policy.sh query --out "multibus"
sb_run morvel setpathpolicy -group group_by_prio
sb_assert_status 0
sb_assert_cmd_ran "policy.sh set group_by_prio round-robin"
sb_assert_log_contains 'The path group policy is changed from \[  \] to \[ group_by_prio \]' /dumps/morvel_monitor.log
sb_fake policy.sh query < <(printf '\nqueue-length\n')
sb_run morvel setpathpolicy -chooser service-time
sb_assert_cmd_ran "policy.sh set failover service-time"
# a current value that is not one plain word never reaches the command line
sb_fake policy.sh query < <(printf 'multibus;reboot\nround-robin\n')
sb_run morvel setpathpolicy -chooser queue-length
sb_assert_status 0
sb_assert_cmd_ran "policy.sh set failover queue-length"

sb_case "with the service stopped a successful change prints nothing and exits 0"
policy_host
service_stopped
sb_run morvel setpathpolicy -group failover -chooser queue-length
sb_assert_status 0
sb_assert_stdout </dev/null
sb_assert_cmd_not_ran "systemctl reload multipathd.service"
sb_assert_log_contains 'group policy is changed from \[ multibus \] to \[ failover \]' /dumps/morvel_monitor.log
sb_assert_log_contains 'chooser type is changed from \[ round-robin \] to \[ queue-length \]' /dumps/morvel_monitor.log

sb_case "a failing set step: the file is restored byte for byte, code 3; 'No configuration' gives 134"
policy_host
sb_fake policy.sh set --run "$T/edit-then-fail"
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file $G/policy_restored.out
conf_unchanged
sb_assert_cmd_not_ran "systemctl reload multipathd.service"
sb_assert_no_file /dumps/morvel_monitor.log
sb_fake policy.sh set --status 1 --out "No configuration for KELDOR"
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file $G/no_config_info_scsi.out
conf_unchanged

sb_case "a status tool that fails without a word means not running: the change stays, exit 0, no reload"
policy_host
sb_fake policy.sh set --run "$T/edit-ok"
sb_fake systemctl status multipathd.service --status 1 </dev/null
sb_run morvel setpathpolicy -group failover
sb_assert_status 0
sb_assert_stdout </dev/null
sb_assert_cmd_ran "policy.sh set failover round-robin"
sb_assert_cmd_not_ran "systemctl reload multipathd.service"

sb_case "a failing reload: the file is restored, code 3, no change recorded; a link and the mode stay"
policy_host
mkdir -p "$(sb_file /etc/multipath)"
mv "$(sb_file /etc/multipath.conf)" "$(sb_file /etc/multipath/keldor.conf)"
chmod 0640 "$(sb_file /etc/multipath/keldor.conf)"
ln -s multipath/keldor.conf "$(sb_file /etc/multipath.conf)"
sb_fake policy.sh set --run "$T/edit-ok"
sb_fake systemctl reload --status 1 --err "Job for multipathd.service failed."
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file $G/policy_restored.out
conf_unchanged
[[ -L "$(sb_file /etc/multipath.conf)" && $(stat -c %a "$(sb_file /etc/multipath/keldor.conf)") == 640 ]] ||
    sb_fail "the restore replaced the link or lost the mode"
sb_assert_cmd_ran "systemctl reload multipathd.service"
sb_assert_no_file /dumps/morvel_monitor.log

sb_case "a failing backup stops before anything is touched"
policy_host
sb_fake_tool cp
sb_fake cp --status 1 --err "cp: cannot create regular file"
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmdlog <<'EOF'
cp -fp /etc/multipath.conf /etc/multipath.conf.bk
EOF
conf_unchanged

sb_case "a backup path that is a directory is a failing backup"
policy_host
sb_setup 'mkdir -p /etc/multipath.conf.bk'
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmd_not_ran "policy.sh set failover round-robin"
sb_assert_no_file /etc/multipath.conf.bk/multipath.conf
conf_unchanged

sb_case "the backup waits for a writer that holds the lock; the restore puts back what it saw"
# another writer holds the lock for a second, then appends a line and lets go
cat >"$T/hold-lock" <<'EOF'
( exec 9>/run/morvel-multipath-conf.lock; flock 9; : >/tmp/holding; sleep 1
  echo "# edited under the lock" >>/etc/multipath.conf ) </dev/null >/dev/null 2>&1 &
while [ ! -e /tmp/holding ]; do sleep 0.05; done
EOF
policy_host
sb_fake policy.sh set --run "$T/edit-then-fail"
sb_copy "$T/hold-lock" /tmp/hold-lock
sb_script <<'EOF'
bash /tmp/hold-lock
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file golden/mgmt/policy_restored.out
EOF
sb_assert_file_contains /etc/multipath.conf.bk 'edited under the lock'
sb_assert_file /etc/multipath.conf <"$(sb_file /etc/multipath.conf.bk)"

sb_case "setalias while setpathpolicy's reload fails: the alias stays, the policy change is undone"
# The reload fails once setalias is done, or after five seconds while setalias waits for it.
cat >"$T/slow-reload" <<'EOF'
: >/tmp/reloading
for _ in $(seq 50); do [ -e /tmp/alias.done ] && break; sleep 0.1; done
echo "Job for multipathd.service failed."
exit 1
EOF
sb_copy "$T/multipath.conf" /etc/multipath.conf
sb_fake systemctl status multipathd.service --out-file "$F/systemctl-status-multipathd-running.out"
sb_fake systemctl reload multipathd.service --run "$T/slow-reload"
sb_script <<'EOF'
sb_bg morvel setpathpolicy -group failover >/dev/null
sb_wait_until 60 test -e /tmp/reloading
sb_run morvel setalias -wwid 3600a098038303053453f463045727a41 -alias dbdata
sb_assert_status 0
: >/tmp/alias.done
wait "$(cat "$SB_CASE/out/bg.1.pid")"
echo $? >"$SB_CASE/out/bg.1.status"
EOF
[[ "$(cat "$SB_CASE/out/bg.1.status")" == 1 ]] || sb_fail "setpathpolicy exited $(cat "$SB_CASE/out/bg.1.status")"
cmp -s "$SB_CASE/out/bg.1.stdout" "$SB_TEST_DIR/$G/policy_restored.out" || sb_fail "setpathpolicy said: $(cat "$SB_CASE/out/bg.1.stdout")"
sb_assert_file_contains /etc/multipath.conf '^        path_grouping_policy    multibus$'
sb_assert_file_contains /etc/multipath.conf '^        alias                  dbdata$'

sb_case "a failing policy query stops with its item; without multipath.conf the failing backup's (code 3)"
policy_host
sb_fake policy.sh query --status 1 --out "cannot read"
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmd_not_ran "policy.sh set failover round-robin"
conf_unchanged
sb_rm /etc/multipath.conf
sb_run morvel setpathpolicy -group failover
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
sb_assert_cmd_not_ran "policy.sh query"

sb_case "-nvme on RHEL 7.9 and on SLES 12 patch level 4 is 136 before anything is touched"
policy_host
sb_put /etc/redhat-release "Red Hat Enterprise Linux Server release 7.9 (Maipo)"
sb_run morvel setpathpolicy -nvme -group failover
sb_assert_status 1
sb_assert_stdout_file $G/os_not_support_fcnvme.out
sb_assert_cmdlog </dev/null
sb_assert_log_contains 'ERROR .*This OS Red Hat Enterprise Linux Server 7.9  is not support FC-NVMe\.'
sb_assert_no_file /etc/multipath.conf.bk
sb_rm /etc/redhat-release
sb_rm /etc/os-release
sb_put /etc/SuSE-release < <(printf 'SUSE Linux Enterprise Server 12 (x86_64)\nVERSION = 12\nPATCHLEVEL = 4\n')
sb_run morvel setpathpolicy -nvme -group failover
sb_assert_status 1
sb_assert_stdout_file $G/os_not_support_fcnvme.out
sb_put /etc/SuSE-release < <(printf 'SUSE Linux Enterprise Server 12 (x86_64)\nVERSION = 12\nPATCHLEVEL = 5\n')
sb_fake policy_nvme.sh query < <(printf 'failover\nservice-time\n')
sb_run morvel setpathpolicy -nvme -group multibus
sb_assert_status 0
sb_assert_cmd_ran "policy_nvme.sh set multibus service-time"

sb_case "-nvme on RHEL 10.0 goes on, from the NVMe block's own values; 'No configuration' is 134 nvme"
policy_host
sb_put /etc/redhat-release "Red Hat Enterprise Linux release 10.0 (Coughlan)"
sb_fake policy_nvme.sh query < <(printf 'failover\nqueue-length\n')
sb_fake policy_nvme.sh set </dev/null
sb_run morvel setpathpolicy -nvme -group group_by_serial
sb_assert_status 0
sb_assert_sh_ran 'bash /usr/bin/morvel-script/policy_nvme.sh set group_by_serial "queue-length" 2>&1'
sb_assert_cmd_not_ran "policy.sh query"
sb_assert_log_contains 'from \[ failover \] to \[ group_by_serial \]' /dumps/morvel_monitor.log
sb_fake policy_nvme.sh set --status 1 --out "No configuration"
sb_run morvel setpathpolicy -nvme -chooser round-robin
sb_assert_status 1
sb_assert_stdout_file $G/no_config_info_nvme.out
conf_unchanged

sb_case "lspathpolicy: SCSI only on a distribution without FC-NVMe"
policy_host
sb_fake policy.sh query < <(printf 'failover\nround-robin\n')
sb_run morvel lspathpolicy
sb_assert_status 0
sb_assert_stdout_file $G/lspathpolicy_scsi.out
sb_assert_cmd_not_ran "policy_nvme.sh query"
sb_fake policy.sh query --status 1
sb_run morvel lspathpolicy
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out

sb_case "lspathpolicy: both blocks on RHEL 8.4; a failing NVMe query ends without the closing frame"
policy_host
sb_put /etc/redhat-release "Red Hat Enterprise Linux release 8.4 (Ootpa)"
sb_fake policy.sh query < <(printf 'failover\nround-robin\n')
sb_fake policy_nvme.sh query < <(printf 'multibus\nservice-time\n')
sb_run morvel lspathpolicy
sb_assert_status 0
sb_assert_stdout_file $G/lspathpolicy_both.out
sb_fake policy_nvme.sh query --status 1
sb_run morvel lspathpolicy
sb_assert_status 1
sb_assert_stdout_file $G/lspathpolicy_nvme_failed.out

sb_finish
