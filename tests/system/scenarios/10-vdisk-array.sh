# The vdisk name read in band from the simulated Keldor array (keldor_array_sim behind LIO's user
# backstore, over iSCSI): shown by query and remembered in /dumps/storage_config.json, renamed on
# the running array, taken from the store when every path of the LUN is down, and when the
# array leaves page 0xD0 out of page 0x00 or refuses it. A LUN whose path devices are all
# deleted while its map is held open stays visible (query, the monitor) and is deleted once
# closed. With 32 LUNs the reads overlap when the array answers slowly, and a LUN that never
# answers holds the query no longer than its limit.

# deadline: 1500

A=$(map_name "$SIM_A_WWID") B=$(map_name "$SIM_B_WWID")
note "simulated LUNs: $A ($SIM_A_WWID) $B ($SIM_B_WWID)"
poll 60 map_count_ready "$SIM_A_WWID" 2
poll 60 map_count_ready "$SIM_B_WWID" 2
STORE=/dumps/storage_config.json

# store_text NAME_A NAME_B: the store after A's name and then B's were read in band.
store_text() {
    printf '{\n\t"disk":\t[{\n\t\t\t"wwid":\t"%s",\n\t\t\t"vdisk_name":\t"%s"\n\t\t}, {\n\t\t\t"wwid":\t"%s",\n\t\t\t"vdisk_name":\t"%s"\n\t\t}]\n}' \
        "$SIM_A_WWID" "$1" "$SIM_B_WWID" "$2"
}
# count_is LUN KIND OP N: the simulator's count of that kind of request compares to N by OP
# (== or >=). It writes its counters just after the answer, so expect_count polls a little.
# The kernel sends commands of its own now and then (it reads page 0x00 again when it
# revalidates a device), so for those counters only a lower bound can be checked.
count_is() { local n; n=$(sim_count "$1" "$2"); echo "$2 of $1: $n"; ((n $3 $4)); }
expect_count() { # expect_count WHAT LUN KIND OP N
    if poll 5 count_is "$2" "$3" "$4" "$5"; then pass "$1"; else fail "$1" "$3 $4 $5" "$WAITED"; fi
}

say "the LUNs answer page 0xD0 over the real SCSI stack"
node=/dev/$(map_dm "$SIM_A_WWID")
pages=$(sg_vpd -p 0 "$node" 2>&1)
note "$pages"
expect_match "page 0x00 of $node lists page 0xd0" '0xd0' "$pages"

say "query reads each vdisk name in band and remembers it"
rm -f "$STORE"
d0_a=$(sim_count "$SIM_A" inquiry_vpd_d0) d0_b=$(sim_count "$SIM_B" inquiry_vpd_d0)
query_name "query $A succeeds, the array's name shown" "$A" "$SIM_A_NAME"
expect_match "its transport is iSCSI" '^host_interface: iscsi$' "$OUT"
expect_count "the array was asked for page 0xD0 of $A once" "$SIM_A" inquiry_vpd_d0 == $((d0_a + 1))
query_name "query $B succeeds, the array's name shown" "$B" "$SIM_B_NAME"
expect_count "the array was asked for page 0xD0 of $B once" "$SIM_B" inquiry_vpd_d0 == $((d0_b + 1))
expect_eq "the store holds both names, in the order they were read" \
    "$(store_text "$SIM_A_NAME" "$SIM_B_NAME")" "$(cat "$STORE")"
sum=$(md5sum <"$STORE")
expect_mor "query of every LUN succeeds" 0 query
expect_match "the report shows $A's name" "^vdisk_name: $SIM_A_NAME$" "$OUT"
expect_match "and $B's" "^vdisk_name: $SIM_B_NAME$" "$OUT"
expect_eq "reading the same names again leaves the store as it was" "$sum" "$(md5sum <"$STORE")"

say "the vdisk of $A is renamed on the array"
sim_set "$SIM_A" vdisk_name vd_sales_02
query_name "query $A succeeds, the new name shown" "$A" vd_sales_02
expect_match "the change is logged" \
    "device \($SIM_A_WWID\), vdisk name change from \($SIM_A_NAME\) to \(vd_sales_02\)\.$" "$LOG"
expect_eq "the store holds the new name in place" "$(store_text vd_sales_02 "$SIM_B_NAME")" "$(cat "$STORE")"

say "every path of $B is down: the name comes from the store, the array is not asked"
sim_set "$SIM_B" vdisk_name vd_hr_03
paths=$(map_paths "$SIM_B_WWID")
for d in $paths; do echo offline >"/sys/block/$d/device/state"; done
wait_for "multipathd sees both paths of $B down" 60 \
    map_count_failed "$SIM_B_WWID" 2
before=$(cat "$SIM_STATE/$SIM_B/requests")
query_name "query of the failed LUN succeeds, the stored name shown" "$B" "$SIM_B_NAME"
log=$LOG
expect_match "the log calls it a failed device" "This device \($SIM_B_WWID\) is a failed device\.$" "$log"
expect_no_match "morvel sent no inquiry" 'Get (00|D0) page|Open scsi device|ioctl failed' "$log"
sleep 1
expect_eq "the array saw no request" "$before" "$(cat "$SIM_STATE/$SIM_B/requests")"
for d in $paths; do echo running >"/sys/block/$d/device/state"; done
wait_for "both paths of $B come back" 90 map_count_ready "$SIM_B_WWID" 2
expect_mor "query $B succeeds" 0 query "$B"
expect_match "with its paths back it shows the array's new name" '^vdisk_name: vd_hr_03$' "$OUT"

say "the array leaves page 0xD0 out of page 0x00"
sim_set "$SIM_A" page_d0 0
pages=$(sg_vpd -p 0 "$node" 2>&1)
expect_match "page 0x00 of $node no longer lists 0xd0" 'Supported VPD pages' "$pages"
expect_no_match "(sg_vpd)" '0xd0' "$pages"
d0=$(sim_count "$SIM_A" inquiry_vpd_d0) p00=$(sim_count "$SIM_A" inquiry_vpd_00)
query_name "query $A succeeds, the stored name shown" "$A" vd_sales_02
log=$LOG
expect_match "the log says page 0xD0 is not supported" \
    'get_vdisk_name [0-9]+ Get D0 page of device failed, maybe it is not support D0 page\.$' "$log"
expect_match "and that the name comes from the store" \
    "Devcie \($SIM_A_WWID\), unable to get vdisk name using in-band channel, we try to get vdisk name from file\." "$log"
expect_count "page 0x00 was read" "$SIM_A" inquiry_vpd_00 '>=' $((p00 + 1))
sleep 1
expect_eq "no page 0xD0 request reached the array" "$d0" "$(sim_count "$SIM_A" inquiry_vpd_d0)"

say "the array lists page 0xD0 but refuses it (CHECK CONDITION)"
sim_set "$SIM_A" page_d0 refuse
cc=$(sim_count "$SIM_A" check_conditions)
query_name "query $A succeeds, the stored name shown" "$A" vd_sales_02
log=$LOG
expect_match "the log has the SCSI status 2" 'get disk page ioctl failed, ret = 0, io_status is 2\.$' "$log"
expect_match "then the page 0xD0 failure" 'Get D0 page of device failed\.$' "$log"
expect_count "the array answered with CHECK CONDITION" "$SIM_A" check_conditions '>=' $((cc + 1))
expect_count "it was the page 0xD0 request" "$SIM_A" inquiry_vpd_d0 == $((d0 + 1))

sim_set "$SIM_A" page_d0 1
expect_mor "with page 0xD0 answered again, query $A succeeds" 0 query "$A"
expect_match "and reads the name in band" '^vdisk_name: vd_sales_02$' "$OUT"
expect_eq "the store ends with both current names" "$(store_text vd_sales_02 vd_hr_03)" "$(cat "$STORE")"

say "every path device of $B is deleted while its map is held open"
systemctl is-active --quiet morvel_monitor.service || run systemctl start morvel_monitor.service
wait_for "the monitor has recorded $B" 40 grep -q "$SIM_B_WWID" /dumps/data.morvel
CAP=$SYSTEST_OUT/captures
mkdir -p "$CAP"
dm=$(map_dm "$SIM_B_WWID")
paths=$(map_paths "$SIM_B_WWID")
exec 4<"/dev/$dm"
mon_mark=$(log_mark "$MON_LOG")
for d in $paths; do echo 1 >"/sys/block/$d/device/delete"; done
bare() {
    local l
    l=$(multipath -ll "$SIM_B_WWID" 2>&1)
    echo "$l"
    grep -q " $dm ##,##" <<<"$l" && ! grep -q 'policy=' <<<"$l"
}
wait_for "multipathd keeps the open map without paths, vendor and product" 60 bare
multipath -ll >"$CAP/multipath-ll-open-pathless.out" 2>&1
multipathd show topology >"$CAP/multipathd-show-topology-open-pathless.out" 2>&1
multipathd show map "$B" topology >"$CAP/multipathd-show-map-open-pathless.out" 2>&1
note "$(cat "$CAP/multipath-ll-open-pathless.out")"
want="path_alias: $B
wwid: $SIM_B_WWID
device_number: ${dm#dm-}
vendor: KELDOR
product_type: ZRN
lun_size: 16M
vdisk_name: vd_hr_03"
expect_mor "query succeeds" 0 query
printf '%s\n' "$OUT" >"$CAP/morvel-query-open-pathless.out"
expect_eq "it shows $B as a failed device with its stored vdisk name, no transport, no paths" "$want" \
    "$(block "$OUT" "$B")"
for name in "$B" "$SIM_B_WWID"; do
    expect_mor "query $name succeeds" 0 query "$name"
    expect_eq "and shows that block alone" "$FRAME
$want
$FRAME" "$OUT"
done
printf '%s\n' "$OUT" >"$CAP/morvel-query-wwid-open-pathless.out"
mark=$(log_mark "$CLI_LOG")
expect_mor "delete of the open map fails" 1 delete "$B"
printf '%s\n' "$OUT" >"$CAP/morvel-delete-open-pathless.out"
expect_eq "as in use" "$FRAME
Error(0123): The path is being used, can not be deleted.
$FRAME" "$OUT"
expect_eq "after three flush attempts" 3 \
    "$(log_since "$CLI_LOG" "$mark" | grep -c "Execute command \[multipath -f /dev/$dm 2>&1\] failed")"
mon_has() { local l; l=$(log_since "$MON_LOG" "$mon_mark"); echo "$l"; grep -qF -- "$1" <<<"$l"; }
for d in $paths; do
    wait_for "the monitor logs $d as deleted" 60 \
        mon_has "The path is deleted, the properties are [ path_alias: $B, wwid: $SIM_B_WWID, dev_name: $d, "
done
wait_for "and keeps the LUN with one pathless record" 60 mon_has "The path is created, the properties are \
[ path_alias: $B, wwid: $SIM_B_WWID, dev_name: , path_status: , path_group_status: , morvel_status: ]."
expect_no_match "it does not log the LUN as deleted while the map is there" \
    "The lun is deleted, the properties are \[ path_alias: $B, wwid: $SIM_B_WWID \]" "$(log_since "$MON_LOG" "$mon_mark")"
exec 4<&-
expect_mor "once the map is closed, delete succeeds" 0 delete "$B"
printf '%s\n' "$OUT" >"$CAP/morvel-delete-closed-pathless.out"
gone() { [[ -z "$(map_name "$SIM_B_WWID")" ]]; }
wait_for "the map is gone" 30 gone
wait_for "now the monitor logs the LUN as deleted" 60 \
    mon_has "The lun is deleted, the properties are [ path_alias: $B, wwid: $SIM_B_WWID ]."
log_since "$MON_LOG" "$mon_mark" >"$CAP/morvel-monitor-open-pathless.log"
run iscsiadm -m session --rescan
wait_for "a rescan brings $B back with two ready paths" 120 map_count_ready "$SIM_B_WWID" 2

say "30 more LUNs: the simulated array serves 32"
run sim_bulk_up
bulk_ready() {
    local n
    n=$(paths_raw | awk '$2 ~ /^36000aabbccdd00000000000000000b/ && $3 == "active" && $4 == "ready"' | wc -l)
    echo "$n of the 60 paths of the 30 LUNs are active and ready"
    ((n == 60))
}
wait_for "the 30 LUNs are mapped, two ready paths each" 900 bulk_ready
LUNS=("$SIM_A" "$SIM_B")
for l in "${SIM_BULK[@]}"; do LUNS+=("${l%%,*}"); done
# timed_query: query of every LUN; MS its wall-clock milliseconds
timed_query() {
    local t0=${EPOCHREALTIME/./}
    expect_mor "$1" 0 query
    MS=$(((${EPOCHREALTIME/./} - t0) / 1000))
    note "query took $MS ms"
}
# names_shown: every simulated LUN's vdisk name is in the report
names_shown() {
    local n missing=
    for n in vd_sales_02 vd_hr_03 $(seq -f 'vd_bulk_%02g' 3 32); do
        grep -q "^vdisk_name: $n\$" <<<"$OUT" || missing+=" $n"
    done
    expect_eq "$1" "" "$missing"
}
# d0_counts [KIND]: the page 0xD0 requests each LUN has answered (or KIND, e.g. d0_held)
d0_counts() { local n; for n in "${LUNS[@]}"; do echo "$n $(sim_count "$n" "${1:-inquiry_vpd_d0}")"; done; }
# each_asked BEFORE N [LUN...]: every LUN but those listed answered N more requests than in
# BEFORE (of KIND, default inquiry_vpd_d0)
each_asked() {
    local before=$1 n=$2 now
    shift 2
    now=$(d0_counts "${KIND:-}")
    awk -v n="$n" -v skip=" $* " 'NR == FNR { b[$1] = $2; next }
        index(skip, " " $1 " ") == 0 && $2 != b[$1] + n { print $1 ": " b[$1] " then " $2; bad = 1 }
        END { exit bad }' <(echo "$before") <(echo "$now")
}
timed_query "query of all LUNs succeeds, the array answering at once"
fast=$MS
names_shown "all 32 names are shown"

say "the array answers page 0xD0 after 200 ms"
for n in "${LUNS[@]}"; do sim_set "$n" latency_ms 200; done
before=$(d0_counts) held=$(d0_counts d0_held)
sum=$(md5sum <"$STORE")
timed_query "query of all LUNs succeeds"
slow=$MS
names_shown "all 32 names are read in band"
if poll 5 each_asked "$before" 1; then pass "each LUN was asked once"; else fail "each LUN was asked once" "" "$WAITED"; fi
expect_eq "and each answer was held back" "" "$(KIND=d0_held each_asked "$held" 1)"
expect_eq "the store is as it was" "$sum" "$(md5sum <"$STORE")"
expect_eq "32 reads of 200 ms take $((slow - fast)) ms more, well under the 6.4 s of reads in turn" yes \
    "$( ((slow - fast < 3000)) && echo yes || echo "no: $fast ms at once, $slow ms at 200 ms")"
for n in "${LUNS[@]}"; do sim_set "$n" latency_ms 0; done

HUNG=bulk_17
HUNG_WWID=$(bulk_wwid 17)
say "$HUNG never answers page 0xD0"
sim_set "$HUNG" hang 1
before=$(d0_counts)
held=$(sim_count "$HUNG" d0_held)
mark=$(log_mark "$CLI_LOG")
timed_query "query of all LUNs succeeds"
hung=$MS
log=$(log_since "$CLI_LOG" "$mark")
expect_eq "it ends within its bound: $((hung - fast)) ms more than at once, at most the 8 s limit of all reads" yes \
    "$( ((hung - fast < 8000)) && echo yes || echo "no: $fast ms at once, $hung ms with $HUNG hung")"
names_shown "every name is shown"
if poll 5 each_asked "$before" 1 "$HUNG"; then pass "every other LUN's name was read in band"; else
    fail "every other LUN's name was read in band" "" "$WAITED"
fi
expect_eq "$HUNG was asked and did not answer" "$((held + 1)) $(sed -n "s/^$HUNG //p" <<<"$before")" \
    "$(sim_count "$HUNG" d0_held) $(sim_count "$HUNG" inquiry_vpd_d0)"
expect_match "the log says its read timed out" \
    "ERROR array/array displayVdiskname [0-9]+ Device \($HUNG_WWID\), the in-band read of the vdisk name timed out after 5000 ms\.$" "$log"
expect_match "and that its name comes from the store" "Devcie \($HUNG_WWID\), unable to get vdisk name using in-band channel" "$log"
expect_no_match "no other LUN fell back to the store" \
    "Devcie \(36000aabbccdd0000000000000000(0a|0b)[0-9]+\), unable to get" "$(grep -v "$HUNG_WWID" <<<"$log")"
expect_eq "the store is as it was" "$sum" "$(md5sum <"$STORE")"
sim_set "$HUNG" hang 0
answered() { [[ $(sim_count "$HUNG" inquiry_vpd_d0) -gt $(sed -n "s/^$HUNG //p" <<<"$before") ]]; }
wait_for "the held request is answered once the hang ends" 30 answered
wait_for "$HUNG has two ready paths" 180 map_count_ready "$HUNG_WWID" 2

say "the 30 LUNs go away"
run sim_bulk_down
bulk_gone() { ! maps_raw | grep -q ' 36000aabbccdd00000000000000000b'; }
wait_for "their maps are gone" 120 bulk_gone
rm -f "$STORE"
