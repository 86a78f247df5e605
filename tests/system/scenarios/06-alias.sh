# setalias, lsalias and delalias, checked against the live map names once multipathd has
# applied them.

named() { local n; n=$(map_name "$1"); echo "map of $1: $n"; [[ "$n" == "$2" ]]; }
not_named() { local n; n=$(map_name "$1"); echo "map of $1: $n"; [[ -n "$n" && "$n" != "$2" ]]; }

say "setalias of the iSCSI and the NVMe LUN"
expect_mor "setalias dbdata succeeds" 0 setalias -wwid "$ISCSI_WWID" -alias dbdata
expect_eq "it reports success" "$OK_TEXT" "$OUT"
wait_for "the live iSCSI map is named dbdata" 60 named "$ISCSI_WWID" dbdata
expect_mor "setalias of the NVMe WWID succeeds" 0 setalias -wwid "$NVME_WWID" -alias nvlog.1
wait_for "the live NVMe map is named nvlog.1" 60 named "$NVME_WWID" nvlog.1
expect_match "dbdata is a dm-multipath device in the kernel" '^dbdata[[:space:]]' "$(dmsetup ls --target multipath 2>&1)"

expect_mor "lsalias succeeds" 0 lsalias
# the first column is as wide as the longest WWID (the NVMe one, uuid. and its UUID: 41) plus
# one, and so is the header's alias cell; the alias column is as wide as the longest alias
expect_eq "lsalias lists both bindings" "$FRAME
$(printf '%-42s%-42s' wwid alias)
$(printf '%-42s%-7s' "$ISCSI_WWID" dbdata)
$(printf '%-42s%-7s' "$NVME_WWID" nvlog.1)
$FRAME" "$OUT"

expect_mor "the same pair again fails" 1 setalias -wwid "$ISCSI_WWID" -alias dbdata
expect_eq "as existing" "$FRAME
Error(0120): The pair wwid[$ISCSI_WWID] and alias[dbdata] has existed.
$FRAME" "$OUT"
expect_mor "the alias for another LUN fails" 1 setalias -wwid "$NVME_WWID" -alias dbdata
expect_eq "as taken" "$FRAME
Error(0121): The alias[dbdata] has be configed for other wwid.
$FRAME" "$OUT"
expect_eq "the other LUN keeps its name" nvlog.1 "$(map_name "$NVME_WWID")"

say "the alias in use by the other commands"
expect_mor "query dbdata succeeds" 0 query dbdata
expect_match "it reports the iSCSI LUN" "^wwid: $ISCSI_WWID$" "$OUT"
expect_match "under its alias" '^path_alias: dbdata$' "$OUT"
expect_mor "query of the NVMe LUN by its uuid. WWID succeeds" 0 query "$NVME_WWID"
expect_match "it reports the NVMe LUN" "^wwid: $NVME_WWID$" "$OUT"
expect_match "under its alias" '^path_alias: nvlog.1$' "$OUT"

say "delalias"
expect_mor "delalias of the iSCSI WWID succeeds" 0 delalias -wwid "$ISCSI_WWID"
wait_for "the live iSCSI map gives up the name dbdata" 60 not_named "$ISCSI_WWID" dbdata
expect_mor "delalias again fails" 1 delalias -wwid "$ISCSI_WWID"
expect_eq "as having no alias" "$FRAME
Error(0122): The specified wwid[$ISCSI_WWID] does not be configed alias.
$FRAME" "$OUT"
expect_mor "delalias of the NVMe WWID succeeds" 0 delalias -wwid "$NVME_WWID"
wait_for "the live NVMe map gives up the name nvlog.1" 60 not_named "$NVME_WWID" nvlog.1
expect_mor "lsalias succeeds" 0 lsalias
expect_eq "lsalias shows no binding" "$FRAME
$FRAME" "$OUT"
