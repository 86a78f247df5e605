#!/bin/bash
# The test VM's run (systest.service, systemd as PID 1): installs the product, brings up the
# simulated arrays and multipathd, runs the scenarios named in the job, collects diagnostics
# and powers the VM off. Results go to /systest/out (the host's job directory).
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

setup() {
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

if setup; then
    pass "setup: product installed, arrays and multipathd up"
    for f in $SYSTEST_SCENARIOS; do
        s=$(basename "$f" .sh)
        say "scenario $s"
        start=$SECONDS
        [[ "$f" == /* ]] || f=$SYSTEST_SRC/tests/system/$f
        timeout -k 10 "${SYSTEST_SCENARIO_LIMIT:-420}" \
            bash "$GUEST/scenario.sh" "$f" >"$SYSTEST_OUT/$s.log" 2>&1
        rc=$?
        if ((rc != 0)); then
            SCEN=$s fail "the scenario runs to its end" "exit status 0" \
                "exit status $rc (124: time limit); last lines of $s.log:
$(tail -n 15 "$SYSTEST_OUT/$s.log")"
        fi
        say "scenario $s: $((SECONDS - start)) s"
    done
fi

# diagnostics for the host
d=$SYSTEST_OUT/diag
mkdir -p "$d"
multipath -ll >"$d/multipath-ll.txt" 2>&1
cp -a /etc/multipath.conf "$d/" 2>/dev/null
cp -a /dumps "$d/" 2>/dev/null
journalctl -b --no-pager >"$d/journal.txt" 2>&1
dmesg >"$d/dmesg.txt"
echo "$SECONDS" >"$SYSTEST_OUT/done"
say "guest done after $(cut -d' ' -f1 /proc/uptime) s"
power_off
