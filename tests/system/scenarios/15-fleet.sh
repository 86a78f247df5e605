# The fleet's own tools over the real stack: `morvel query -json` under its schema and equal to
# the text report; the monitor's textfile scraped by Debian's prometheus-node-exporter (with
# the vdisk name the monitor read in band) and accepted by promtool, its values following a
# real path failure and recovery while a reader never sees part of a file; and the monitor's
# events in the real journal with their fields.
# deadline: 600

PROM_DIR=/var/lib/prometheus/node-exporter
PROM=$PROM_DIR/morvel.prom
STATE_ID=3e0dcdf55d844fbf90bb1521ec5bdcc6  # path state changed
A=$(map_name "$SIM_A_WWID")
A_NAME=$(cat "$(sim_dir "$SIM_A")/vdisk_name")  # the array's name now: earlier scenarios rename it
poll 60 map_count_ready "$SIM_A_WWID" 2

say "query -json: valid under the shipped schema, the text report's content field by field"
expect_mor "query -json succeeds" 0 query -json
json=$OUT
expect_eq "the JSON document is valid under /usr/share/morvel/query.schema.json" ok "$(
    /usr/bin/python3 -c 'import json, sys, jsonschema
jsonschema.validate(json.loads(sys.stdin.read()), json.load(open("/usr/share/morvel/query.schema.json")))
print("ok")' <<<"$json" 2>&1)"
expect_mor "query succeeds" 0 query
expect_eq "it holds what the text report shows, LUN by LUN and path by path" \
    "$(sed -E '/^-{130}$/d; s/^={130}$/RULE/; s/ +/ /g; s/ $//' <<<"$OUT")" \
    "$(jq -r -f "$SYSTEST_SRC/tests/fixtures/scripts/query-json-as-report.jq" <<<"$json")"
expect_eq "jq picks the in-band vdisk name of $A" "$A_NAME" \
    "$(jq -r --arg w "$SIM_A_WWID" '.luns[] | select(.wwid == $w) | .vdisk_name' <<<"$json")"
expect_eq "and its paths' checker states" "ready ready" \
    "$(jq -r --arg w "$SIM_A_WWID" '[.luns[] | select(.wwid == $w) | .paths[].checker_status] | join(" ")' <<<"$json")"
expect_mor "query -json of a name multipath does not know fails as the text report does" 1 query -json mpathzz
expect_match "with the framed error" '^Error\(0133\)' "$OUT"

say "node_exporter scrapes the monitor's textfile, with the vdisk name read in band"
# The array renames the vdisk: the store still holds the old name, so the new one can only
# have come in band, read by the monitor when it first sees the LUN after its start.
sim_set "$SIM_A" vdisk_name vd_fleet_01
run systemctl restart morvel_monitor.service
run systemctl start prometheus-node-exporter.service
scrape() { curl -fsS --max-time 5 http://localhost:9100/metrics; }
# sample NAME LABEL=VALUE...: the scraped line of the first series of NAME that has those labels
# (node_exporter sorts the labels by name); its value is the last word.
sample() {
    local name=$1
    shift
    scrape | awk -v name="$name" -v want="$*" '
        function has(l, p) { return index(l, "{" p ",") || index(l, "{" p "}") || index(l, "," p ",") || index(l, "," p "}") }
        index($0, name "{") == 1 {
            n = split(want, w, " "); ok = 1
            for (i = 1; i <= n; i++) { split(w[i], kv, "="); if (!has($0, kv[1] "=\"" kv[2] "\"")) ok = 0 }
            if (ok) { print; f = 1; exit }
        }
        END { exit !f }'
}
value() { sample "$@" | awk '{ print $NF }'; }
named() { sample morvel_lun_info wwid="$SIM_A_WWID" alias="$A" vdisk=vd_fleet_01 vendor=KELDOR product=ZRN | grep ' 1$'; }
wait_for "the scrape shows $A with the vdisk name vd_fleet_01" 60 named
note "$(scrape | grep '^morvel_')"
expect_eq "promtool check metrics accepts the file" "0" "$(promtool check metrics <"$PROM" >/dev/null 2>&1; echo $?)"
note "$(promtool check metrics <"$PROM" 2>&1)"
expect_eq "$A has 2 usable and 0 failed paths" "2 0" \
    "$(value morvel_lun_paths wwid="$SIM_A_WWID" state=usable) $(value morvel_lun_paths wwid="$SIM_A_WWID" state=failed)"

# A reader that reads the file whole, over and over, while the monitor rewrites it.
reader() {
    local n=0 bad=0 text
    while [[ ! -e /run/fleet-reader.stop ]]; do
        IFS= read -r -d '' text <"$PROM"
        if [[ "$text" != "# HELP morvel_lun_info "* || "$text" != *$'\nmorvel_monitor_topology_read '[01]$'\n' ]]; then
            bad=$((bad + 1))
            printf '%s\n---\n' "$text" >>/run/fleet-reader.bad
        fi
        n=$((n + 1))
    done
    echo "$n $bad" >/run/fleet-reader.out
}
rm -f /run/fleet-reader.*
reader &
reader_pid=$!
cleanup() {
    tc qdisc del dev lo root 2>/dev/null
    touch /run/fleet-reader.stop
    sim_set "$SIM_A" vdisk_name "$A_NAME"
    rm -rf /run/systemd/system/morvel_monitor.service.d
}
trap cleanup EXIT

say "a path of $A fails for real: every packet to 127.0.0.4:3260 is dropped"
since=$(date +%s)
run tc qdisc add dev lo root handle 1: prio
run tc filter add dev lo parent 1: protocol ip prio 1 u32 \
    match ip dst 127.0.0.4/32 match ip dport 3260 0xffff action drop
one_failed() { [[ $(value morvel_lun_paths wwid="$SIM_A_WWID" state=failed) == 1 ]]; }
wait_for "the scrape shows 1 failed path of $A" 150 one_failed
note "$(scrape | grep "^morvel_.*$SIM_A_WWID")"
expect_match "the failed path's series shows its states" ' 1$' \
    "$(sample morvel_path_state wwid="$SIM_A_WWID" dm_state=failed checker_state=faulty kernel_state=running)"

say "the path recovers"
run tc qdisc del dev lo root
none_failed() { [[ $(value morvel_lun_paths wwid="$SIM_A_WWID" state=failed) == 0 ]]; }
wait_for "the scrape shows 0 failed paths of $A again" 150 none_failed
sleep 11
touch /run/fleet-reader.stop
wait "$reader_pid"
read -r reads bad </run/fleet-reader.out
note "the reader read the file $reads times"
expect_eq "the reader read whole files only, over many rewrites" "0 yes" "$bad $([[ $reads -gt 100 ]] && echo yes || echo "no: $reads reads")"
[[ -f /run/fleet-reader.bad ]] && note "$(head -n 40 /run/fleet-reader.bad)"

say "the failure and the recovery are in the journal, with their fields"
events() {
    journalctl -o json --no-pager --since "@$since" MESSAGE_ID=$STATE_ID MORVEL_WWID="$SIM_A_WWID" |
        jq -r 'select(.MORVEL_FIELD == "path_status")
            | [.PRIORITY, .MORVEL_ALIAS, .MORVEL_VDISK, .MORVEL_PATH, .MORVEL_OLD_STATE, .MORVEL_NEW_STATE,
               .SYSLOG_IDENTIFIER] | join(" ")'
}
both() { events | grep -q ' ready faulty ' && events | grep -q ' faulty ready '; }
wait_for "journalctl -o json MESSAGE_ID=$STATE_ID has the failure and the recovery" 30 both
note "$(events)"
expect_match "the failure: priority warning, alias, vdisk, path, states" \
    "^4 $A vd_fleet_01 sd[a-z]+ ready faulty morvel_monitor$" "$(events)"
expect_match "the recovery: priority notice" "^5 $A vd_fleet_01 sd[a-z]+ faulty ready morvel_monitor$" "$(events)"
msg=$(journalctl -o json --no-pager --since "@$since" MESSAGE_ID=$STATE_ID MORVEL_NEW_STATE=faulty | jq -r '.MESSAGE' | head -n 1)
expect_match "its MESSAGE is the monitor log's line" "$(sed 's/[][.]/\\&/g' <<<"$msg")\$" "$(cat "$MON_LOG")"
run journalctl --update-catalog
expect_match "the catalog explains it (journalctl -x)" "Subject: Path sd[a-z]+ of LUN $A: path_status ready -> faulty" \
    "$(journalctl -x --no-pager --since "@$since" MESSAGE_ID=$STATE_ID MORVEL_NEW_STATE=faulty 2>&1)"

say "the path-health lines of that failure are journal events of their own, and its count a metric"
FAILED_ID=ce6ca89084944b82ad5d7973172264b3 REINSTATED_ID=137b51ca85234f85828a62ea27fa69c5
health_events() {
    journalctl -o json --no-pager --since "@$since" MESSAGE_ID="$1" MORVEL_WWID="$SIM_A_WWID" |
        jq -r '[.PRIORITY, .MORVEL_ALIAS, .MORVEL_VDISK, .MORVEL_PATH] | join(" ")'
}
kernel_both() { [[ -n $(health_events $FAILED_ID) && -n $(health_events $REINSTATED_ID) ]]; }
wait_for "the kernel's failure and reinstatement of the path are in the journal" 30 kernel_both
expect_match "the failure: priority warning, alias, vdisk, path" "^4 $A vd_fleet_01 sd[a-z]+$" "$(health_events $FAILED_ID)"
expect_match "the reinstatement: priority notice" "^5 $A vd_fleet_01 sd[a-z]+$" "$(health_events $REINSTATED_ID)"
counted() { scrape | grep -E "^morvel_path_failures_total\{.*wwid=\"$SIM_A_WWID\".*\} [1-9]"; }
wait_for "the scrape counts the kernel's failure of the path" 30 counted

say "a drop-in of the unit moves the textfile elsewhere"
mkdir -p /run/systemd/system/morvel_monitor.service.d
printf '[Service]\nEnvironment=MORVEL_TEXTFILE_DIR=/run/morvel-textfile\n' \
    >/run/systemd/system/morvel_monitor.service.d/textfile.conf
run systemctl daemon-reload
run systemctl restart morvel_monitor.service
moved() { grep -F "vdisk=\"vd_fleet_01\"" /run/morvel-textfile/morvel.prom; }
wait_for "the monitor writes /run/morvel-textfile/morvel.prom, which it made" 60 moved
rm -r /run/systemd/system/morvel_monitor.service.d
run systemctl daemon-reload
run systemctl restart morvel_monitor.service
