# morvel config on a RHEL 9 host, then lspathpolicy; config on a distribution it does not know.
say "config on Red Hat Enterprise Linux 9.2"
expect_eq "the guest is RHEL 9" "Red Hat Enterprise Linux release 9.2 (Plow)" "$(cat /etc/redhat-release)"
before=$(cat /etc/multipath.conf)
expect_mor "config succeeds" 0 config
expect_eq "config reports success" "$OK_TEXT" "$OUT"

conf=$(cat /etc/multipath.conf)
scsi_block='#keldor config begin
devices {
    device {
        vendor                 "KELDOR"
        product                "ZRN"
##      keldor group chooser begin
        path_grouping_policy    failover
        path_selector          "round-robin 0"
##      keldor group chooser end
    }
}
#keldor config end'
nvme_block='#nvme config begin
devices {
    device {
        vendor                 "NVME"
        product                "KELDORZRN"
##      group chooser begin
        path_grouping_policy    failover
        path_selector          "round-robin 0"
##      group chooser end
    }
}
#nvme config end'
expect_eq "the SCSI device block, line for line" "$scsi_block" \
    "$(sed -n '/^#keldor config begin$/,/^#keldor config end$/p' /etc/multipath.conf)"
expect_eq "the NVMe device block on an FC-NVMe-capable release" "$nvme_block" \
    "$(sed -n '/^#nvme config begin$/,/^#nvme config end$/p' /etc/multipath.conf)"
expect_match "the administrator's defaults stay" '^    find_multipaths no$' "$conf"
expect_eq "the backup holds the file as it was" "$before" "$(cat /etc/multipath.conf.bk 2>&1)"
run multipathd show config local
expect_eq "multipathd is enabled at boot" "enabled" "$(systemctl is-enabled multipathd.service 2>&1)"

# multipathd has read the blocks: failover puts each path of a LUN into its own group, and the
# selector is round-robin
wait_for "the iSCSI LUN is regrouped by failover (two groups of one path)" 60 \
    bash -c "[[ \$(multipath -ll $ISCSI_WWID | grep -c 'policy=.round-robin 0. ') == 2 ]]"
run dmsetup table "$(map_name "$ISCSI_WWID")"
wait_for "the NVMe LUN too" 60 \
    bash -c "[[ \$(multipath -ll $NVME_WWID | grep -c 'policy=.round-robin 0. ') == 2 ]]"

say "config a second time changes nothing"
cp /etc/multipath.conf /run/conf.1
expect_mor "config again succeeds" 0 config
expect_eq "the file is unchanged" "$(cat /run/conf.1)" "$(cat /etc/multipath.conf)"

say "lspathpolicy"
expect_mor "lspathpolicy succeeds" 0 lspathpolicy
expect_eq "lspathpolicy shows both blocks" "$FRAME
SCSI DISK: 
group_policy: failover
chooser_type: round-robin

NVMe DISK: 
group_policy: failover
chooser_type: round-robin
$FRAME" "$OUT"

say "config on a distribution that is not supported"
cp -a /etc/redhat-release /etc/os-release /run/
rm -f /etc/redhat-release
printf 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\nVERSION_ID="12"\nID=debian\n' >/etc/os-release
cp /etc/multipath.conf /run/conf.2
expect_mor "config fails" 1 config
expect_eq "config says why" "$FRAME
Error(0135): Distribute type is not supported.
$FRAME" "$OUT"
expect_eq "multipath.conf is left alone" "$(cat /run/conf.2)" "$(cat /etc/multipath.conf)"
cp -a /run/redhat-release /run/os-release /etc/
