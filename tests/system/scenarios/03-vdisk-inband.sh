# The in-band vdisk-name read over real SG_IO on /dev/dm-N: these targets list their VPD pages
# (page 0x00) without the array's page 0xD0, so the query logs that and falls back to the store.

IS=$(map_name "$ISCSI_WWID") NV=$(map_name "$NVME_WWID")
node=/dev/$(map_dm "$ISCSI_WWID")
pages=$(sg_vpd -p 0 -H "$node" 2>&1)
note "$pages"
expect_match "the LIO LUN answers page 0x00 over $node" 'Supported VPD pages' "$(sg_vpd -p 0 "$node" 2>&1)"
expect_no_match "and does not list page 0xd0" '\bd0\b' "$(sed -n '2,$p' <<<"$pages")"

cat >/dumps/storage_config.json <<EOF
{
	"disk":	[{
			"wwid":	"$ISCSI_WWID",
			"vdisk_name":	"lio_vol_01"
		}, {
			"wwid":	"$NVME_WWID",
			"vdisk_name":	"nvme_vol_02"
		}]
}
EOF
chmod 0600 /dumps/storage_config.json
stored=$(cat /dumps/storage_config.json)

say "query of the iSCSI LUN: page 0x00 read, no page 0xD0, name from the store"
query_name "query $IS succeeds, the stored name shown" "$IS" lio_vol_01
log=$LOG
expect_match "the log says the LUN has no page 0xD0" \
    'ERROR array/array get_vdisk_name [0-9]+ Get D0 page of device failed, maybe it is not support D0 page\.$' "$log"
expect_no_match "page 0x00 itself was read (SG_IO on the dm node works)" \
    'Get 00 page of device failed|Open scsi device failed|ioctl failed' "$log"
expect_match "the log says the name comes from the store" \
    "Devcie \($ISCSI_WWID\), unable to get vdisk name using in-band channel, we try to get vdisk name from file\." "$log"

say "query of the NVMe LUN: no vendor log page, name from the store"
mark=$(log_mark "$CLI_LOG")
expect_mor "query $NV succeeds" 0 query "$NV"
expect_match "the stored vdisk name is shown" '^vdisk_name: nvme_vol_02$' "$OUT"
expect_match "the log says the log page could not be read" \
    "Devcie \($NVME_WWID\), unable to get vdisk name using in-band channel" "$(log_since "$CLI_LOG" "$mark")"
expect_eq "the store is left as it was" "$stored" "$(cat /dumps/storage_config.json)"
rm -f /dumps/storage_config.json
