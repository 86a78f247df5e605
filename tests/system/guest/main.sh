#!/bin/bash
# The test VM's run (systest.service, systemd as PID 1): installs the product, brings up the
# simulated arrays and multipathd, runs the scenarios named in the job (each within its
# deadline), collects diagnostics and powers the VM off; a failed setup powers it off at once.
# Results go to /systest/out (the host's job directory); times to out/times.
# shellcheck source=/dev/null
source /systest/job.env
GUEST=$SYSTEST_SRC/tests/system/guest
export SYSTEST_OUT=/systest/out SCEN=setup
mkdir -p "$SYSTEST_OUT"
exec >>"$SYSTEST_OUT/setup.log" 2>&1
source "$GUEST/lib.sh"
source "$GUEST/arrays.sh"

power_off() {
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}

say "guest up after $(cut -d' ' -f1 /proc/uptime) s"
echo "guest-up $(cut -d' ' -f1 /proc/uptime)" >>"$SYSTEST_OUT/times"

setup() {
    # (a deliberately broken setup, to see the VM run end at once: SYSTEST_BREAK=setup)
    [[ "${SYSTEST_BREAK:-}" != setup ]] ||
        { fail "the setup runs" "no SYSTEST_BREAK" "deliberately broken by SYSTEST_BREAK=setup"; return 1; }
    # the product, the way an administrator installs it
    if [[ "$SYSTEST_INSTALL" == deb ]]; then
        say "installing /systest/$SYSTEST_PKG"
        run dpkg -i "/systest/$SYSTEST_PKG" ||
            { fail "the package installs" "dpkg -i succeeds" "$(cat "$SYSTEST_OUT/setup.log" | tail -n 20)"; return 1; }
    else
        say "installing the staged build"
        cp -a /systest/stage/. / || return 1
        systemctl daemon-reload
    fi
    command -v morvel >/dev/null && command -v morvel_monitor >/dev/null ||
        { fail "morvel and morvel_monitor are installed" "both in PATH" "$(ls -l /usr/bin/morvel* 2>&1)"; return 1; }

    arrays_up || { fail "the simulated arrays come up" "scsi_debug, LIO iSCSI and NVMe/TCP set up" "$(tail -n 30 "$SYSTEST_OUT/setup.log")"; return 1; }
    say "starting multipathd"
    run systemctl start multipathd.service
    poll 60 multipathd show daemon || { fail "multipathd answers" "multipathd show daemon" "$WAITED"; return 1; }

    # all six LUNs mapped, every path up
    local want=12 have
    poll 120 bash -c "[[ \$(multipathd show paths raw format '%t %T' | grep -c 'active ready') -ge $want ]]"
    have=$(paths_raw)
    SD_WWIDS=$(sd_wwids)
    SD0_WWID=$(sed -n 1p <<<"$SD_WWIDS")
    SD1_WWID=$(sed -n 2p <<<"$SD_WWIDS")
    if [[ -z "$(map_name "$ISCSI_WWID")" || -z "$(map_name "$NVME_WWID")" ||
        -z "$SD0_WWID" || -z "$SD1_WWID" || -z "$(map_name "$SIM_A_WWID")" || -z "$(map_name "$SIM_B_WWID")" ]]; then
        fail "the six LUNs are mapped" "maps for $ISCSI_WWID, $NVME_WWID, $SIM_A_WWID, $SIM_B_WWID and two scsi_debug LUNs" \
            "$(maps_raw; echo; echo "$have")"
        return 1
    fi
    {
        echo "SD0_WWID=$SD0_WWID"
        echo "SD1_WWID=$SD1_WWID"
    } >/run/systest-topology.env
    note "maps:"; maps_raw
    note "paths:"; paths_raw
    run multipath -ll
    return 0
}

start=$SECONDS
if setup; then
    echo "setup $((SECONDS - start))" >>"$SYSTEST_OUT/times"
    say "setup done after $((SECONDS - start)) s"
    pass "setup: product installed, arrays and multipathd up"
    read -r -a deadlines <<<"$SYSTEST_DEADLINES"
    i=0
    for f in $SYSTEST_SCENARIOS; do
        s=$(basename "$f" .sh)
        limit=${deadlines[i]:-420}
        i=$((i + 1))
        say "scenario $s (deadline $limit s)"
        start=$SECONDS
        [[ "$f" == /* ]] || f=$SYSTEST_SRC/tests/system/$f
        timeout -k 10 "$limit" bash "$GUEST/scenario.sh" "$f" >"$SYSTEST_OUT/$s.log" 2>&1
        rc=$?
        took=$((SECONDS - start))
        if ((rc == 124 || rc == 137)); then
            SCEN=$s fail "the scenario ends within its deadline" "at most $limit s" \
                "stopped after $took s; last lines of $s.log:
$(tail -n 15 "$SYSTEST_OUT/$s.log")"
        elif ((rc != 0)); then
            SCEN=$s fail "the scenario runs to its end" "exit status 0" \
                "exit status $rc; last lines of $s.log:
$(tail -n 15 "$SYSTEST_OUT/$s.log")"
        fi
        echo "scenario $s $took $limit $rc" >>"$SYSTEST_OUT/times"
        say "scenario $s: $took s"
    done
else
    say "setup failed after $((SECONDS - start)) s; last lines of setup.log:"
    tail -n 20 "$SYSTEST_OUT/setup.log" | grep -v '^systest: ' | sed 's/^/systest: | /' >/dev/console
fi

# diagnostics for the host
d=$SYSTEST_OUT/diag
mkdir -p "$d"
timeout 20 multipath -ll >"$d/multipath-ll.txt" 2>&1
cp -a /etc/multipath.conf "$d/" 2>/dev/null
cp -a /dumps "$d/" 2>/dev/null
timeout 20 journalctl -b --no-pager >"$d/journal.txt" 2>&1
dmesg >"$d/dmesg.txt"
echo "$SECONDS" >"$SYSTEST_OUT/done"
say "guest done after $(cut -d' ' -f1 /proc/uptime) s"
power_off
