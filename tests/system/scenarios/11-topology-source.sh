# Where query and the monitor read the topology: from the running multipathd ("multipathd show
# topology", "multipathd show map NAME topology"), else from multipath -ll. Both sources give
# the same report, byte for byte, over a table of quiet topologies and name forms; a stopped
# daemon is not woken; a portal that drops every packet does not hold up the monitor's cycles.

# deadline: 540

CAP=$SYSTEST_OUT/captures
mkdir -p "$CAP"
PIDFILE=/run/multipathd.pid
sd0=$(map_paths "$SD0_WWID" | head -n 1)
nv_b=$(nvme_dev 127.0.0.2)
is_b=$(iscsi_dev 127.0.0.2:3260)
ANA_B=/sys/kernel/config/nvmet/ports/2/ana_groups/1/ana_state # the port of 127.0.0.2
conf_saved=$(mktemp)
cp /etc/multipath.conf "$conf_saved"
cleanup() {
    [[ -f $PIDFILE.away ]] && mv "$PIDFILE.away" "$PIDFILE"
    tc qdisc del dev lo root 2>/dev/null
    echo optimized >"$ANA_B" 2>/dev/null
    multipathd reinstate path "$nv_b" >/dev/null 2>&1
    echo running >"/sys/block/$sd0/device/state" 2>/dev/null
    if ! cmp -s "$conf_saved" /etc/multipath.conf; then
        cp "$conf_saved" /etc/multipath.conf
        multipathd reconfigure >/dev/null 2>&1
    fi
}
trap cleanup EXIT
all_ready() {
    local w
    for w in "$ISCSI_WWID" "$NVME_WWID" "$SD0_WWID" "$SD1_WWID"; do map_count_ready "$w" 2 || return 1; done
}
quiet() { sleep 6; }
# groups_of: "map groups" per map of multipath -ll style text, sorted (the daemon marks a map
# with its last action: "create: ", "reload: ", "switchpg: "...)
groups_of() {
    awk '/^[^ |`]/ && / dm-[0-9]+ / { n = ($1 ~ /^[a-z]+:$/) ? $2 : $1 } /policy=/ { c[n]++ }
        END { for (k in c) print k, c[k] }' | sort
}
# settled: after the reconfigure to group_by_prio the maps are reloaded one after the other;
# wait until the daemon and the kernel tables agree on every map and its groups, the alias is in
# place and the NVMe LUN's non-optimized port has a group of its own
settled() {
    local d k
    d=$(multipathd show topology 2>/dev/null | groups_of)
    k=$(multipath -ll 2>/dev/null | groups_of)
    [[ $d == "$k" && $k == *"aaa_first "* ]] && all_ready &&
        [[ $(multipath -ll "$NVME_WWID" 2>/dev/null | grep -c 'policy=') == 2 ]]
} # one more checker round of multipathd (polling_interval 2, at most 4)

# failed_prio: the report with the priority column of failed paths' rows blanked. A path failed
# with "multipathd fail path" keeps its checker state: multipath -ll, which runs the checker,
# shows its group's priority, the daemon the priority that is left (0).
failed_prio() { awk '$8 == "failed" && NF >= 9 { $6 = "-" } { print }'; }
NORMALISE=cat

# both WHAT ARGS...: query ARGS once from the daemon, once with its pid file moved away (the
# daemon keeps running, morvel takes it for stopped); the two reports must be the same.
both() {
    local what=$1 mark d_out d_rc
    shift
    mark=$(log_mark "$CLI_LOG")
    mor query "$@"
    d_out=$OUT d_rc=$RC
    local log_d
    log_d=$(log_since "$CLI_LOG" "$mark")
    mv "$PIDFILE" "$PIDFILE.away"
    mark=$(log_mark "$CLI_LOG")
    mor query "$@"
    mv "$PIDFILE.away" "$PIDFILE"
    expect_eq "$what: the same report from multipathd and from multipath -ll (exit status $RC)" \
        "$($NORMALISE <<<"$OUT")" "$($NORMALISE <<<"$d_out")"
    expect_eq "$what: the same exit status" "$RC" "$d_rc"
    expect_match "$what: the first query names the daemon's command in the log" \
        "Execute command \[multipathd show (topology|map .* topology) 2>&1\]" "$log_d"
    expect_match "$what: the second says the daemon is taken for stopped and runs multipath -ll" \
        "multipathd is not running, reading the topology with \[multipath -ll( .*)?\]" \
        "$(log_since "$CLI_LOG" "$mark")"
}

say "parity of the two sources"
poll 90 all_ready
quiet
multipathd show topology >"$CAP/multipathd-show-topology.out" 2>&1
multipath -ll >"$CAP/multipath-ll.out" 2>&1
IS=$(map_name "$ISCSI_WWID")
both "all LUNs, every path up"
both "by map name" "$IS"
both "by WWID (the daemon does not know WWIDs: multipath -ll answers)" "$ISCSI_WWID"
both "by dm-N (multipath -ll knows no such map)" "$(map_dm "$ISCSI_WWID")"
both "by a name neither knows" mpathzz

say "parity: a SCSI path offline ($sd0)"
echo offline >"/sys/block/$sd0/device/state"
poll 60 map_count_failed "$SD0_WWID" 1
quiet
multipathd show topology >"$CAP/multipathd-show-topology-offline.out" 2>&1
multipath -ll >"$CAP/multipath-ll-offline.out" 2>&1
both "a SCSI path offline"
echo running >"/sys/block/$sd0/device/state"

say "parity: an NVMe path failed ($nv_b)"
run multipathd fail path "$nv_b"
poll 60 map_count_failed "$NVME_WWID" 1
quiet
NORMALISE=failed_prio
both "an NVMe path failed (group priority of the failed path aside)"
both "the NVMe LUN by map name (group priority of the failed path aside)" "$(map_name "$NVME_WWID")"
NORMALISE=cat
run multipathd reinstate path "$nv_b"
poll 90 all_ready

say "parity: group_by_prio, and an alias that sorts first"
# every grouping policy that earlier scenarios left, and the default, become group_by_prio
sed -i -E -e 's/^([[:space:]]*path_grouping_policy[[:space:]]+)[A-Za-z_]+/\1group_by_prio/' \
    -e 's/^defaults \{$/&\n    path_grouping_policy group_by_prio/' /etc/multipath.conf
cat >>/etc/multipath.conf <<CONF
multipaths {
    multipath {
        wwid $ISCSI_WWID
        alias aaa_first
    }
}
CONF
echo non-optimized >"$ANA_B"
run multipathd reconfigure
poll 90 settled
quiet
groups=$(multipath -ll "$NVME_WWID" 2>/dev/null | grep -c 'policy=')
expect_eq "the NVMe LUN has two path groups (one port non-optimized)" 2 "$groups"
multipathd show topology >"$CAP/multipathd-show-topology-group-by-prio.out" 2>&1
multipath -ll >"$CAP/multipath-ll-group-by-prio.out" 2>&1
both "group_by_prio, alias aaa_first"
both "by alias" aaa_first
both "by the WWID of the aliased LUN" "$ISCSI_WWID"
cp "$conf_saved" /etc/multipath.conf
echo optimized >"$ANA_B"
run multipathd reconfigure
poll 90 all_ready

say "multipathd stopped: the fallback is used and the daemon stays stopped"
expect_mor "stop succeeds" 0 stop
poll 60 bash -c '[[ $(systemctl is-active multipathd.service) != active ]]'
mark=$(log_mark "$CLI_LOG")
expect_mor "query succeeds without the daemon" 0 query
expect_match "it shows the LUNs" "^path_alias: $IS$" "$OUT"
log=$(log_since "$CLI_LOG" "$mark")
expect_match "the log says multipath -ll was used" "multipathd is not running, reading the topology with \[multipath -ll\]" "$log"
expect_no_match "no multipathd call was made" "Execute command \[multipathd" "$log"
sleep 3
expect_eq "the daemon is still stopped" inactive "$(systemctl is-active multipathd.service)"
expect_mor "start succeeds" 0 start
poll 60 multipathd show daemon
poll 90 all_ready

say "an iSCSI portal that drops every packet ($is_b)"
systemctl start morvel_monitor.service
sleep 12
run tc qdisc add dev lo root handle 1: prio
run tc filter add dev lo parent 1: protocol ip prio 1 u32 \
    match ip dst 127.0.0.2/32 match ip dport 3260 0xffff action drop
sleep 5
mark=$(log_mark "$CLI_LOG")
sleep 41
cycles=$(log_since "$CLI_LOG" "$mark" | grep -c 'Execute command \[multipathd show topology 2>&1\] successfully')
expect_match "the monitor keeps a cycle about every 10 seconds (saw $cycles in 41 s)" '^[3-5]$' "$cycles"
t0=$SECONDS
expect_mor "query succeeds while the portal drops packets" 0 query
took=$((SECONDS - t0))
expect_match "and answers in seconds (took $took s)" '^([0-9]|1[0-9])$' "$took"
run tc qdisc del dev lo root
systemctl stop morvel_monitor.service
poll 120 all_ready
