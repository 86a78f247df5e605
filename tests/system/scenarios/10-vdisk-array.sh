# The vdisk name read in band from the simulated Keldor array (keldor_array_sim behind LIO's user
# backstore, over iSCSI): shown by query and remembered in /dumps/storage_config.json, renamed on
# the running array, taken from the store when every path of the LUN is down, and when the
# array leaves page 0xD0 out of page 0x00 or refuses it.

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
rm -f "$STORE"
