# query, query <alias>, query <WWID> over the real multipath -ll of four LUNs: every device and
# path row agrees with multipathd's own view; transports and target ports come from the real
# by-path links and NVMe controller addresses; a LUN with every path down is a failed device.

# row BLOCK DEV: the path row of DEV in a device block, blanks squeezed
row() { awk -v d="$2" 'NF >= 9 && $2 == d { $1 = $1; print; exit }' <<<"$1"; }
# want_row DEV TARGET_PORT: the row multipathd's view implies: dev_t, name, H:C:T:L, the
# group columns as the report shows them, dm state, device state, target port
want_row() {
    local dev=$1 port=$2 got=$3 line
    line=$(multipathd show paths raw format "%D %d %i %t %o" 2>/dev/null | awk -v d="$dev" '$2 == d')
    # the group columns are compared as the report has them: policy, priority, status
    awk -v l="$line" -v p="$port" '{ split(l, m, " ");
        printf "%s %s %s %s %s %s %s %s %s", m[1], m[2], m[3], $4, $5, $6, $7, m[4], m[5];
        if (p != "") printf " %s", p; print "" }' <<<"$got"
}

IS=$(map_name "$ISCSI_WWID") NV=$(map_name "$NVME_WWID") SD0=$(map_name "$SD0_WWID")
IS_DEV1=$(iscsi_dev 127.0.0.1:3260) IS_DEV2=$(iscsi_dev 127.0.0.2:3260)
NV_DEV1=$(nvme_dev 127.0.0.1) NV_DEV2=$(nvme_dev 127.0.0.2)
note "iSCSI $IS: $IS_DEV1 $IS_DEV2; NVMe $NV: $NV_DEV1 $NV_DEV2; scsi_debug $SD0"

say "query: all LUNs"
for w in "$ISCSI_WWID" "$NVME_WWID" "$SD0_WWID"; do poll 60 map_count_ready "$w" 2; done
mark=$(log_mark "$CLI_LOG")
expect_mor "query succeeds" 0 query
all=$OUT
expect_eq "the report opens and ends with a frame line" "$FRAME $FRAME" \
    "$(sed -n '1p' <<<"$all") $(sed -n '$p' <<<"$all")"
expect_eq "one block per LUN, in multipath -ll order" \
    "$(multipath -ll 2>/dev/null | awk '/ dm-[0-9]+ / { print $1 }')" \
    "$(awk '/^path_alias: / { print $2 }' <<<"$all")"

b=$(block "$all" "$IS")
dm=$(map_dm "$ISCSI_WWID")
expect_eq "the iSCSI LUN's fields" "path_alias: $IS
wwid: $ISCSI_WWID
device_number: ${dm#dm-}
vendor: KELDOR
product_type: ZRN
lun_size: 16M
host_interface: iscsi" "$(sed -n '1,7p' <<<"$b")"
for pair in "$IS_DEV1 127.0.0.1:3260" "$IS_DEV2 127.0.0.2:3260"; do
    set -- $pair
    got=$(row "$b" "$1")
    expect_eq "iSCSI path $1: row agrees with multipathd, portal $2" "$(want_row "$1" "$2" "$got")" "$got"
done

b=$(block "$all" "$NV")
dm=$(map_dm "$NVME_WWID")
expect_eq "the NVMe LUN's fields (model padding dropped)" "path_alias: $NV
wwid: $NVME_WWID
device_number: ${dm#dm-}
vendor: NVME
product_type: KELDORZRN
lun_size: 16M
host_interface: fc-nvme" "$(sed -n '1,7p' <<<"$b")"
for d in "$NV_DEV1" "$NV_DEV2"; do
    got=$(row "$b" "$d")
    # a TCP controller address (traddr=127.0.0.1,...) names no FC port: no target port
    expect_eq "NVMe path $d: row agrees with multipathd, no target port" "$(want_row "$d" "" "$got")" "$got"
done

b=$(block "$all" "$SD0")
expect_no_match "scsi_debug LUN: no transport line" '^host_interface' "$b"
for d in $(map_paths "$SD0_WWID"); do
    got=$(row "$b" "$d")
    expect_eq "scsi_debug path $d: row agrees with multipathd" "$(want_row "$d" "" "$got")" "$got"
done
log=$(log_since "$CLI_LOG" "$mark")
expect_match "the log says the scsi_debug transport is unknown" \
    "ERROR struct/s_morvel .* This device \($SD0_WWID\), the transport we obtained is not fc/iscsi/fc-nvme\.$" "$log"
expect_no_match "no other LUN's transport is unknown" \
    "This device \(($ISCSI_WWID|$NVME_WWID)\), the transport we obtained is not" "$log"

say "query <alias> and query <WWID>"
expect_mor "query $IS succeeds" 0 query "$IS"
expect_eq "query <alias> shows the LUN's block of the full report between frame lines" \
    "$FRAME
$(block "$all" "$IS")
$FRAME" "$OUT"
one=$OUT
expect_mor "query <33-character WWID> succeeds" 0 query "$ISCSI_WWID"
expect_eq "query <WWID> shows the same as query <alias>" "$one" "$OUT"
expect_mor "query <NVMe WWID> succeeds" 0 query "$NVME_WWID"
expect_match "it is the NVMe LUN" "^path_alias: $NV$" "$OUT"
expect_mor "query of a LUN that does not exist fails" 1 query mpathzz
expect_eq "and names it" "$FRAME
Error(0133): This device [mpathzz] is not existed.
$FRAME" "$OUT"

say "query: a LUN with every path down is a failed device"
paths=$(map_paths "$SD0_WWID")
for d in $paths; do echo offline >"/sys/block/$d/device/state"; done
wait_for "multipathd sees both paths of $SD0 down" 60 \
    map_count_failed "$SD0_WWID" 2
# a name remembered from an earlier in-band read
printf '{\n\t"disk":\t[{\n\t\t\t"wwid":\t"%s",\n\t\t\t"vdisk_name":\t"sd_lun_0"\n\t\t}]\n}' "$SD0_WWID" \
    >/dumps/storage_config.json
chmod 0600 /dumps/storage_config.json
mark=$(log_mark "$CLI_LOG")
expect_mor "query of the failed LUN succeeds" 0 query "$SD0"
expect_match "its vdisk name comes from the store" '^vdisk_name: sd_lun_0$' "$OUT"
for d in $paths; do
    expect_match "path $d shows failed and offline" "^[0-9:]+ +$d +[0-9:]+ +.* failed +offline +$" "$OUT"
done
log=$(log_since "$CLI_LOG" "$mark")
expect_match "the log calls it a failed device" "This device \($SD0_WWID\) is a failed device\.$" "$log"
expect_no_match "the array is not asked (no inquiry)" 'Get (00|D0) page|in-band' "$log"
rm -f /dumps/storage_config.json
mark=$(log_mark "$CLI_LOG")
expect_mor "without a stored name the query still succeeds" 0 query "$SD0"
expect_no_match "and shows no vdisk name" '^vdisk_name' "$OUT"
expect_match "the log says why" \
    "This device \($SD0_WWID\) is a failed device, we can not get the vdisk name\.$" "$(log_since "$CLI_LOG" "$mark")"
for d in $paths; do echo running >"/sys/block/$d/device/state"; done
wait_for "both paths of $SD0 come back" 60 map_count_ready "$SD0_WWID" 2
