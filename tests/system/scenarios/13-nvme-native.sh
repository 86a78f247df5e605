# Native NVMe multipathing: nvme_core is reloaded with multipath=Y (no NVMe PCI device exists in
# the guest) and the NVMe/TCP namespace reconnects over both ports; dm-multipath then never sees
# it. query, query <nvmeXnY> and query <WWID> show it with both paths, the monitor logs a port's
# ANA state and a port that drops every packet, and the commands that need a map refuse. Real
# captures (sysfs, nvme list-subsys, the foreign multipath -ll) go to the captures folder. At the
# end nvme_core is reloaded with multipath=N and dm-multipath owns the namespace again.

# deadline: 600

CAP=$SYSTEST_OUT/captures/nvme-native
mkdir -p "$CAP"
ANA_B=/sys/kernel/config/nvmet/ports/2/ana_groups/1/ana_state # the port of 127.0.0.2
conf_saved=$(mktemp)
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

# native_head: the head device nvmeXnY of the namespace (its WWID in sysfs).
native_head() {
    local h
    for h in /sys/class/nvme-subsystem/nvme-subsys*/nvme*n*; do
        [[ -f "$h/wwid" && $(cat "$h/wwid") == "$NVME_WWID" ]] && { echo "${h##*/}"; return 0; }
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

# copy_attrs SRC DEST: the readable attribute files of one sysfs folder (no writer-only ones).
copy_attrs() {
    local f n
    mkdir -p "$2"
    for f in "$1"/*; do
        n=${f##*/}
        [[ -f "$f" && ! -L "$f" ]] || continue
        case $n in delete* | reset* | rescan* | uevent) continue ;; esac
        cat "$f" >"$2/$n" 2>/dev/null || rm -f "$2/$n"
    done
}
# capture_sysfs DEST: the native NVMe part of sysfs as a folder tree under DEST/sys: every
# subsystem of /sys/class/nvme-subsystem with its attributes, its controllers (with their path
# devices) and its namespace heads (with the names of their paths under multipath/).
capture_sysfs() {
    local s e p d
    for s in /sys/class/nvme-subsystem/*; do
        d=$1/sys/class/nvme-subsystem/${s##*/}
        copy_attrs "$s" "$d"
        for e in "$s"/nvme*; do
            [[ -d "$e" ]] || continue
            copy_attrs "$e" "$d/${e##*/}"
            for p in "$e"/nvme*c*n* "$e"/multipath/*; do
                [[ -e "$p" ]] || continue
                if [[ $p == */multipath/* ]]; then
                    mkdir -p "$d/${e##*/}/multipath" && : >"$d/${e##*/}/multipath/${p##*/}"
                else
                    copy_attrs "$p" "$d/${e##*/}/${p##*/}"
                fi
            done
        done
    done
}
# capture NAME: sysfs, nvme list-subsys and the foreign multipath -ll of the moment.
capture() {
    local c=$CAP/$1
    rm -rf "$c"
    mkdir -p "$c"
    capture_sysfs "$c"
    nvme list-subsys -o json >"$c/nvme-list-subsys.json" 2>&1
    cp /etc/multipath.conf "$c/multipath.conf.saved"
    { cat "$conf_saved"; printf 'defaults {\n    enable_foreign "nvme"\n}\n'; } >/etc/multipath.conf
    multipath -ll >"$c/multipath-ll-foreign.out" 2>&1
    cp "$conf_saved" /etc/multipath.conf
    multipath -ll >"$c/multipath-ll.out" 2>&1
    rm -f "$c/multipath.conf.saved"
    (cd "$c" && find sys -type f | sort | while read -r f; do printf '%s: %s\n' "$f" "$(head -c 200 "$f")"; done) \
        >"$c/listing.txt"
}

say "nvme_core reloaded with multipath=Y, both ports connected again"
nvme_reload Y
expect_eq "nvme_core runs with native multipathing" "Y" "$(cat /sys/module/nvme_core/parameters/multipath)"
wait_for "the namespace has a head device" 30 native_head
HEAD=$(native_head)
P_A=$(native_path 127.0.0.1)
P_B=$(native_path 127.0.0.2)
run ls -l /sys/class/nvme-subsystem/*/ /sys/class/nvme/*/ "/sys/block/$HEAD/" "/sys/block/$P_A/"
wait_for "dm-multipath has no map of the namespace" 30 \
    bash -c "! multipathd show maps raw format '%w' | grep -q '^$NVME_WWID\$'"
wait_for "both paths optimized and live" 30 bash -c \
    "[[ \$(cat /sys/block/$P_A/ana_state /sys/block/$P_B/ana_state /sys/block/$P_A/device/state /sys/block/$P_B/device/state | tr '\n' ' ') == 'optimized optimized live live ' ]]"
capture optimized

say "the port of 127.0.0.2 inaccessible"
echo inaccessible >"$ANA_B"
wait_for "the host sees the path inaccessible" 30 bash -c "[[ \$(cat /sys/block/$P_B/ana_state) == inaccessible ]]"
capture inaccessible
echo optimized >"$ANA_B"
wait_for "the host sees the path optimized again" 30 bash -c "[[ \$(cat /sys/block/$P_B/ana_state) == optimized ]]"

say "the port of 127.0.0.2 drops every packet"
run tc qdisc add dev lo root handle 1: prio
run tc filter add dev lo parent 1: protocol ip prio 1 u32 \
    match ip dst 127.0.0.2/32 match ip dport 4420 0xffff action drop
wait_for "the controller of 127.0.0.2 is no longer live" 60 bash -c "[[ \$(cat /sys/block/$P_B/device/state) != live ]]"
capture dropping
run tc qdisc del dev lo root
wait_for "the controller of 127.0.0.2 is live again" 90 bash -c "[[ \$(cat /sys/block/$P_B/device/state) == live ]]"
