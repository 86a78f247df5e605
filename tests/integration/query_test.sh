#!/bin/bash
# query and port as an administrator runs them: the topology report for every LUN and for
# one LUN by map name or by WWID, on a host whose array cannot be asked for vdisk names
# (they come from the store), and the FC port listing.
source "$(dirname "$0")/lib/sandbox.bash"
G=golden/query
MP=$MORVEL_SRC/tests/fixtures/mpath/worked-example.multipath-ll
REPORT=$MORVEL_SRC/tests/golden/query_worked_example.out
WWID=36000aabbccdd0000000000000000001a

# The worked example: mpatha over four FC paths, beside another vendor's disk; the name
# of the LUN's vdisk is known from an earlier query.
worked_host() {
    sb_fake multipath -ll --out-file "$MP"
    sb_link /dev/disk/by-path/pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1 ../../sdb
    sb_link /dev/disk/by-path/pci-0000:5e:00.1-fc-0x2200aabbccdd0004-lun-1 ../../sdd
    sb_link /dev/disk/by-path/pci-0000:5e:00.0-fc-0x2200aabbccdd0005-lun-1 ../../sdc
    sb_link /dev/disk/by-path/pci-0000:5e:00.1-fc-0x2200aabbccdd0006-lun-1 ../../sde
    sb_put /dumps/storage_config.json < <(printf '{\n\t"disk":\t[{\n\t\t\t"wwid":\t"%s",\n\t\t\t"vdisk_name":\t"vd_sales_01"\n\t\t}]\n}' "$WWID")
}

sb_case "query prints the report of every LUN of the array, byte for byte"
worked_host
sb_run morvel query
sb_assert_status 0
sb_assert_stdout_file "$REPORT"
sb_assert_cmdlog <<'CALLS'
multipath -ll
CALLS
# the array could not be asked over /dev/dm-2 here, so the store answered
sb_assert_log_contains 'unable to get vdisk name using in-band channel'

sb_case "query by map name and by WWID ask multipath for that LUN only"
worked_host
sb_fake multipath -ll mpatha --out-file "$MP"
sb_fake multipath -ll "$WWID" --out-file "$MP"
sb_run morvel query mpatha
sb_assert_status 0
sb_assert_stdout_file "$REPORT"
sb_assert_cmd_ran "multipath -ll mpatha"
sb_run morvel query "$WWID"
sb_assert_status 0
sb_assert_stdout_file "$REPORT"
sb_assert_cmd_ran "multipath -ll $WWID"

sb_case "while multipathd runs, query reads the daemon's topology; a WWID it refuses goes to multipath"
worked_host
sb_fake multipathd show topology --out-file "$MP"
sb_fake multipathd show map mpatha topology --out-file "$MP"
sb_fake multipathd show map "$WWID" topology --status 1 --out fail
sb_fake multipath -ll "$WWID" --out-file "$MP"
sb_script <<'EOF'
REPORT=$MORVEL_SRC/tests/golden/query_worked_example.out WWID=36000aabbccdd0000000000000000001a
sb_bg multipathd -d
sb_wait_until 10 test -s /run/multipathd.pid
for q in "" mpatha; do
    sb_run morvel query $q
    sb_assert_stdout_file "$REPORT"
    sb_assert_cmdlog <<<"multipathd show ${q:+map $q }topology"
done
sb_run morvel query $WWID
sb_assert_stdout_file "$REPORT"
sb_assert_cmdlog <<<"multipathd show map $WWID topology
multipath -ll $WWID"
sb_assert_log_contains "gave no usable topology \(it failed\), reading it with \[multipath -ll $WWID\]"
EOF

sb_case "query of a name multipath does not know is code 133"
worked_host
sb_fake multipath -ll mpathz --status 1 </dev/null
sb_run morvel query mpathz
sb_assert_status 1
sb_assert_stdout_file $G/no_this_device.out

sb_case "a LUN whose paths are all gone: shown with its stored name while the store knows its WWID"
# the VM's open map after its path devices were deleted, and what morvel printed there
PATHLESS=$MORVEL_SRC/tests/fixtures/mpath/vm-open-pathless-map.multipathd-show-map
for q in "" mpathf 36000aabbccdd00000000000000000a02; do sb_fake multipath -ll $q --out-file "$PATHLESS"; done
sb_run morvel query mpathf
sb_assert_status 1
sb_assert_stdout_lines 2p <<<'Error(0133): This device [mpathf] is not existed.'
sb_put /dumps/storage_config.json '{"disk": [{"wwid": "36000aabbccdd00000000000000000a02", "vdisk_name": "vd_hr_03"}]}'
for q in "" mpathf 36000aabbccdd00000000000000000a02; do
    sb_run morvel query $q
    sb_assert_status 0
    sb_assert_stdout_file "$MORVEL_SRC/tests/system/captures/morvel-query-wwid-open-pathless.out"
done
sb_assert_log_not_contains 'Open scsi device'

sb_case "query on a host without LUNs of the array prints the two frame lines"
sb_fake multipath -ll </dev/null
sb_run morvel query
sb_assert_status 0
sb_assert_stdout_file $G/empty.out

# The JSON document of every topology above: byte for byte against its golden, valid under the
# shipped schema, and equal to the text report field by field (jq lays the document out as
# the report's lines, the text report's columns are squeezed to single blanks).
json_as_report_lines() { jq -r -f "$MORVEL_SRC/tests/fixtures/scripts/query-json-as-report.jq" "$1"; }
report_lines() {
    jq -r '.luns | to_entries[] | .key as $i | .value as $l
        | (if $i > 0 then "" else empty end),
          ($l | to_entries[] | select(.key | IN("vdisk_name", "host_interface", "failed", "paths") | not)
              | "\(.key): \(.value)"),
          (if $l.vdisk_name then "vdisk_name: \($l.vdisk_name)" else empty end),
          (if ($l.paths | length) > 0 then
              (if $l.host_interface then "host_interface: \($l.host_interface)" else empty end),
              "RULE",
              ($l.paths[0] | keys_unsorted | map(select(IN("checker_status", "host_interface") | not)) | join(" ")),
              ($l.paths[] | del(.checker_status, .host_interface) | [.[]] | join(" "))
           else empty end)' "$1"
}
report_lines() { sed -E '/^-{130}$/d; s/^={130}$/RULE/; s/ +/ /g; s/ $//' "$1"; }
json_matches_report() {
    /usr/bin/python3 -c 'import json, sys, jsonschema
jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' \
        "$SB_CASE/out/stdout" "$MORVEL_SRC/packaging/schema/query.schema.json" || sb_fail "not valid under the schema"
    diff <(report_lines "$1") <(json_as_report_lines "$SB_CASE/out/stdout") || sb_fail "JSON and text report differ"
}
worked_host_json() {
    worked_host
    sb_fake multipath -ll mpatha --out-file "$MP"
}
pathless_host() {
    for q in "" mpathf; do sb_fake multipath -ll $q --out-file "$PATHLESS"; done
    sb_put /dumps/storage_config.json '{"disk": [{"wwid": "36000aabbccdd00000000000000000a02", "vdisk_name": "vd_hr_03"}]}'
}
empty_host() { sb_fake multipath -ll </dev/null; }
while read -r topology setup one text; do
    sb_case "query -json on the $topology topology: golden, schema, and the text report's content"
    $setup
    sb_run morvel query -json
    sb_assert_status 0
    sb_assert_stdout_file $G/json/$topology.json
    json_matches_report "$MORVEL_SRC/$text"
    if [[ $one != - ]]; then
        sb_run morvel query -json "$one"
        sb_assert_status 0
        sb_assert_stdout_file $G/json/$topology.json
    fi
done <<'TOPOLOGIES'
worked-example worked_host_json mpatha tests/golden/query_worked_example.out
open-pathless pathless_host mpathf tests/system/captures/morvel-query-wwid-open-pathless.out
empty empty_host - tests/integration/golden/query/empty.out
TOPOLOGIES

sb_case "query -json of an unknown name fails as the text report does; -json is taken first and by query only"
worked_host
sb_fake multipath -ll mpathz --status 1 </dev/null
sb_run morvel query -json mpathz
sb_assert_status 1
sb_assert_stdout_file $G/no_this_device.out
sb_run morvel query mpatha -json
sb_assert_status 1
sb_assert_stdout_lines 2p <<<'Error(0105): Invalid command parameter [-json].'
sb_run morvel lsalias -json
sb_assert_status 1
sb_assert_stdout_lines 2p <<<'Error(0105): Invalid command parameter [-json].'

sb_case "native NVMe: the namespace is read from sysfs, once, with or without the foreign library"
# sysfs and multipath -ll of the test VM with nvme_core.multipath=Y; the array cannot be asked
# here (no /dev/nvme0n1), so the vdisk name comes from the store
NATIVE=$MORVEL_SRC/tests/fixtures/nvme-native/optimized
NWWID=uuid.4b454c44-4f52-5a52-4e00-00000000000a
sb_setup "cp -r '$NATIVE/sys/class/nvme-subsystem' /sys/class/"
sb_put /dumps/storage_config.json "{\"disk\": [{\"wwid\": \"$NWWID\", \"vdisk_name\": \"vd_native_01\"}]}"
tail -n 6 "$NATIVE/multipath-ll-foreign.out" | sb_fake multipath -ll
sb_run morvel query
sb_assert_status 0
sb_assert_stdout_file $G/native_nvme.out
sb_assert_log_contains 'Open fc-nvme device failed'
sb_fake multipath -ll </dev/null
sb_run morvel query
sb_assert_stdout_file $G/native_nvme.out
for q in nvme0n1 "$NWWID"; do
    sb_run morvel query "$q"
    sb_assert_status 0
    sb_assert_stdout_file $G/native_nvme.out
    sb_assert_cmd_not_ran "multipath -ll $q"
done
# the commands that need a map, an alias binding or a path state refuse it
sb_run morvel delete nvme0n1
sb_assert_status 1
sb_assert_stdout_lines 2p <<<'Error(0139): The nvme device [nvme0n1] is served by native NVMe multipathing, which has no map to flush.'
sb_run morvel setstate -path_alias nvme0n1 -device_name nvme0c1n1 -state offline
sb_assert_stdout_lines 2p <<<'Error(0139): The nvme device [nvme0n1] is served by native NVMe multipathing, which has no per-path offline state.'
sb_run morvel delalias -wwid "$NWWID"
sb_assert_stdout_lines 2p <<<"Error(0139): The nvme device [$NWWID] is served by native NVMe multipathing, which has no alias binding."
sb_assert_cmd_not_ran "multipath -f"

sb_finish
