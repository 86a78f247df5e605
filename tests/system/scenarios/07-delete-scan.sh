# delete of a LUN, scan that brings it back, refresh with a failed path in a priority-0 group,
# and aggregation, which sets a recorded offline path offline again.

SD1=$(map_name "$SD1_WWID")
paths=$(map_paths "$SD1_WWID")
gone() { local n; n=$(map_name "$1"); echo "map of $1: ${n:-none}"; [[ -z "$n" ]]; }
hctl_of() { paths_raw | awk -v d="$1" '$1 == d { print $6 }'; }
dev_at() { paths_raw | awk -v h="$1" '$6 == h { print $1 }'; }

say "delete $SD1 (paths $(echo $paths))"
mark=$(log_mark "$CLI_LOG")
expect_mor "delete succeeds" 0 delete "$SD1"
expect_eq "it reports success" "$OK_TEXT" "$OUT"
for d in $paths; do
    expect_eq "the path device $d is removed from the kernel" "" "$(ls -d "/sys/block/$d" 2>/dev/null)"
done
wait_for "the map is gone" 30 gone "$SD1_WWID"
log=$(log_since "$CLI_LOG" "$mark")
note "$log"
expect_match "the paths were deleted through sysfs" "echo 1 > /sys/block/$(head -n 1 <<<"$paths")/device/delete" "$log"
expect_mor "query of the deleted LUN fails" 1 query "$SD1"
expect_eq "as not existing" "$FRAME
Error(0133): This device [$SD1] is not existed.
$FRAME" "$OUT"

say "scan brings it back"
expect_mor "scan succeeds" 0 scan
expect_match "scan asks for patience" '^This operation may take several minutes, please wait patiently\.$' "$OUT"
wait_for "the LUN is mapped again with two ready paths" 90 map_count_ready "$SD1_WWID" 2
SD1=$(map_name "$SD1_WWID")

say "delete of a LUN that is in use"
dm=$(map_dm "$SD1_WWID")
exec 3<"/dev/$dm"
mark=$(log_mark "$CLI_LOG")
expect_mor "delete of the open map fails" 1 delete "$SD1"
expect_eq "as in use" "$FRAME
Error(0123): The path is being used, can not be deleted.
$FRAME" "$OUT"
log=$(log_since "$CLI_LOG" "$mark")
expect_eq "the flush was tried three times" 3 "$(grep -c "Execute command \[multipath -f /dev/$dm 2>&1\] failed" <<<"$log")"
expect_match "multipath said the map is in use" ": map in use" "$log"
expect_eq "the map stays in the kernel" "$dm" "dm-$(dmsetup info -c --noheadings -o minor "$SD1" 2>&1 | tr -d ' ')"
exec 3<&-
expect_mor "scan succeeds" 0 scan
wait_for "the rescan gives the map its two paths back" 90 map_count_ready "$SD1_WWID" 2

say "refresh with a failed path in a priority-0 group"
expect_mor "setpathpolicy -group failover succeeds" 0 setpathpolicy -group failover
two_groups() { local g; g=$(multipath -ll "$SD1_WWID" 2>/dev/null | grep -c "policy="); echo "$g groups"; [[ $g == 2 ]]; }
wait_for "each path of $SD1 is a group of its own" 60 two_groups
bad=$(map_paths "$SD1_WWID" | tail -n 1)
good=$(map_paths "$SD1_WWID" | head -n 1)
hctl=$(hctl_of "$bad")
echo offline >"/sys/block/$bad/device/state"
prio0() {
    local l
    l=$(multipath -ll "$SD1_WWID" 2>/dev/null | grep -B1 " $bad ")
    echo "$l"
    grep -q 'prio=0 ' <<<"$l" && grep -q 'failed faulty offline' <<<"$l"
}
wait_for "$bad ($hctl) is failed faulty offline in a group of priority 0" 60 prio0
mark=$(log_mark "$CLI_LOG")
expect_mor "refresh succeeds" 0 refresh
log=$(log_since "$CLI_LOG" "$mark")
note "$log"
expect_match "the faulty path device was deleted" "echo 1 > /sys/block/$bad/device/delete" "$log"
expect_no_match "the healthy path was kept" "echo 1 > /sys/block/$good/device/delete" "$log"
expect_no_match "the map was not flushed" "multipath -f" "$log"
fresh() { local d; d=$(dev_at "$hctl"); echo "at $hctl: ${d:-nothing} $(cat "/sys/block/$d/device/state" 2>&1)"; [[ -n "$d" && $(cat "/sys/block/$d/device/state") == running ]]; }
wait_for "the rescan found $hctl again, running" 90 fresh
wait_for "the LUN has two ready paths again" 90 map_count_ready "$SD1_WWID" 2

say "aggregation sets a recorded offline path offline again"
p=$(map_paths "$SD1_WWID" | tail -n 1)
expect_mor "setstate offline of $p succeeds" 0 setstate -path_alias "$SD1" -device_name "$p" -state offline
# the path comes back behind the product's back (as after a reboot)
echo running >"/sys/block/$p/device/state"
wait_for "$p serves again" 60 map_count_ready "$SD1_WWID" 2
expect_mor "aggregation succeeds" 0 aggregation
expect_eq "$p is offline again" offline "$(cat "/sys/block/$p/device/state")"
off() { local w; w=$(mpath_ll_line "$p" | awk '{ print $4, $5, $6 }'); echo "$w"; [[ "$w" == "failed faulty offline" ]]; }
wait_for "multipath -ll shows $p failed faulty offline" 60 off
expect_mor "setstate online of $p succeeds" 0 setstate -path_alias "$SD1" -device_name "$p" -state online
wait_for "the LUN has two ready paths again" 60 map_count_ready "$SD1_WWID" 2
expect_mor "the policy goes back to multibus" 0 setpathpolicy -group multibus
