# Native NVMe multipathing: nvme_core is reloaded with multipath=Y (no NVMe PCI device exists in
# the guest) and the NVMe/TCP namespace reconnects over both ports; dm-multipath then never sees
# it. query, query <nvmeXnY> and query <WWID> show it with both paths, the monitor logs a port's
# ANA state and a port that drops every packet, and the commands that need a map refuse. Real
# captures (sysfs, nvme list-subsys, the foreign multipath -ll) go to the captures folder. The
# simulated array (keldor_nvme_sim) answers page 0xC0 through the head devices. At the
# end nvme_core is reloaded with multipath=N and dm-multipath owns the namespace again.

# deadline: 600

CAP=$SYSTEST_OUT/captures/nvme-native
mkdir -p "$CAP"
ANA_B=/sys/kernel/config/nvmet/ports/2/ana_groups/1/ana_state # the port of 127.0.0.2
conf_saved=/run/systest-13-multipath.conf
cp /etc/multipath.conf "$conf_saved"

nvme_disconnect_all() {
    local c
    for c in /sys/class/nvme/nvme*; do
        [[ -e "$c" ]] && echo 1 >"$c/delete_controller" 2>/dev/null
    done
    poll 30 bash -c '! ls /sys/class/nvme/ 2>/dev/null | grep -q .'
}

# nvme_reload Y|N: all controllers gone, nvme_core loaded anew with multipath=Y or N, both ports
# connected again.
nvme_reload() {
    local a
    nvme_disconnect_all
    # dm-multipath lets go of the namespace's map once its paths are gone
    poll 30 bash -c "! multipathd show maps raw format '%w' | grep -q '^$NVME_WWID\$'"
    run modprobe -r nvme_tcp nvme_fabrics nvme nvme_core
    run modprobe nvme_core multipath="$1" || return 1
    run modprobe nvme_tcp || return 1
    for a in "${NVME_ADDRS[@]}"; do
        run nvme connect -t tcp -a "$a" -s 4420 -n "$NVME_NQN" || return 1
    done
    udevadm settle --timeout=30
}

cleanup() {
    tc qdisc del dev lo root 2>/dev/null
    echo optimized >"$ANA_B" 2>/dev/null
    cp "$conf_saved" /etc/multipath.conf
    if [[ $(cat /sys/module/nvme_core/parameters/multipath 2>/dev/null) == Y ]]; then
        nvme_reload N >/dev/null 2>&1
        poll 60 map_count_ready "$NVME_WWID" 2
    fi
}
trap cleanup EXIT

# native_head [WWID]: the head device nvmeXnY of the namespace (by its WWID in sysfs).
native_head() {
    local h
    for h in /sys/class/nvme-subsystem/nvme-subsys*/nvme*n*; do
        [[ -f "$h/wwid" && $(cat "$h/wwid") == "${1:-$NVME_WWID}" ]] && { echo "${h##*/}"; return 0; }
    done
    return 1
}
# native_path ADDRESS: the path device nvmeXcYnZ over the controller at that address.
native_path() {
    local p
    for p in /sys/class/nvme/nvme*/nvme*c*n*; do
        grep -q "^traddr=$1," "${p%/*}/address" 2>/dev/null && { echo "${p##*/}"; return 0; }
    done
    return 1
}
native_field() { cat "/sys/block/$1/$2" 2>/dev/null; }
native_ctrl_state() { cat "/sys/block/$1/device/state" 2>/dev/null; }

# capture_sysfs DEST: the attributes morvel reads (and a few beside them) of every subsystem in
# /sys/class/nvme-subsystem, its controllers with their path devices and its namespace heads, as
# a tree of plain files under DEST/sys
capture_sysfs() {
    local f
    for f in /sys/class/nvme-subsystem/*/{,nvme*/,nvme*/nvme*/}{model,iopolicy,subsysnqn,serial,firmware_rev,subsystype,address,transport,state,dev,cntlid,kato,ctrl_loss_tmo,reconnect_delay,ana_state,ana_grpid,nsid,wwid,uuid,size,hidden}; do
        [[ -f "$f" ]] || continue
        mkdir -p "$1${f%/*}" && cat "$f" >"$1$f"
    done
}
# foreign on|off: multipath-tools lists native namespaces too (enable_foreign "nvme"), or not
# (the default since 0.8.7)
foreign() {
    cp "$conf_saved" /etc/multipath.conf
    [[ $1 == on ]] && sed -i '0,/^defaults {/s//defaults {\n    enable_foreign "nvme"/' /etc/multipath.conf
    return 0
}
# capture NAME: sysfs, nvme list-subsys and the foreign multipath -ll of the moment.
capture() {
    local c=$CAP/$1
    rm -rf "$c"
    mkdir -p "$c"
    capture_sysfs "$c"
    nvme list-subsys -o json >"$c/nvme-list-subsys.json" 2>&1
    foreign on
    multipath -ll >"$c/multipath-ll-foreign.out" 2>&1
    foreign off
    multipath -ll >"$c/multipath-ll.out" 2>&1
}

# mon_lines MARK: the monitor-log lines since MARK, without their timestamps
mon_lines() { log_since "$MON_LOG" "$1" | sed 's/^\[[^]]*\] //'; }
# logged MARK LINE...: every LINE is among the monitor's lines since MARK
logged() {
    local l lines
    lines=$(mon_lines "$1")
    shift
    for l in "$@"; do grep -qxF -- "$l" <<<"$lines" || { echo "missing: $l"; echo "$lines"; return 1; }; done
}
changed() { echo "The $1 is changed from [$2] to [$3] for the path [ dev_name: $4 ]."; }
created() {
    echo "The path is created, the properties are [ path_alias: $HEAD, wwid: $NVME_WWID, dev_name: $1, path_status: $2, path_group_status: $3, morvel_status:$4 ]."
}
# row REPORT PATH: the path's row of a query report, blanks squeezed
row() { awk -v p="$2" '$2 == p' <<<"$1" | tr -s ' ' | sed 's/ $//'; }

mon_was=$(systemctl is-active morvel_monitor.service)
run systemctl start morvel_monitor.service
poll 60 map_count_ready "$NVME_WWID" 2
sleep 12
mark=$(log_mark "$MON_LOG")

say "nvme_core reloaded with multipath=Y, both ports connected again"
nvme_reload Y
expect_eq "nvme_core runs with native multipathing" "Y" "$(cat /sys/module/nvme_core/parameters/multipath)"
wait_for "the namespace has a head device" 30 native_head
HEAD=$(native_head)
P_A=$(native_path 127.0.0.1)
P_B=$(native_path 127.0.0.2)
note "head $HEAD, paths $P_A (127.0.0.1) and $P_B (127.0.0.2)"
wait_for "dm-multipath has no map of the namespace" 30 \
    bash -c "! multipathd show maps raw format '%w' | grep -q '^$NVME_WWID\$'"
wait_for "both paths optimized and live" 30 bash -c \
    "[[ \$(cat /sys/block/$P_A/ana_state /sys/block/$P_B/ana_state /sys/block/$P_A/device/state /sys/block/$P_B/device/state | tr '\n' ' ') == 'optimized optimized live live ' ]]"
wait_for "the monitor logs both native paths as created" 40 logged "$mark" \
    "$(created "$P_A" ready optimized live)" "$(created "$P_B" ready optimized live)"
capture optimized

say "query lists the namespace once, by head device and WWID too, with or without the foreign library"
mark=$(log_mark "$CLI_LOG")
expect_mor "query succeeds" 0 query
all=$OUT
LOG=$(log_since "$CLI_LOG" "$mark")
B=$(block "$all" "$HEAD")
expect_eq "the namespace is listed once" 1 "$(grep -c "^wwid: $NVME_WWID\$" <<<"$all")"
expect_eq "its head device, WWID, no map, vendor, product, size and transport" \
    "path_alias: $HEAD|wwid: $NVME_WWID|device_number: |vendor: NVME|product_type: KELDORZRN|lun_size: 16M|host_interface: fc-nvme" \
    "$(sed -n '1,/^host_interface/p' <<<"$B" | grep -v '^vdisk_name: ' | paste -sd'|')"
expect_match "its row: controller, ANA priority and state, kernel state, target port" \
    "^[0-9]+:[0-9]+ $P_A 0:[0-9]+:1 numa 50 optimized active live 127.0.0.1:4420$" "$(row "$B" "$P_A")"
expect_match "the path over 127.0.0.2" \
    "^[0-9]+:[0-9]+ $P_B 0:[0-9]+:1 numa 50 optimized active live 127.0.0.2:4420$" "$(row "$B" "$P_B")"
expect_match "the vdisk name is asked for through the head device (nvmet has no page 0xC0)" \
    "Get FC-NVMe C0 Page failed" "$LOG"
expect_no_match "the head device opened" "Open fc-nvme device failed" "$LOG"
expect_mor "query by head device" 0 query "$HEAD"
expect_eq "shows the same block" "$B" "$(block "$OUT" "$HEAD")"
expect_mor "query by WWID" 0 query "$NVME_WWID"
expect_eq "shows the same block" "$B" "$(block "$OUT" "$HEAD")"
foreign on
run multipath -ll "$NVME_WWID"
expect_mor "query with enable_foreign \"nvme\"" 0 query
expect_eq "the same report" "$all" "$OUT"
foreign off

say "the simulated NVMe array under native multipathing: vdisk names read in band"
if run nvsim_up; then
    wait_for "its namespaces have head devices" 60 bash -c \
        "ls /sys/class/nvme-subsystem/*/nvme*n*/wwid | xargs cat | grep -c '^uuid.4b454c44-4f52-5a52-4e00-0000000000c[12]\$' | grep -qx 2"
    HA=$(native_head "$NVSIM_A_WWID") HB=$(native_head "$NVSIM_B_WWID")
    note "heads $HA ($NVSIM_A_WWID), $HB ($NVSIM_B_WWID)"
    c0=$(nvsim_count "$NVSIM_A" log_c0)
    query_name "query $HA reads its name through the head device" "$HA" "$NVSIM_A_NAME"
    expect_eq "with both paths" 2 "$(block "$OUT" "$HA" | grep -c " nvme[0-9]*c[0-9]*n[0-9]* ")"
    expect_eq "the array answered page 0xC0" yes "$( (($(nvsim_count "$NVSIM_A" log_c0) > c0)) && echo yes || echo no)"
    query_name "query by WWID" "$NVSIM_B_WWID" "$NVSIM_B_NAME"
    nvsim_set "$NVSIM_A" vdisk_name vd_nv_renamed
    expect_mor "query of all LUNs" 0 query
    expect_match "shows the rename on the array" "^vdisk_name: vd_nv_renamed\$" "$(block "$OUT" "$HA")"
    expect_match "and the other namespace's name" "^vdisk_name: $NVSIM_B_NAME\$" "$(block "$OUT" "$HB")"
    nvsim_set "$NVSIM_A" vdisk_name "$NVSIM_A_NAME"
    run nvsim_down
    wait_for "its heads are gone" 30 bash -c "! grep -qs c[12]\$ /sys/class/nvme-subsystem/*/nvme*n*/wwid"
else
    fail "the simulated NVMe array comes up" "nvsim_up succeeds" "$(cat "$NVSIM_STATE.log" 2>&1)"
fi

say "the commands that need a map refuse the namespace"
expect_mor "setstate refuses" 1 setstate -path_alias "$HEAD" -device_name "$P_B" -state offline
expect_match "it says why" "^Error\(0139\): The nvme device \[$HEAD\] is served by native NVMe multipathing, which has no per-path offline state\.$" "$OUT"
expect_mor "delete refuses" 1 delete "$HEAD"
expect_match "it says why" "^Error\(0139\): .*\[$HEAD\].*which has no map to flush\.$" "$OUT"
expect_mor "setalias refuses" 1 setalias -wwid "$NVME_WWID" -alias nvnative
expect_match "it says why" "^Error\(0139\): .*\[$NVME_WWID\].*which has no alias binding\.$" "$OUT"
expect_mor "delalias refuses" 1 delalias -wwid "$NVME_WWID"
expect_match "it says why" "which has no alias binding\.$" "$OUT"
expect_eq "both paths still there" 2 "$(ls -d /sys/class/nvme/nvme*/nvme*c*n* 2>/dev/null | wc -l)"
expect_mor "config still writes the device blocks" 0 config
expect_match "its note says that morvel reads native namespaces directly" \
    "^note: native NVMe multipathing is on .*morvel reads the native NVMe namespaces directly" "$OUT"
cp "$conf_saved" /etc/multipath.conf
run multipathd reconfigure

say "the port of 127.0.0.2 inaccessible"
mark=$(log_mark "$MON_LOG")
echo inaccessible >"$ANA_B"
wait_for "the host sees the path inaccessible" 30 bash -c "[[ \$(cat /sys/block/$P_B/ana_state) == inaccessible ]]"
wait_for "the monitor logs its ANA state" 40 logged "$mark" \
    "$(changed "path status" ready ghost "$P_B")" "$(changed "group status" optimized inaccessible "$P_B")"
expect_mor "query shows it" 0 query "$HEAD"
expect_match "the path inaccessible and not used" \
    "^[0-9]+:[0-9]+ $P_B 0:[0-9]+:1 numa 0 inaccessible failed live 127.0.0.2:4420$" "$(row "$OUT" "$P_B")"
capture inaccessible
mark=$(log_mark "$MON_LOG")
echo optimized >"$ANA_B"
wait_for "and its recovery" 40 logged "$mark" \
    "$(changed "path status" ghost ready "$P_B")" "$(changed "group status" inaccessible optimized "$P_B")"

say "the port of 127.0.0.2 drops every packet"
mark=$(log_mark "$MON_LOG")
run tc qdisc add dev lo root handle 1: prio
run tc filter add dev lo parent 1: protocol ip prio 1 u32 \
    match ip dst 127.0.0.2/32 match ip dport 4420 0xffff action drop
wait_for "the controller of 127.0.0.2 is no longer live" 60 bash -c "[[ \$(cat /sys/block/$P_B/device/state) != live ]]"
ctrl_lost() {
    logged "$1" "$(changed "path status" ready faulty "$P_B")" >/dev/null &&
        mon_lines "$1" | grep -q "^The morvel status is changed from \[live\] to \[[a-z]*\] for the path \[ dev_name: $P_B \]\.$"
}
wait_for "the monitor logs the controller's state" 60 ctrl_lost "$mark"
note "$(mon_lines "$mark")"
expect_mor "query succeeds while the port drops packets" 0 query
expect_match "the path failed, its controller not live" \
    "^[0-9]+:[0-9]+ $P_B 0:[0-9]+:1 numa 50 optimized failed [a-z]+ 127.0.0.2:4420$" "$(row "$(block "$OUT" "$HEAD")" "$P_B")"
capture dropping
mark=$(log_mark "$MON_LOG")
run tc qdisc del dev lo root
wait_for "the controller of 127.0.0.2 is live again" 90 bash -c "[[ \$(cat /sys/block/$P_B/device/state) == live ]]"
ctrl_back() {
    logged "$1" "$(changed "path status" faulty ready "$P_B")" >/dev/null &&
        mon_lines "$1" | grep -q "^The morvel status is changed from \[[a-z]*\] to \[live\] for the path \[ dev_name: $P_B \]\.$"
}
wait_for "the monitor logs its recovery" 60 ctrl_back "$mark"
note "$(mon_lines "$mark")"

say "a snapshot of a version that did not read native namespaces: they are created, once"
run systemctl stop morvel_monitor.service
grep -v ",$NVME_WWID," /dumps/data.morvel >/dumps/data.morvel.old && mv /dumps/data.morvel.old /dumps/data.morvel
mark=$(log_mark "$MON_LOG")
run systemctl start morvel_monitor.service
wait_for "the first cycle reports the namespace and its paths as created" 40 logged "$mark" \
    "The lun is created, the properties are [ path_alias: $HEAD, wwid: $NVME_WWID ]." \
    "$(created "$P_A" ready optimized live)" "$(created "$P_B" ready optimized live)"
sleep 22
expect_eq "and nothing more" 3 "$(mon_lines "$mark" | grep -c .)"
[[ $mon_was == active ]] || run systemctl stop morvel_monitor.service

say "nvme_core reloaded with multipath=N: dm-multipath owns the namespace again"
nvme_reload N
wait_for "its map has both paths" 60 map_count_ready "$NVME_WWID" 2
