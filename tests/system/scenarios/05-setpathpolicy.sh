# setpathpolicy on a running multipathd: the device block in multipath.conf, the change
# records in the monitor log, and the live maps after the reload.

IS=$(map_name "$ISCSI_WWID") NV=$(map_name "$NVME_WWID")
# groups MAP: the path-group lines of the map in multipath -ll ("policy='...' prio=... status=...")
groups() { multipath -ll "$1" 2>/dev/null | grep -o "policy='[^']*'" ; }
# live MAP SELECTOR COUNT: the map has COUNT path groups, all with that selector
live() {
    local g
    g=$(groups "$1")
    echo "$g"
    [[ $(grep -c . <<<"$g") == "$3" && $(grep -vc "policy='$2'" <<<"$g") == 0 ]]
}
scsi_policy_lines() {
    sed -n '/^#keldor config begin$/,/^#keldor config end$/p' /etc/multipath.conf |
        grep -E '^ +(path_grouping_policy|path_selector) '
}
nvme_policy_lines() {
    sed -n '/^#nvme config begin$/,/^#nvme config end$/p' /etc/multipath.conf |
        grep -E '^ +(path_grouping_policy|path_selector) '
}

say "setpathpolicy -group multibus -chooser queue-length (SCSI)"
before=$(cat /etc/multipath.conf)
mor lspathpolicy
old_group=$(sed -n 's/^group_policy: //p' <<<"$OUT" | head -n 1)
old_chooser=$(sed -n 's/^chooser_type: //p' <<<"$OUT" | head -n 1)
mon=$(log_mark "$MON_LOG")
nvme_before=$(nvme_policy_lines)
expect_mor "setpathpolicy succeeds" 0 setpathpolicy -group multibus -chooser queue-length
expect_eq "it reports success (the service was reloaded)" "$OK_TEXT" "$OUT"
expect_eq "the SCSI block holds the new policy" '        path_grouping_policy    multibus
        path_selector          "queue-length 0"' "$(scsi_policy_lines)"
expect_eq "the NVMe block is untouched" "$nvme_before" "$(nvme_policy_lines)"
expect_eq "the backup holds the previous file" "$before" "$(cat /etc/multipath.conf.bk)"
changes=$(log_since "$MON_LOG" "$mon")
expect_match "the group change is recorded in the monitor log" \
    "^\[[0-9-]+ [0-9:.]+\] The path group policy is changed from \[ $old_group \] to \[ multibus \]$" "$changes"
expect_match "the chooser change too" \
    "^\[[0-9-]+ [0-9:.]+\] The path chooser type is changed from \[ $old_chooser \] to \[ queue-length \]$" "$changes"
wait_for "the live iSCSI map is one group with the queue-length selector" 60 live "$IS" "queue-length 0" 1
run dmsetup table "$IS"
expect_match "the kernel's table uses queue-length" ' queue-length 0 2 1 ' "$(dmsetup table "$IS")"
wait_for "the scsi_debug maps too" 60 live "$(map_name "$SD0_WWID")" "queue-length 0" 1

say "setpathpolicy -chooser service-time keeps the group"
mon=$(log_mark "$MON_LOG")
expect_mor "setpathpolicy succeeds" 0 setpathpolicy -chooser service-time
expect_eq "the SCSI block keeps multibus" '        path_grouping_policy    multibus
        path_selector          "service-time 0"' "$(scsi_policy_lines)"
changes=$(log_since "$MON_LOG" "$mon")
expect_no_match "no group change is recorded" 'path group policy' "$changes"
expect_match "the chooser change is" 'chooser type is changed from \[ queue-length \] to \[ service-time \]' "$changes"
wait_for "the live iSCSI map uses service-time" 60 live "$IS" "service-time 0" 1

say "setpathpolicy -nvme -group multibus -chooser service-time"
scsi_before=$(scsi_policy_lines)
expect_mor "setpathpolicy -nvme succeeds on RHEL 9" 0 setpathpolicy -nvme -group multibus -chooser service-time
expect_eq "the NVMe block holds the new policy" '        path_grouping_policy    multibus
        path_selector          "service-time 0"' "$(nvme_policy_lines)"
expect_eq "the SCSI block is untouched" "$scsi_before" "$(scsi_policy_lines)"
wait_for "the live NVMe map is one group with service-time" 60 live "$NV" "service-time 0" 1
expect_mor "lspathpolicy succeeds" 0 lspathpolicy
expect_eq "lspathpolicy shows both new policies" "$FRAME
SCSI DISK: 
group_policy: multibus
chooser_type: service-time

NVMe DISK: 
group_policy: multibus
chooser_type: service-time
$FRAME" "$OUT"
