# morvel_monitor as its systemd unit while paths fail for real and recover: an iSCSI portal
# and an NVMe/TCP port dropped by a tc rule, a SCSI path set offline while the monitor is down.
# Every line it writes is checked against the topology that multipath -ll shows before and
# after each event; its snapshot carries over a restart. The monitor watches the array's SCSI
# LUNs and NVMe namespaces.
# deadline: 600

# topo: the topology as the monitor records it (LUNs of the array), from multipath -ll:
#   LUN|alias|wwid                                  one per map, in output order
#   PATH|dev|alias|wwid|checker|group status|device state   one per path, in output order
# The device state is the rest of the path line after the checker state, as the monitor
# takes it (a two-word checker state such as "i/o pending" spills into it).
topo() {
    multipath -ll 2>/dev/null | awk '
        / dm-[0-9]+ / && !/ KELDOR *,ZRN *$/ && !/ NVME *,KELDORZRN *$/ { skip = 1; next }
        / dm-[0-9]+ / {
            skip = 0; alias = $1; wwid = $1
            if ($2 ~ /^\(/) wwid = substr($2, 2, length($2) - 2)
            print "LUN|" alias "|" wwid; next
        }
        skip { next }
        /policy=/ { match($0, /status=[a-z]+/); gs = substr($0, RSTART + 7, RLENGTH - 7); next }
        / [0-9]+:[0-9]+:[0-9]+:[0-9]+ / {
            sub(/^[ |`-]*/, "")
            st = $0
            for (k = 0; k < 5; k++) sub(/^[^ ]+ +/, "", st)
            print "PATH|" $2 "|" alias "|" wwid "|" $5 "|" gs "|" st
        }'
}

# new_lines MARK: the monitor-log lines written since MARK, timestamps checked and removed.
new_lines() {
    log_since "$MON_LOG" "$1" | while IFS= read -r l; do
        if [[ "$l" =~ ^\[[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\]\ (.*)$ ]]; then
            printf '%s\n' "${BASH_REMATCH[1]}"
        else
            printf 'BAD TIMESTAMP: %s\n' "$l"
        fi
    done
}

# change_lines MARK: new_lines without the path-health lines (scenario 14 checks those).
HEALTH_RE='^The (path (failed and recovered|is (failed|reinstated|intermittent|steady again))|lun (is below|has one usable|is whole again|path baseline))'
change_lines() { new_lines "$1" | grep -vE "$HEALTH_RE"; }

# created_lines TOPO: what a monitor without a snapshot logs for that topology, in order.
created_lines() {
    awk -F'|' '$1 == "LUN" {
        printf "The lun is created, the properties are [ path_alias: %s, wwid: %s ].\n", $2, $3 }' <<<"$1"
    awk -F'|' '$1 == "PATH" {
        printf "The path is created, the properties are [ path_alias: %s, wwid: %s, dev_name: %s, path_status: %s, path_group_status: %s, morvel_status:%s ].\n", $3, $4, $2, $5, $6, $7 }' <<<"$1"
}

# changes_explain BEFORE AFTER LINES: succeeds when LINES are exactly change lines of paths
# present before and after, and for every path and field they form an unbroken chain from the
# value before to the value after (a field that changed has at least one line; intermediate
# states seen by a cycle may appear). Prints what does not fit.
changes_explain() {
    local before=$1 after=$2 lines=$3 dev f i l v
    declare -A was now cur
    local -A col=([alias]=3 [wwid]=4 [chk]=5 [grp]=6 [st]=7)
    while IFS='|' read -r -a r; do
        [[ "${r[0]}" == PATH ]] || continue
        for f in "${!col[@]}"; do was[$f,${r[1]}]=${r[${col[$f]}-1]}; done
    done <<<"$before"
    while IFS='|' read -r -a r; do
        [[ "${r[0]}" == PATH ]] || continue
        for f in "${!col[@]}"; do now[$f,${r[1]}]=${r[${col[$f]}-1]}; done
    done <<<"$after"
    for i in "${!was[@]}"; do cur[$i]=${was[$i]}; done
    local bad=0
    while IFS= read -r l; do
        [[ -z "$l" ]] && continue
        if [[ "$l" =~ ^The\ (path\ alias|lun\ wwid|path\ status|group\ status|morvel\ status)\ is\ changed\ from\ \[(.*)\]\ to\ \[(.*)\]\ for\ the\ path\ \[\ dev_name:\ ([^ ]+)\ \]\.$ ]]; then
            case "${BASH_REMATCH[1]}" in
                "path alias") f=alias ;; "lun wwid") f=wwid ;; "path status") f=chk ;;
                "group status") f=grp ;; "morvel status") f=st ;;
            esac
            dev=${BASH_REMATCH[4]}
            if [[ -z "${cur[$f,$dev]+x}" || -z "${now[$f,$dev]+x}" ]]; then
                echo "a line about a path that is not there before and after: $l"; bad=1
            elif [[ "${cur[$f,$dev]}" != "${BASH_REMATCH[2]}" ]]; then
                echo "the line does not start from the value before (${cur[$f,$dev]}): $l"; bad=1
            else
                cur[$f,$dev]=${BASH_REMATCH[3]}
            fi
        else
            echo "not a change line of a path: $l"; bad=1
        fi
    done <<<"$lines"
    for i in "${!now[@]}"; do
        v=${cur[$i]-}
        if [[ "$v" != "${now[$i]}" ]]; then
            echo "${i#*,}: ${i%%,*} is ${now[$i]} now, the log leaves it at ${v:-nothing}"; bad=1
        fi
    done
    return "$bad"
}

# settled MARK BEFORE WANT_CMD...: the topology satisfies WANT_CMD and the lines since MARK
# explain the change from BEFORE to it (polled by wait_for).
settled() {
    local mark=$1 before=$2 after lines
    shift 2
    after=$(topo)
    "$@" <<<"$after" || { echo "topology not there yet:"; echo "$after"; return 1; }
    lines=$(change_lines "$mark")
    [[ -n "$lines" ]] || { echo "no monitor line yet"; return 1; }
    echo "$lines"
    changes_explain "$before" "$after" "$lines"
}
# has DEV FIELD VALUE: the topology on stdin has that path field (5 checker, 6 group, 7 state)
has() { awk -F'|' -v d="$1" -v n="$2" -v v="$3" '$1 == "PATH" && $2 == d && $n == v { f = 1 } END { exit !f }'; }
# lost DEV: the path is in the topology on stdin, with a checker state other than ready
lost() { awk -F'|' -v d="$1" '$1 == "PATH" && $2 == d && $5 != "ready" { f = 1 } END { exit !f }'; }

# quiet_for SECONDS MARK WHAT: no monitor line for SECONDS (more than two cycles)
quiet_for() {
    sleep "$1"
    expect_eq "$3" "" "$(new_lines "$2")"
}

sd=$(iscsi_dev 127.0.0.2:3260)
nv_a=$(nvme_dev 127.0.0.1) nv_b=$(nvme_dev 127.0.0.2)
sd0=$(map_paths "$SD0_WWID" | tail -n 1)
mon_pid() { systemctl show -p MainPID --value morvel_monitor.service; }
cleanup() {
    tc qdisc del dev lo root 2>/dev/null
    multipathd reinstate path "$nv_a" >/dev/null 2>&1
    multipathd reinstate path "$nv_b" >/dev/null 2>&1
    echo running >"/sys/block/$sd0/device/state" 2>/dev/null
}
trap cleanup EXIT

say "the monitor starts without a snapshot"
poll 60 map_count_ready "$ISCSI_WWID" 2
poll 60 map_count_ready "$NVME_WWID" 2
systemctl stop morvel_monitor.service 2>/dev/null
rm -f /dumps/data.morvel /dumps/data.morvel.paths
expect_eq "the unit is installed and enabled" enabled "$(systemctl is-enabled morvel_monitor.service 2>&1)"
mark=$(log_mark "$MON_LOG")
t0=$(topo)
note "$t0"
run systemctl start morvel_monitor.service
first() { local l; l=$(new_lines "$mark"); echo "$l"; [[ $(grep -c . <<<"$l") -ge $(grep -c . <<<"$t0") ]]; }
wait_for "the first cycle logs every LUN and path" 30 first
sleep 2
expect_eq "a created line for every LUN, then for every path, in multipath -ll order" \
    "$(created_lines "$t0")" "$(new_lines "$mark")"
expect_eq "the snapshot is written" yes "$([[ -s /dumps/data.morvel ]] && echo yes || echo no)"
mark=$(log_mark "$MON_LOG")
quiet_for 22 "$mark" "an unchanged topology logs nothing"

# port_drops_and_recovers WHAT PORT DEV WWID LOST_CHECK...: every packet to 127.0.0.2:PORT is
# dropped until the monitor has logged the loss of DEV (LOST_CHECK on the topology), then the
# port recovers until it has logged DEV ready again; each time its lines explain the change.
port_drops_and_recovers() {
    local what=$1 port=$2 dev=$3 wwid=$4 before mark
    shift 4
    say "the $what 127.0.0.2:$port drops every packet ($dev)"
    before=$(topo)
    mark=$(log_mark "$MON_LOG")
    run tc qdisc add dev lo root handle 1: prio
    run tc filter add dev lo parent 1: protocol ip prio 1 u32 \
        match ip dst 127.0.0.2/32 match ip dport "$port" 0xffff action drop
    wait_for "the monitor logs the failure of $dev, and nothing else" 150 settled "$mark" "$before" "$@"
    note "$(new_lines "$mark")"
    note "$(run multipath -ll "$wwid")"

    say "the $what recovers"
    # The kernel's event starts a cycle at once; multipathd may settle (its path groups) a
    # moment later, which the next cycles log: the recovery starts from their view.
    sleep 12
    before=$(topo)
    mark=$(log_mark "$MON_LOG")
    run tc qdisc del dev lo root
    wait_for "the monitor logs the recovery of $dev, and nothing else" 150 \
        settled "$mark" "$before" has "$dev" 5 ready
    sleep 12
    expect_eq "the lines since the recovery still explain the topology" "" \
        "$(changes_explain "$before" "$(topo)" "$(change_lines "$mark")")"
}
port_drops_and_recovers "iSCSI portal" 3260 "$sd" "$ISCSI_WWID" has "$sd" 5 faulty
port_drops_and_recovers "NVMe/TCP port" 4420 "$nv_b" "$NVME_WWID" lost "$nv_b"

say "the unit restarts: the snapshot carries over"
sleep 12
p1=$(mon_pid)
mark=$(log_mark "$MON_LOG")
run systemctl restart morvel_monitor.service
expect_eq "it is a new process" yes "$([[ "$(mon_pid)" != "$p1" && "$(mon_pid)" != 0 ]] && echo yes || echo no)"
quiet_for 22 "$mark" "after the restart nothing is logged as created again"

say "a SCSI path goes offline while the monitor is stopped ($sd0)"
run systemctl stop morvel_monitor.service
before=$(topo)
mark=$(log_mark "$MON_LOG")
echo offline >"/sys/block/$sd0/device/state"
poll 60 bash -c "multipath -ll $SD0_WWID 2>/dev/null | grep -q ' $sd0 .*faulty offline'"
run systemctl start morvel_monitor.service
wait_for "the first cycle after the start logs the change against the snapshot" 40 \
    settled "$mark" "$before" has "$sd0" 7 offline
before=$(topo)
mark=$(log_mark "$MON_LOG")
echo running >"/sys/block/$sd0/device/state"
wait_for "and its recovery" 60 settled "$mark" "$before" has "$sd0" 5 ready

say "multipathd stops answering and multipath -ll hangs: the monitor's cycle ends at its deadlines"
mp=$(command -v multipath)
daemon=$(pidof multipathd)
p1=$(mon_pid)
restarts=$(systemctl show -p NRestarts --value morvel_monitor.service)
mark=$(log_mark "$CLI_LOG")
cp -p "$mp" /run/multipath.real
printf '#!/bin/sh\nexec sleep 3600\n' >"$mp"
run kill -STOP "$daemon"
hung() { log_since "$CLI_LOG" "$mark" | grep 'did not end within 60 s, its processes were killed'; }
wait_for "the monitor logs the hanging command and goes on" 110 hung
cp -p /run/multipath.real "$mp"
run kill -CONT "$daemon"
poll 30 multipathd show daemon
mark=$(log_mark "$MON_LOG")
quiet_for 22 "$mark" "the cycles after it log no false change"
expect_eq "the same process runs on: no watchdog restart" "$p1 $restarts active" \
    "$(mon_pid) $(systemctl show -p NRestarts --value morvel_monitor.service) $(systemctl is-active morvel_monitor.service)"
