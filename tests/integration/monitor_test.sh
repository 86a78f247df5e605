#!/bin/bash
# morvel_monitor as it runs on a host: the installed daemon in the background, a topology
# that changes under it (fake multipath), time sped up ten times with libfaketime so that
# a 10-second cycle takes one second. Checks the change lines of /dumps/morvel_monitor.log
# in order, the errors of a failing query, and /dumps/data.morvel across restarts.
source "$(dirname "$0")/lib/sandbox.bash"

if [[ ! -f /usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 ]]; then
    echo "monitor_test: libfaketime (Debian package faketime) is needed" >&2
    exit 1
fi

sb_case "a sequence of topologies gives its change lines in order; a failing query gives none"
sb_script <<'EOF'
source "$MORVEL_SRC/tests/integration/monitor_lib.bash"
faulty='s/^  `- 1:0:0:0 sdc 8:32 active ready running/  `- 1:0:0:0 sdc 8:32 failed faulty running/'
mk /run/t-faulty <<<"$faulty"
mk /run/t-a-only <<<"$faulty"$'\n''/^mpathb/,$d'
set_topo 0 /run/t-both
start_monitor
sb_wait_until 60 has_changes 6
assert_changes_from 1 <<X
The lun is created, the properties are [ path_alias: mpatha, wwid: $A ].
The lun is created, the properties are [ path_alias: mpathb, wwid: $B ].
The path is created, the properties are [ path_alias: mpatha, wwid: $A, dev_name: sda, path_status: ready, path_group_status: active, morvel_status:running ].
The path is created, the properties are [ path_alias: mpatha, wwid: $A, dev_name: sdc, path_status: ready, path_group_status: active, morvel_status:running ].
The path is created, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdb, path_status: ready, path_group_status: active, morvel_status:running ].
The path is created, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdd, path_status: ready, path_group_status: active, morvel_status:running ].
X
wait_cycles 2
sb_assert_file /dumps/data.morvel <<X
mpatha,$A,8:0,sda,ready,active,running,
mpatha,$A,8:32,sdc,ready,active,running,
mpathb,$B,8:16,sdb,ready,active,running,
mpathb,$B,8:48,sdd,ready,active,running,
X

set_topo 0 /run/t-faulty
sb_wait_until 60 has_changes 7
set_topo 0 /run/t-a-only
sb_wait_until 60 has_changes 10
set_topo 1 /run/t-both      # the query fails while mpathb comes back
wait_cycles 3
sb_assert_log_contains 'ERROR monitor/monitor getLunPath [0-9]+ Query Morvel infomation failed\. Error message: Error\(0003\): Execute system command failed\.'
sb_assert_log_contains 'ERROR monitor/monitor oneMonitor [0-9]+ Get lun and path information failed\. Error message: Error\(0003\): Execute system command failed\.'
set_topo 0 /run/t-both
sb_wait_until 60 has_changes 17
wait_cycles 2
assert_changes_from 7 <<X
The path status is changed from [ready] to [faulty] for the path [ dev_name: sdc ].
The lun is below its path baseline, the properties are [ path_alias: mpatha, wwid: $A, usable_paths: 1, baseline_paths: 2 ].
The lun has one usable path left, the properties are [ path_alias: mpatha, wwid: $A, usable_paths: 1, baseline_paths: 2 ].
The lun is deleted, the properties are [ path_alias: mpathb, wwid: $B ].
The path is deleted, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdb, path_status: ready, path_group_status: active, morvel_status:running ].
The path is deleted, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdd, path_status: ready, path_group_status: active, morvel_status:running ].
The lun is created, the properties are [ path_alias: mpathb, wwid: $B ].
The path status is changed from [faulty] to [ready] for the path [ dev_name: sdc ].
The path is created, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdb, path_status: ready, path_group_status: active, morvel_status:running ].
The path is created, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdd, path_status: ready, path_group_status: active, morvel_status:running ].
The lun is whole again, the properties are [ path_alias: mpatha, wwid: $A, usable_paths: 2, baseline_paths: 2 ].
X
sb_assert_file /dumps/data.morvel <<X
mpatha,$A,8:0,sda,ready,active,running,
mpatha,$A,8:32,sdc,ready,active,running,
mpathb,$B,8:16,sdb,ready,active,running,
mpathb,$B,8:48,sdd,ready,active,running,
X
sb_assert_file /dumps/data.morvel.paths <<X
$A 2
$B 2
X
# Still running in the foreground after all of it; stops on SIGTERM with a whole snapshot.
kill -0 "$(cat "$SB_CASE"/out/bg.1.pid)" || _sb_fail "morvel_monitor is no longer running"
sb_bg_stop
sb_assert_file /dumps/data.morvel <<X
mpatha,$A,8:0,sda,ready,active,running,
mpatha,$A,8:32,sdc,ready,active,running,
mpathb,$B,8:16,sdb,ready,active,running,
mpathb,$B,8:48,sdd,ready,active,running,
X
sb_assert_no_file /dumps/data.morvel.tmp
EOF

sb_case "restarts: changes made while stopped are reported once; all LUNs gone leaves an empty snapshot"
sb_script <<'EOF'
source "$MORVEL_SRC/tests/integration/monitor_lib.bash"
mk /run/t-a-only <<<'/^mpathb/,$d'
set_topo 0 /run/t-both
start_monitor
sb_wait_until 60 has_changes 6
sb_bg_stop
start_monitor               # unchanged topology: nothing new
wait_cycles 3
changes | wc -l >/tmp/n
sb_assert_file /tmp/n 6
sb_bg_stop
set_topo 0 /run/t-a-only    # mpathb removed while the monitor was stopped
start_monitor
sb_wait_until 60 has_changes 9
wait_cycles 2
sb_bg_stop
set_topo 0                  # every LUN gone
start_monitor
sb_wait_until 60 has_changes 12
wait_cycles 2
sb_bg_stop
sb_assert_file /dumps/data.morvel </dev/null
start_monitor               # a restart after that repeats nothing
wait_cycles 3
sb_bg_stop
assert_changes_from 7 <<X
The lun is deleted, the properties are [ path_alias: mpathb, wwid: $B ].
The path is deleted, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdb, path_status: ready, path_group_status: active, morvel_status:running ].
The path is deleted, the properties are [ path_alias: mpathb, wwid: $B, dev_name: sdd, path_status: ready, path_group_status: active, morvel_status:running ].
The lun is deleted, the properties are [ path_alias: mpatha, wwid: $A ].
The path is deleted, the properties are [ path_alias: mpatha, wwid: $A, dev_name: sda, path_status: ready, path_group_status: active, morvel_status:running ].
The path is deleted, the properties are [ path_alias: mpatha, wwid: $A, dev_name: sdc, path_status: ready, path_group_status: active, morvel_status:running ].
X
EOF

sb_finish
