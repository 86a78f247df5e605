# deadline: 6000
# Scale measurement, run only on request (not one of the suite's scenarios):
#   tests/system/run.sh tests/system/measure/scale.sh
# Grows the scsi_debug array to 4 hosts x 64 LUNs (256 paths), then to 4 hosts x 256 LUNs
# (1,024 paths), and at each size times, median of 3 in this one boot:
#   - `multipathd show topology`;
#   - the device reads of a query: one SG_IO INQUIRY of VPD page 0x00 per map (sg_vpd), less the
#     cost of starting as many processes (the same loop running /bin/true);
#   - `morvel query`.
# It prints "scale: PATHS paths, MAPS maps: ..." lines (console, out/scale.log, out/scale) and
# checks the goal: morvel query at most 1.5 times the topology command plus the device reads.
# SCALE_SIZES="64 256" (LUNs per host) picks the sizes.

SD_DRV=/sys/bus/pseudo/drivers/scsi_debug
RESULT=$SYSTEST_OUT/scale

now() { date +%s.%N; }
# median3 CMD...: the median wall time in seconds of three runs of CMD (output dropped).
median3() {
    local t=() i s
    for i in 1 2 3; do
        s=$(now)
        "$@" >/dev/null 2>&1
        t+=("$(awk -v a="$s" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')")
    done
    printf '%s\n' "${t[@]}" | sort -n | sed -n 2p
}
sd_hosts() { for h in /sys/class/scsi_host/host*; do grep -qx scsi_debug "$h/proc_name" 2>/dev/null && echo "${h##*/}"; done; }
# sd_active: the active paths of the scsi_debug hosts (their H:C:T:L starts with the host number).
sd_active() {
    local re
    re=$(sd_hosts | sed 's/^host//' | paste -sd'|')
    multipathd show paths raw format '%i %t' | grep -Ec "^($re):.* active"
}
dm_nodes() { multipathd show maps raw format "%d" | sed 's|^|/dev/|'; }
reads() { local d; for d in $(dm_nodes); do sg_vpd -p 0x00 "$d"; done; }
spawns() { local d; for d in $(dm_nodes); do /bin/true "$d"; done; }

# grow LUNS: every scsi_debug host shows LUNS LUNs, and there are four hosts.
grow() {
    local luns=$1 h want
    echo "$luns" >"$SD_DRV/max_luns" || return 1
    for h in $(sd_hosts); do echo "- - -" >"/sys/class/scsi_host/$h/scan"; done
    while (($(sd_hosts | wc -l) < 4)); do echo 1 >"$SD_DRV/add_host" || return 1; done
    want=$((4 * luns))
    poll 1800 eval '(($(sd_active) >= want))' || { WAITED="$(sd_active) active"; return 1; }
    # quiet: no uevent left to handle, and multipathd answers at once (it holds its lock while
    # it adds paths, and morvel would then take its reply for a timeout and run multipath -ll)
    poll 1800 udevadm settle --timeout=60 || { WAITED="the udev queue did not drain"; return 1; }
    poll 600 bash -c 's=$(date +%s); multipathd show maps >/dev/null; (($(date +%s) - s <= 2))' ||
        { WAITED="multipathd stays slow to answer"; return 1; }
}

for luns in ${SCALE_SIZES:-64 256}; do
    say "scale: growing scsi_debug to 4 hosts x $luns LUNs"
    start=$SECONDS
    if ! grow "$luns"; then
        fail "scsi_debug grows to 4 hosts x $luns LUNs" "$((4 * luns)) scsi_debug paths active" "$WAITED"
        break
    fi
    sleep 10 # one quiet checker round
    paths=$(multipathd show paths raw format "%d" | wc -l)
    maps=$(multipathd show maps raw format "%n" | wc -l)
    note "grown in $((SECONDS - start)) s: $paths paths, $maps maps"
    morvel query >/dev/null 2>&1 # the store learns every LUN once
    mark=$(log_mark "$CLI_LOG")
    t_topo=$(median3 multipathd show topology)
    t_reads=$(median3 reads)
    t_spawn=$(median3 spawns)
    t_query=$(median3 morvel query)
    line=$(awk -v p="$paths" -v m="$maps" -v q="$t_query" -v t="$t_topo" -v r="$t_reads" -v s="$t_spawn" 'BEGIN {
        dev = r - s; if (dev < 0) dev = 0
        printf "%d paths, %d maps: morvel query %.3f s; multipathd show topology %.3f s + device reads %.3f s (%.3f s with %d process starts) = %.3f s; ratio %.2f",
            p, m, q, t, dev, r, m, t + dev, q / (t + dev) }')
    # the figure is only the daemon's when no query fell back to multipath -ll
    expect_no_match "at $paths paths every timed query read the topology from multipathd" \
        "reading (the topology|it) with \[multipath -ll" "$(log_since "$CLI_LOG" "$mark")"
    say "scale: $line"
    echo "$line" >>"$RESULT"
    ratio=${line##* }
    expect_eq "at $paths paths morvel query takes at most 1.5 times the topology command and the device reads ($ratio)" \
        yes "$(awk -v r="$ratio" 'BEGIN { print (r <= 1.5) ? "yes" : "no" }')"
done
