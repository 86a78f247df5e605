# setstate offline and online of a SCSI path (sysfs state, multipath -ll) and of an NVMe path
# (multipathd's own path state).

IS=$(map_name "$ISCSI_WWID") NV=$(map_name "$NVME_WWID") SD0=$(map_name "$SD0_WWID")
sd=$(iscsi_dev 127.0.0.2:3260)
nv=$(nvme_dev 127.0.0.2)
record=/usr/bin/morvel-script/path_state_record.sh
# ll_words DEV: dm state, checker state and device state of the path in multipath -ll
ll_words() { mpath_ll_line "$1" | awk '{ print $4, $5, $6 }'; }
ll_is() { local w; w=$(ll_words "$1"); echo "$w"; [[ "$w" == "$2" ]]; }

say "setstate offline of the iSCSI path $sd"
expect_mor "setstate offline succeeds" 0 setstate -path_alias "$IS" -device_name "$sd" -state offline
expect_eq "it reports success" "$OK_TEXT" "$OUT"
expect_eq "the kernel device state is offline" offline "$(cat "/sys/block/$sd/device/state")"
wait_for "multipath -ll shows $sd failed faulty offline" 60 ll_is "$sd" "failed faulty offline"
expect_match "the offline path is recorded" "$sd" "$(bash "$record" list 2>&1)"
expect_eq "the other path still serves I/O" "active ready running" "$(ll_words "$(iscsi_dev 127.0.0.1:3260)")"

expect_mor "setstate offline again fails" 1 setstate -path_alias "$IS" -device_name "$sd" -state offline
expect_eq "as already offline" "$FRAME
Error(0114): This Path [$sd] is already offline.
$FRAME" "$OUT"

say "setstate online of $sd"
expect_mor "setstate online succeeds" 0 setstate -path_alias "$IS" -device_name "$sd" -state online
expect_eq "the kernel device state is running" running "$(cat "/sys/block/$sd/device/state")"
wait_for "multipath -ll shows $sd active ready running" 60 ll_is "$sd" "active ready running"
expect_no_match "the record is gone" "$sd" "$(bash "$record" list 2>&1)"
expect_mor "setstate online again fails" 1 setstate -path_alias "$IS" -device_name "$sd" -state online
expect_eq "as already online" "$FRAME
Error(0113): This Path [$sd] is already online.
$FRAME" "$OUT"

say "setstate of a path under the wrong LUN"
expect_mor "a path of another LUN is refused" 1 setstate -path_alias "$SD0" -device_name "$sd" -state offline
expect_eq "with both names in the message" "$FRAME
Error(0116): This path_alias [$SD0] and device_name [$sd] is not existed.
$FRAME" "$OUT"
expect_eq "and the path is left running" running "$(cat "/sys/block/$sd/device/state")"

say "setstate offline of the NVMe path $nv"
dmst() { local s; s=$(path_field "$1" 3); echo "$s"; [[ "$s" == "$2" ]]; }
expect_mor "setstate offline succeeds" 0 setstate -path_alias "$NV" -device_name "$nv" -state offline
expect_eq "it reports success" "$OK_TEXT" "$OUT"
wait_for "multipathd shows $nv failed" 30 dmst "$nv" failed
run multipathd show paths
expect_eq "multipath -ll agrees (the checker still finds it ready)" "failed ready running" "$(ll_words "$nv")"
expect_match "the offline path is recorded" "$nv" "$(bash "$record" list 2>&1)"
expect_mor "setstate offline of the failed NVMe path again succeeds (no already-offline test)" 0 \
    setstate -path_alias "$NV" -device_name "$nv" -state offline
sleep 5
expect_eq "multipathd's checker does not undo the failure" failed "$(path_field "$nv" 3)"

say "setstate online of $nv"
expect_mor "setstate online succeeds" 0 setstate -path_alias "$NV" -device_name "$nv" -state online
wait_for "multipathd shows $nv active" 30 dmst "$nv" active
expect_no_match "the record is gone" "$nv" "$(bash "$record" list 2>&1)"
