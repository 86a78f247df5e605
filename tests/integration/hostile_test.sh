#!/bin/bash
# Hostile hosts, one case a row: tools that never end or never stop writing, output with NUL
# and control bytes, fifos planted where morvel keeps its files, names that would forge log
# lines, a disk too full for the log. Each shows what morvel does instead of hanging,
# crashing, losing lines or passing the bytes on.
source "$(dirname "$0")/lib/sandbox.bash"
MP=$MORVEL_SRC/tests/fixtures/mpath/worked-example.multipath-ll
REPORT=$MORVEL_SRC/tests/golden/query_worked_example.out
WWID=36000aabbccdd0000000000000000001a

worked_host() {  # the worked example of query_test.sh, with TOPOLOGY as multipath -ll's reply
    sb_fake multipath -ll --out-file "$1"
    local l
    for l in 0:sdb:3 1:sdd:4 0:sdc:5 1:sde:6; do
        IFS=: read -r fn dev port <<<"$l"
        sb_link "/dev/disk/by-path/pci-0000:5e:00.$fn-fc-0x2200aabbccdd000$port-lun-1" "../../$dev"
    done
    sb_put /dumps/storage_config.json < <(printf '{"disk": [{"wwid": "%s", "vdisk_name": "%s"}]}' "$WWID" "${2:-vd_sales_01}")
}

endless_output() {
    echo 'exec yes "a line of a tool that never stops"' >"$SB_CASE/endless"
    sb_fake multipath -ll --run "$SB_CASE/endless"
    sb_run morvel query
    sb_assert_status 1
    sb_assert_log_contains 'Command \[multipath -ll 2>&1\] wrote more than 268435456 bytes, it was stopped'
}

nul_byte() {  # another vendor's disk first, a NUL in its header: the array's LUN after it stays
    { printf 'mpathz (3600000000000000000000000000000ff) dm-7 OT\0HER,DISK\n'; cat "$MP"; } >"$SB_CASE/topology"
    worked_host "$SB_CASE/topology"
    sb_run morvel query
    sb_assert_status 0
    sb_assert_stdout_file "$REPORT"
}

control_bytes() {  # an alias from multipath and a stored name with ESC, CSI (UTF-8 C1) and a newline
    sed '1s/^mpatha /mpath\x1b[2Ja /' "$MP" >"$SB_CASE/topology"
    worked_host "$SB_CASE/topology" 'vd\u009b31m\n[2026-01-01 00:00:00.000] INFO  forged line'
    sb_run morvel query
    sb_assert_status 0
    sb_assert_stdout_contains '^path_alias: mpath\?\[2Ja$'
    sb_assert_stdout_contains '^vdisk_name: vd\?\?31m\?\[2026-01-01 00:00:00\.000\] INFO  forged line$'
    if LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]\|\xc2[\x80-\x9f]' "$SB_CASE/out/stdout" "$(sb_file /dumps/morvel_cli.log)"; then
        sb_fail "a control byte reached the terminal or the log"
    fi
    sb_assert_log_not_contains '^\[2026-01-01 00:00:00\.000\] INFO  forged line'
}

planted_fifos() {  # readers of the store and of the snapshot do not wait on a fifo
    worked_host "$MP"
    sb_setup 'rm -f /dumps/storage_config.json /dumps/data.morvel; mkfifo /dumps/storage_config.json /dumps/data.morvel'
    SB_RUN_TIMEOUT=30 sb_run morvel query
    sb_assert_status 0
    sb_assert_stdout_contains '^path_alias: mpatha$'
    SB_RUN_TIMEOUT=60 sb_script <<'EOF'
sb_bg morvel_monitor >/dev/null
sb_wait_until 30 grep -q 'The lun is created' /dumps/morvel_monitor.log
EOF
}

hanging_tool() {  # multipath -ll hangs once: the cycle ends at its deadline, the next goes on,
    # and what the tool leaves running in the background is reaped, not left as a zombie
    echo "(sleep 0.1 &) ; cat '$MP'" >"$SB_CASE/leaves-a-child"
    sb_fake multipath -ll --delay 3600
    sb_fake multipath -ll --then --run "$SB_CASE/leaves-a-child"
    sb_put /dumps/data.morvel.backup 'the administrator'\''s copy'
    SB_RUN_TIMEOUT=150 sb_script <<'EOF'
n=$(sb_bg morvel_monitor)
sb_wait_until 100 grep -q 'did not end within 60 s, its processes were killed' /dumps/morvel_cli.log
sb_wait_until 30 grep -q 'The lun is created' /dumps/morvel_monitor.log
no_zombie() { ! ps --ppid "$(cat "$SB_CASE/out/bg.$n.pid")" -o stat= | grep -q '^Z'; }
sleep 11  # the next cycle's command has left its child too
sb_wait_until 3 no_zombie
EOF
    sb_assert_file /dumps/data.morvel.backup 'the administrator'\''s copy'
}

CASES=(
    "endless_output:a tool that never stops writing is stopped at the capture's cap, and query fails cleanly"
    "nul_byte:a NUL byte in the topology hides no LUN after it"
    "control_bytes:escape sequences and newlines from multipath and the store reach neither terminal nor log"
    "planted_fifos:fifos planted as the store and the snapshot hang neither query nor the monitor"
    "hanging_tool:a hanging multipath -ll costs the monitor one cycle; leftovers are reaped, look-alike files kept"
)
for c in "${CASES[@]}"; do
    sb_case "${c#*:}"
    "${c%%:*}"
done
sb_finish
