# The demonstration on the real multipath stack of the test VM (run by scripts/demo-vm.sh):
# morvel configures the host and reports the Keldor LUNs, morvel_monitor watches a path of the
# iSCSI LUN fail and recover. Everything shown goes to the console, which the host prints.

show() { sed 's/^/systest: /' >/dev/console; }
title() { printf '\n=== %s\n' "$*" | show; }
# cmd CMD...: shows the command line, its output and its exit status
cmd() {
    local out rc
    out=$("$@" 2>&1)
    rc=$?
    { printf '$ %s\n' "$*"; printf '%s\n' "$out"; printf '(exit status %s)\n' "$rc"; } | show
    return "$rc"
}
elapsed() { echo $((SECONDS - t0)); }

t0=$SECONDS
IS=$(map_name "$ISCSI_WWID")
sd=$(iscsi_dev 127.0.0.2:3260)

title "The host: Red Hat Enterprise Linux 9 (as the guest's release files say), multipath-tools $(dpkg-query -W -f='${Version}' multipath-tools)"
cmd morvel version

title "morvel config: the Keldor device blocks go into /etc/multipath.conf, multipathd reloads"
cmd morvel config
sed -n '/^#keldor config begin$/,/^#nvme config end$/p' /etc/multipath.conf | show
cmd morvel lspathpolicy

title "morvel query: every Keldor LUN on this host (scsi_debug, LIO iSCSI, NVMe/TCP, the simulated array)"
poll 60 map_count_ready "$ISCSI_WWID" 2
poll 60 map_count_ready "$SIM_A_WWID" 2
poll 60 map_count_ready "$SIM_B_WWID" 2
cmd morvel query

title "vdisk names read in band from the simulated Keldor array (page 0xD0 over SG_IO, iSCSI paths)"
SA=$(map_name "$SIM_A_WWID")
cmd sg_vpd -p 0 "/dev/$(map_dm "$SIM_A_WWID")"
cmd sg_vpd -p 0xd0 -H "/dev/$(map_dm "$SIM_A_WWID")"
cmd morvel query "$SA"
printf '/dumps/storage_config.json remembers every name read in band:\n' | show
{ cat /dumps/storage_config.json; echo; } | show
printf 'The administrator renames the vdisk of %s on the array to vd_sales_02...\n' "$SA" | show
sim_set "$SIM_A" vdisk_name vd_sales_02
mark=$(log_mark "$CLI_LOG")
cmd morvel query "$SA"
printf 'and morvel logs the change:\n' | show
log_since "$CLI_LOG" "$mark" | grep 'vdisk name change' | show
sim_set "$SIM_A" vdisk_name "$SIM_A_NAME"

title "morvel_monitor starts as its systemd unit"
rm -f /dumps/data.morvel
mark=$(log_mark "$MON_LOG")
systemctl start morvel_monitor.service
poll 30 bash -c "[[ \$(wc -l <$MON_LOG) -gt $mark ]]"
sleep 2
cmd systemctl --no-pager status morvel_monitor.service --lines=0
log_since "$MON_LOG" "$mark" | show

title "A path fails: the portal 127.0.0.2:3260 of the iSCSI LUN $IS drops every packet ($sd)"
mark=$(log_mark "$MON_LOG")
t_fail=$SECONDS
tc qdisc add dev lo root handle 1: prio
tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip dst 127.0.0.2/32 match ip dport 3260 0xffff action drop
printf 'waiting for multipathd and the monitor to notice...\n' | show
poll 120 grep -q "changed from \[ready\] to \[faulty\] for the path \[ dev_name: $sd \]" "$MON_LOG"
noticed=$((SECONDS - t_fail))
printf 'noticed after %s s; the monitor log says:\n' "$noticed" | show
log_since "$MON_LOG" "$mark" | show
cmd morvel query "$IS"

title "The portal recovers"
mark=$(log_mark "$MON_LOG")
t_back=$SECONDS
tc qdisc del dev lo root
poll 120 grep -q "changed from \[faulty\] to \[ready\] for the path \[ dev_name: $sd \]" "$MON_LOG"
recovered=$((SECONDS - t_back))
printf 'recovered after %s s; the monitor log says:\n' "$recovered" | show
log_since "$MON_LOG" "$mark" | show
poll 60 map_count_ready "$ISCSI_WWID" 2
cmd morvel query "$IS"

title "Summary"
{
    echo "LUNs of the array on this host: $(morvel query | grep -c '^path_alias:') (multipath -ll: $(multipath -ll 2>/dev/null | grep -c ' dm-[0-9]'))"
    echo "path $sd of $IS failed: noticed by the monitor after $noticed s, recovered after $recovered s"
    echo "monitor log lines written: $(wc -l <"$MON_LOG") in $MON_LOG"
    echo "demonstration ran $(elapsed) s in the VM after setup"
} | show
