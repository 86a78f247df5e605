#!/bin/bash
# g2mpiocfg.sh, policy.sh and policy_nvme.sh as installed, on simulated hosts: distribution
# recognition, the device blocks they write into /etc/multipath.conf (everything else in the
# file must stay byte for byte), idempotence, the service calls, and "morvel config" /
# "setpathpolicy" / "lspathpolicy" over the real scripts.
source "$(dirname "$0")/lib/sandbox.bash"
S=/usr/bin/morvel-script
F=$(sb_fixture scripts/conf)
G=$(sb_fixture scripts/golden)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

rhel() { sb_put /etc/redhat-release "Red Hat Enterprise Linux release $1"; }
conf_is() { sb_assert_file /etc/multipath.conf <"$1"; }
no_backup() { sb_assert_no_file /etc/multipath.conf.bk; }
unput() { rm -f "$(sb_file "$1")"; }
# g2mpiocfg.sh as "morvel config" runs it: with morvel's decisions on FC-NVMe and the service
cfg() { sb_run env MORVEL_FCNVME="${FCNVME:-yes}" MORVEL_INIT="${INIT:-systemd}" bash $S/g2mpiocfg.sh; }

sb_case "config on RHEL 9 without multipath.conf: defaults, both blocks, service enabled and started"
rhel "9.2 (Plow)"
# run by hand, without morvel's decisions, it stops before it changes anything
sb_run bash $S/g2mpiocfg.sh
sb_assert_status 1
sb_assert_stdout_contains '^g2mpiocfg.sh: MORVEL_FCNVME is not set; this script is run by morvel$'
sb_assert_no_file /etc/multipath.conf
sb_assert_cmdlog </dev/null
sb_fake systemctl is-active --status 3 </dev/null
cfg
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/new-rhel9.conf"
no_backup
sb_assert_cmdlog <<'EOF'
systemctl enable multipathd.service
systemctl is-active --quiet multipathd.service
systemctl start multipathd.service
EOF
sb_run bash $S/policy.sh query
sb_assert_status 0
sb_assert_stdout < <(printf 'failover\nround-robin\n')
sb_run bash $S/policy_nvme.sh query
sb_assert_stdout < <(printf 'failover\nround-robin\n')
# a second run changes nothing: no backup taken, same bytes; a running service is reloaded
cp "$(sb_file /etc/multipath.conf)" "$T/first.conf"
sb_fake systemctl is-active </dev/null
cfg
sb_assert_status 0
conf_is "$T/first.conf"
no_backup
sb_assert_cmd_ran "systemctl reload multipathd.service"
sb_assert_cmd_not_ran "systemctl start multipathd.service"

sb_case "config keeps an administrator's file byte for byte, also without a final line feed"
rhel "8.6 (Ootpa)"
head -c -1 "$F/admin.conf" >"$T/admin-nolf.conf"
sb_copy "$T/admin-nolf.conf" /etc/multipath.conf
cfg
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/admin-rhel8.conf"
cmp -s <(head -c "$(stat -c %s "$T/admin-nolf.conf")" "$(sb_file /etc/multipath.conf)") "$T/admin-nolf.conf" ||
    sb_fail "the administrator's part of the file changed"
sb_assert_file /etc/multipath.conf.bk <"$T/admin-nolf.conf"

sb_case "config replaces old blocks by one, keeping allowed policies, and leaves the rest"
rhel "9.4 (Plow)"
sb_copy "$F/old-blocks.conf" /etc/multipath.conf
# the temporary file of a replacement killed before its rename is removed under the lock
sb_put /etc/.multipath.conf.morvel.Xy12Zq "half a file"
sb_persist /etc/.multipath.conf.morvel.Xy12Zq
cfg
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/old-blocks-rhel9.conf"
sb_assert_file /etc/multipath.conf.bk <"$F/old-blocks.conf"
sb_assert_no_file /etc/.multipath.conf.morvel.Xy12Zq
sb_run bash $S/policy.sh query
sb_assert_stdout < <(printf 'multibus\nservice-time\n')
# group_by_prio is not an NVMe policy: the default took its place, the chooser stayed
sb_run bash $S/policy_nvme.sh query
sb_assert_stdout < <(printf 'failover\nqueue-length\n')

sb_case "morvel config: distributions without FC-NVMe get the SCSI block only"
for release in "Red Hat Enterprise Linux Server release 7.9 (Maipo)" "CentOS Linux release 7.9.2009 (Core)" \
    "Oracle Linux Server release 7.9"; do
    unput /etc/multipath.conf
    sb_put /etc/redhat-release "$release"
    [[ "$release" == Oracle* ]] && sb_put /etc/oracle-release "$release"
    sb_run morvel config
    sb_assert_status 0
    sb_assert_file_golden /etc/multipath.conf "$G/new-scsi-only.conf"
done
sb_run bash $S/policy_nvme.sh query
sb_assert_status 1
sb_assert_stdout_contains '^No configuration'

sb_case "morvel config on SLES: SP4 has no FC-NVMe block, SP5 and 15 have one; os-release alone suffices"
sb_rm /etc/os-release
sb_put /etc/SuSE-release < <(printf 'SUSE Linux Enterprise Server 12 (x86_64)\nVERSION = 12\nPATCHLEVEL = 4\n')
sb_run morvel config
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/new-scsi-only.conf"
sb_put /etc/SuSE-release < <(printf 'SUSE Linux Enterprise Server 12 (x86_64)\nVERSION = 12\nPATCHLEVEL = 5\n')
sb_run morvel config
sb_assert_status 0
sb_run bash $S/policy_nvme.sh query
sb_assert_status 0
unput /etc/SuSE-release
unput /etc/multipath.conf
sb_put /etc/os-release < <(printf 'NAME="SLES"\nVERSION="15-SP4"\nVERSION_ID="15.4"\nID="sles"\n')
sb_run morvel config
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/new-rhel9.conf"

sb_case "unsupported distributions: the message, a failure status, no file and no service call"
for release in "" "Rocky Linux release 9.2 (Blue Onyx)" "Red Hat Enterprise Linux Server release 5.11 (Tikanga)" \
    "Fedora release 38 (Thirty Eight)"; do
    [[ -z "$release" ]] || sb_put /etc/redhat-release "$release"
    cfg
    [[ "$(cat "$SB_CASE/out/status")" != 0 ]] || sb_fail "[$release] exit status 0"
    sb_assert_stdout_contains '^distribute type is not supported$'
    sb_assert_no_file /etc/multipath.conf
    sb_assert_cmdlog </dev/null
done

sb_case "SysV hosts (as morvel decides) use chkconfig and service; a failing start is a failure"
sb_put /etc/redhat-release "CentOS release 6.10 (Final)"
INIT=sysv
sb_fake_tool chkconfig
sb_fake service multipathd status --status 3 --out "multipathd is stopped"
cfg
sb_assert_status 0
sb_assert_cmdlog <<'EOF'
chkconfig multipathd on
service multipathd status
service multipathd start
EOF
sb_fake service multipathd start --status 1 --out "Starting multipathd daemon: [FAILED]"
cfg
sb_assert_status 3
sb_fake service multipathd status --out "multipathd (pid  1234) is running..."
cfg
sb_assert_status 0
sb_assert_cmd_ran "service multipathd reload"
sb_assert_cmd_not_ran "service multipathd start"
INIT=systemd

sb_case "a begin marker without its end line stops config and set without touching the file"
rhel "9.2 (Plow)"
{ cat "$F/admin.conf"; echo "#keldor config begin"; echo "devices {"; } >"$T/damaged.conf"
sb_copy "$T/damaged.conf" /etc/multipath.conf
cfg
sb_assert_status 1
conf_is "$T/damaged.conf"
sb_run bash $S/policy.sh set multibus round-robin
sb_assert_status 1
sb_assert_stdout_not_contains '^No configuration'
conf_is "$T/damaged.conf"

sb_case "policy set rewrites lines 7 and 8 of the block only, and refuses bad values"
sb_copy "$F/old-blocks.conf" /etc/multipath.conf
sb_run bash $S/policy.sh set group_by_prio "queue-length"
sb_assert_status 0
diff "$F/old-blocks.conf" "$(sb_file /etc/multipath.conf)" >"$T/diff"
# both SCSI blocks follow; the NVMe block and everything else are untouched
cat >"$T/want" <<'EOF'
10,11c10,11
<         path_grouping_policy    multibus
<         path_selector          "service-time 0"
---
>         path_grouping_policy    group_by_prio
>         path_selector          "queue-length 0"
25,26c25,26
<         path_grouping_policy    failover
<         path_selector          "round-robin 0"
---
>         path_grouping_policy    group_by_prio
>         path_selector          "queue-length 0"
EOF
cmp -s "$T/want" "$T/diff" || sb_fail "unexpected change:"$'\n'"$(cat "$T/diff")"
cp "$(sb_file /etc/multipath.conf)" "$T/after.conf"
sb_run bash $S/policy_nvme.sh set group_by_prio round-robin
sb_assert_status 2
sb_run bash $S/policy.sh set multibus round-robin-ish
sb_assert_status 2
sb_run bash $S/policy.sh set 'multibus;reboot' round-robin
sb_assert_status 2
sb_run bash $S/policy.sh set multibus
sb_assert_status 2
conf_is "$T/after.conf"
sb_run bash $S/policy_nvme.sh set group_by_node_name service-time
sb_assert_status 0
sb_run bash $S/policy_nvme.sh query
sb_assert_stdout < <(printf 'group_by_node_name\nservice-time\n')

sb_case "policy scripts without a block, without the file, or with a block lacking its policy lines"
sb_run bash $S/policy.sh query
sb_assert_status 1
sb_assert_stdout_contains '^No configuration'
sb_copy "$F/admin.conf" /etc/multipath.conf
sb_run bash $S/policy.sh set multibus round-robin
sb_assert_status 1
sb_assert_stdout_contains '^No configuration'
conf_is "$F/admin.conf"
printf '#keldor config begin\ndevices {\n}\n#keldor config end\n' >"$T/short.conf"
sb_copy "$T/short.conf" /etc/multipath.conf
sb_run bash $S/policy.sh query
sb_assert_status 1
sb_assert_stdout_contains '^No configuration'

sb_case "morvel config writes the NVMe block only where setpathpolicy -nvme accepts it"
# Oracle Linux 8: the scripts' own rule says FC-NVMe, morvel's says not; morvel's decides
sb_put /etc/oracle-release "Oracle Linux Server release 8.6"
sb_put /etc/redhat-release "Red Hat Enterprise Linux release 8.6 (Ootpa)"
sb_run morvel config
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/new-scsi-only.conf"
sb_run morvel setpathpolicy -nvme -group failover
sb_assert_stdout_contains 'Error\(0136\)'

sb_case "morvel config, lspathpolicy and setpathpolicy over the installed scripts"
rhel "9.2 (Plow)"
sb_fake systemctl status multipathd.service --status 3 \
    --out-file "$(sb_fixture mpath/systemctl-status-multipathd-stopped.out)"
sb_run morvel config
sb_assert_status 0
sb_run morvel lspathpolicy
sb_assert_status 0
sb_assert_stdout_file "$G/lspathpolicy-default.out"
sb_run morvel setpathpolicy -group multibus
sb_assert_status 0
sb_run morvel lspathpolicy
sb_assert_stdout_file "$G/lspathpolicy-multibus.out"
grep -c 'is changed from' "$(sb_file /dumps/morvel_monitor.log)" >"$T/records" 2>&1
[[ "$(cat "$T/records")" == 1 ]] || sb_fail "expected one change record, found $(cat "$T/records")"
sb_assert_log_contains 'The path group policy is changed from \[ failover \] to \[ multibus \]' /dumps/morvel_monitor.log
cp "$(sb_file /etc/multipath.conf)" "$T/set.conf"
sb_run morvel config
sb_assert_status 0
conf_is "$T/set.conf"
sb_run morvel lspathpolicy
sb_assert_stdout_file "$G/lspathpolicy-multibus.out"

sb_finish
