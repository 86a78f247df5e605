# morvel_monitor's path health on the real kernel: a path the kernel fails and reinstates gives
# its lines within 2 s of each uevent, a flap shorter than a cycle is counted, a portal that
# keeps failing is flagged intermittent (K and W shrunk in a drop-in of the unit) and cleared
# after W quiet minutes, and a LUN that lost a path is reported until it is whole again or its
# new count is accepted. On the iSCSI LUN: sd_b over 127.0.0.2 fails, sd_a over 127.0.0.1 stays.
# deadline: 600

m=$(map_name "$ISCSI_WWID")
sd_a=$(iscsi_dev 127.0.0.1:3260) sd_b=$(iscsi_dev 127.0.0.2:3260)
devt_b=$(cat "/sys/block/$sd_b/dev")
BASE=/dumps/data.morvel.paths
DROPIN=/run/systemd/system/morvel_monitor.service.d/14-health.conf
EV=/run/14-uevents
HEALTH='^The (path (failed and recovered|is (failed|reinstated|intermittent|steady again))|lun (is below|has one usable|is whole again|path baseline))'
cleanup() {
    tc qdisc del dev lo root 2>/dev/null
    multipathd reinstate path "$sd_b" >/dev/null 2>&1
    [[ -n "${ev_pid:-}" ]] && kill "$ev_pid" 2>/dev/null
    rm -f "$DROPIN"
    systemctl daemon-reload
    systemctl restart morvel_monitor.service
}
trap cleanup EXIT

# lines MARK: the monitor-log lines since MARK, with their timestamps.
lines() { log_since "$MON_LOG" "$1"; }
# has_line MARK REGEX: a line since MARK matches (printed, for wait_for's record).
has_line() { lines "$1" | grep -E -- "$2"; }
# line_ms MARK REGEX: the time of the first line since MARK that matches, in ms since the epoch.
line_ms() {
    local l
    l=$(lines "$1" | grep -E -m 1 -- "$2") || return 1
    date -d "$(sed -E 's/^\[([^]]*)\].*/\1/' <<<"$l")" +%s%3N
}
# event_ms FROM ACTION DEVT: the time of the first uevent ACTION of path DEVT after line FROM of
# the uevent record, in ms since the epoch (the kernel's uptime stamp and the clock offset).
event_ms() {
    awk -v f="$1" -v a="DM_ACTION=$2" -v p="DM_PATH=$3" -v off="$EV_OFF" '
        NR <= f { next }
        /^KERNEL\[/ { t = substr($1, 8, length($1) - 8); act = 0 }
        $0 == a { act = 1 }
        act && $0 == p { printf "%.0f\n", (t + off) * 1000; exit }' "$EV"
}
sid() { echo "path_alias: $m, wwid: $ISCSI_WWID, dev_name: $1"; }
lun_props() { echo "path_alias: $m, wwid: $ISCSI_WWID, usable_paths: $1, baseline_paths: $2"; }

say "the monitor runs with K=2 failures in W=1 minute, set in a drop-in of its unit"
poll 60 map_count_ready "$ISCSI_WWID" 2
mkdir -p "${DROPIN%/*}"
printf '[Service]\nEnvironment=MORVEL_INTERMITTENT_FAILURES=2 MORVEL_INTERMITTENT_MINUTES=1\n' >"$DROPIN"
run systemctl daemon-reload
rm -f "$BASE"
run systemctl restart morvel_monitor.service
based() { grep -x "$ISCSI_WWID 2" "$BASE"; }
wait_for "the baseline file holds the iSCSI LUN's two paths" 30 based
udevadm monitor --kernel --property --subsystem-match=block >"$EV" 2>&1 &
ev_pid=$!
EV_OFF=$(awk -v e="$(date +%s.%N)" '{ printf "%.6f", e - $1 }' /proc/uptime)
sleep 1

# tc_flap: every packet to portal 127.0.0.2 is dropped until the monitor has logged sd_b failed,
# then none until it has logged it reinstated.
tc_flap() {
    local mark
    mark=$(log_mark "$MON_LOG")
    run tc qdisc add dev lo root handle 1: prio
    run tc filter add dev lo parent 1: protocol ip prio 1 u32 \
        match ip dst 127.0.0.2/32 match ip dport 3260 0xffff action drop
    wait_for "the portal drops: $sd_b is failed" 90 has_line "$mark" "^\[.*\] The path is failed, the properties are \[ $(sid "$sd_b"), failures: [0-9]+ \]\.$"
    run tc qdisc del dev lo root
    wait_for "the portal is back: $sd_b is reinstated" 90 has_line "$mark" "^\[.*\] The path is reinstated, the properties are \[ $(sid "$sd_b"), failures: [0-9]+ \]\.$"
}
say "an intermittent path: the portal of $sd_b fails twice, about half a minute apart"
mark0=$(log_mark "$MON_LOG")
tc_flap
expect_eq "the first failure flags nothing" "" "$(lines "$mark0" | grep 'is intermittent')"
tc_flap
wait_for "the second within W flags $sd_b intermittent" 20 has_line "$mark0" \
    "The path is intermittent, the properties are \[ $(sid "$sd_b"), failures: [0-9]+, minutes: 1 \]\.$"
mark=$(log_mark "$MON_LOG")
wait_for "after W quiet minutes it is steady again" 90 has_line "$mark" \
    "The path is steady again, the properties are \[ $(sid "$sd_b"), minutes: 1 \]\.$"
expect_eq "the steady portal's $sd_a is not flagged" "" "$(lines "$mark0" | grep "intermittent.*dev_name: $sd_a,")"
note "$(lines "$mark0")"

mark_flaps=$(log_mark "$MON_LOG")
say "latency: dmsetup fails $sd_b ($devt_b) and reinstates it a second later"
mark=$(log_mark "$MON_LOG")
evmark=$(wc -l <"$EV")
run dmsetup message "$m" 0 fail_path "$devt_b"
sleep 1
run dmsetup message "$m" 0 reinstate_path "$devt_b"
failed_re="The path is failed, the properties are \[ $(sid "$sd_b"), failures: [0-9]+ \]\.$"
back_re="The path is reinstated, the properties are \[ $(sid "$sd_b"), failures: [0-9]+ \]\.$"
both() { has_line "$mark" "$failed_re" && has_line "$mark" "$back_re"; }
wait_for "both lines come" 20 both
for what in "failed PATH_FAILED $failed_re" "reinstated PATH_REINSTATED $back_re"; do
    read -r name action re <<<"$what"
    e=$(event_ms "$evmark" "$action" "$devt_b") l=$(line_ms "$mark" "$re")
    note "$name: uevent at $e ms, line at $l ms: $((l - e)) ms later"
    echo "latency $name $((l - e)) ms" >>"$SYSTEST_OUT/14-latency"
    expect_eq "the $name line comes within 2 s of its uevent" yes "$([[ -n "$e" && -n "$l" ]] && ((l - e <= 2000)) && echo yes || echo "no (${e:-no event} ${l:-no line})")"
done
note "$(lines "$mark")"

say "a flap shorter than the monitor can see: fail_path and reinstate_path while it is held"
# Held (as by a long cycle), it reads both events at once when it goes on: one burst.
sleep 3
mark=$(log_mark "$MON_LOG")
pid=$(systemctl show -p MainPID --value morvel_monitor.service)
run kill -STOP "$pid"
run dmsetup message "$m" 0 fail_path "$devt_b"
run dmsetup message "$m" 0 reinstate_path "$devt_b"
run kill -CONT "$pid"
wait_for "the failure is counted" 20 has_line "$mark" \
    "The path failed and recovered since the last cycle, the properties are \[ $(sid "$sd_b"), times: 1, failures: [0-9]+ \]\.$"
expect_eq "and not told as failed and reinstated" "" "$(lines "$mark" | grep -E "The path is (failed|reinstated).*dev_name: $sd_b,")"
note "$(lines "$mark")"

# multipathd takes the flap's failure for its own until its checker runs: the LUN is whole
# again after that.
whole() {
    local l
    l=$(lines "$mark" | grep -E '\] The lun (is below|has one|is whole)' | tail -n 1)
    echo "$l"
    [[ -z "$l" || "$l" == *"is whole again"* ]]
}
sleep 15  # its checker, then a cycle of ours
wait_for "the LUN is whole before the next step" 30 whole

say "redundancy: $sd_b failed by multipathd leaves one usable path"
sleep 3
mark=$(log_mark "$MON_LOG")
run multipathd fail path "$sd_b"
below() {
    has_line "$mark" "The lun is below its path baseline, the properties are \[ $(lun_props 1 2) \]\.$" &&
        has_line "$mark" "The lun has one usable path left, the properties are \[ $(lun_props 1 2) \]\.$"
}
wait_for "the LUN is below its baseline, with one usable path left" 20 below
mark=$(log_mark "$MON_LOG")
run multipathd reinstate path "$sd_b"
wait_for "the LUN is whole again" 20 has_line "$mark" "The lun is whole again, the properties are \[ $(lun_props 2 2) \]\.$"

say "a deliberate change: the path lost again, and the new count accepted"
sleep 2
mark=$(log_mark "$MON_LOG")
run multipathd fail path "$sd_b"
wait_for "the loss is reported" 20 below
run sed -i "/^$ISCSI_WWID /d" "$BASE"
wait_for "the removed line is accepted" 20 has_line "$mark" \
    "The lun path baseline is accepted, the properties are \[ path_alias: $m, wwid: $ISCSI_WWID, baseline_paths: 1 \]\.$"
mark=$(log_mark "$MON_LOG")
sleep 12
expect_eq "no more redundancy lines" "" "$(lines "$mark" | grep -E ' The lun ')"
run multipathd reinstate path "$sd_b"
wait_for "the path's return raises the baseline" 20 based
expect_eq "without a redundancy line" "" "$(lines "$mark" | grep -E ' The lun ')"

say "a steady topology for two minutes: no line"
if lines "$mark_flaps" | grep -q "The path is intermittent.*dev_name: $sd_b,"; then
    wait_for "the failures above flagged $sd_b: it is steady again after W" 90 has_line "$mark_flaps" \
        "The path is steady again, the properties are \[ $(sid "$sd_b"), minutes: 1 \]\.$"
fi
sleep 10
mark=$(log_mark "$MON_LOG")
cpu0=$(systemctl show -p CPUUsageNSec --value morvel_monitor.service)
sleep 120
cpu1=$(systemctl show -p CPUUsageNSec --value morvel_monitor.service)
expect_eq "the monitor writes no line" "" "$(lines "$mark")"
if [[ "$cpu0$cpu1" =~ ^[0-9]+$ ]]; then
    note "CPU time of the unit over 120 s: $(((cpu1 - cpu0) / 1000000)) ms"
    echo "steady-cpu-ms $(((cpu1 - cpu0) / 1000000))" >>"$SYSTEST_OUT/14-latency"
fi
expect_eq "the health lines all have the change lines' form" "" \
    "$(log_since "$MON_LOG" 0 | grep -E "\] $HEALTH" | grep -vE '^\[[0-9-]{10} [0-9:]{8}\.[0-9]{3}\] The .*, the properties are \[ .* \]\.$')"
