# The simulated Keldor arrays of the test VM, and look-ups of their maps and paths (sourced).
#   - scsi_debug: two LUNs over two SCSI hosts, NAA-3 WWIDs, no by-path links (transport
#     unknown to the product);
#   - LIO iSCSI on loopback: one LUN behind the portals 127.0.0.1:3260 and 127.0.0.2:3260;
#   - NVMe/TCP on loopback: one namespace behind 127.0.0.1:4420 and 127.0.0.2:4420 (the kernel
#     is booted with nvme_core.multipath=N, so dm-multipath owns the namespaces);
#   - the simulated Keldor array: two LUNs of LIO's user backstore served by keldor_array_sim
#     (tests/system/array-sim), exported over iSCSI on 127.0.0.3:3260 and 127.0.0.4:3260. They
#     answer the array's vendor page 0xD0 with their vdisk names. A scenario adds 30 more
#     (sim_bulk_up) and takes them away again (sim_bulk_down);
#   - the simulated Keldor array over NVMe/TCP: two namespaces served by keldor_nvme_sim on
#     127.0.0.5:4420 and 127.0.0.6:4420, with the array's vendor log page 0xC0. Not up at setup:
#     a scenario brings it up (nvsim_up) and takes it away again (nvsim_down).

CFS=/sys/kernel/config
ISCSI_IQN=iqn.2026-01.com.keldor:zrn.sys1
ISCSI_SERIAL=d0c0ffee0123456789abcdef0          # 25 hex digits: the NAA-6 WWID takes them all
ISCSI_WWID=36001405$ISCSI_SERIAL
ISCSI_PORTALS=(127.0.0.1:3260 127.0.0.2:3260)
NVME_NQN=nqn.2026-01.com.keldor:zrn.nvme1
NVME_UUID=4b454c44-4f52-5a52-4e00-00000000000a
NVME_WWID=uuid.$NVME_UUID
NVME_ADDRS=(127.0.0.1 127.0.0.2)

# The simulated array: backstore name, WWID (NAA-6), serial number, vdisk name at start.
SIM_IQN=iqn.2026-01.com.keldor:zrn.sim1
SIM_PORTALS=(127.0.0.3:3260 127.0.0.4:3260)
SIM_STATE=/run/keldor-sim
SIM_A=keldor_a SIM_A_WWID=36000aabbccdd00000000000000000a01 SIM_A_NAME=vd_sales_01
SIM_B=keldor_b SIM_B_WWID=36000aabbccdd00000000000000000a02 SIM_B_NAME=vd_hr_02

# The simulated NVMe array: namespace name, NSID, UUID (its WWID is uuid.<UUID>), vdisk name.
NVSIM_NQN=nqn.2026-01.com.keldor:zrn.nvsim1
NVSIM_STATE=/run/keldor-nvme-sim
NVSIM_ADDRS=(127.0.0.5 127.0.0.6)
NVSIM_A=nv_a NVSIM_A_UUID=4b454c44-4f52-5a52-4e00-0000000000c1 NVSIM_A_NAME=vd_nv_01
NVSIM_B=nv_b NVSIM_B_UUID=4b454c44-4f52-5a52-4e00-0000000000c2 NVSIM_B_NAME=vd_nv_02
NVSIM_A_WWID=uuid.$NVSIM_A_UUID NVSIM_B_WWID=uuid.$NVSIM_B_UUID

_w() { # _w VALUE FILE: writes a configfs attribute, saying which one failed
    printf '%s\n' "$1" >"$2" || { echo "cannot write $1 into $2"; return 1; }
}

# lio_tpg_up TPG PORTAL...: the iSCSI target portal group listens on the portals, open to any
# initiator without authentication, and is enabled (its LUNs are linked in already).
lio_tpg_up() {
    local tpg=$1 p
    shift
    for p in "$@"; do mkdir "$tpg/np/$p" || return 1; done
    _w 0 "$tpg/attrib/authentication" && _w 1 "$tpg/attrib/generate_node_acls" &&
        _w 1 "$tpg/attrib/cache_dynamic_acls" && _w 0 "$tpg/attrib/demo_mode_write_protect" &&
        _w 1 "$tpg/enable"
}

# iscsi_login IQN PORTAL...: the initiator discovers the target over the first portal and logs
# in over each.
iscsi_login() {
    local iqn=$1 p
    shift
    iscsiadm -m discovery -t sendtargets -p "$1" || return 1
    for p in "$@"; do
        iscsiadm -m node -T "$iqn" -p "$p" --login || return 1
    done
}

scsi_debug_up() {
    modprobe scsi_debug add_host=2 num_tgts=1 max_luns=2 vpd_use_hostno=0 \
        inq_vendor=KELDOR inq_product=ZRN dev_size_mb=8
}

iscsi_up() {
    local so=$CFS/target/core/rd_mcp_0/keldor1 tpg=$CFS/target/iscsi/$ISCSI_IQN/tpgt_1
    modprobe target_core_mod && modprobe iscsi_target_mod || return 1
    mkdir -p "$so" || return 1
    _w rd_pages=4096 "$so/control" && _w 1 "$so/enable" || return 1
    _w KELDOR "$so/wwn/vendor_id" && _w ZRN "$so/wwn/product_id" &&
        _w "$ISCSI_SERIAL" "$so/wwn/vpd_unit_serial" || return 1
    mkdir -p "$tpg/lun/lun_0" && ln -s "$so" "$tpg/lun/lun_0/keldor1" || return 1
    lio_tpg_up "$tpg" "${ISCSI_PORTALS[@]}" || return 1
    # the initiator
    modprobe iscsi_tcp || return 1
    systemctl start iscsid.service || return 1
    iscsi_login "$ISCSI_IQN" "${ISCSI_PORTALS[@]}"
}

nvme_up() {
    local sub=$CFS/nvmet/subsystems/$NVME_NQN ns i=1 a img=/run/keldor-nvme.img
    modprobe nvmet && modprobe nvmet_tcp || return 1
    mkdir "$sub" || return 1
    _w 1 "$sub/attr_allow_any_host" && _w KELDORZRN "$sub/attr_model" || return 1
    ns=$sub/namespaces/1
    mkdir "$ns" && truncate -s 16M "$img" || return 1
    # a fixed UUID (nvmet would make up a new one each boot) and no NGUID: the WWID takes the
    # uuid. form
    _w "$img" "$ns/device_path" && _w 1 "$ns/buffered_io" && _w "$NVME_UUID" "$ns/device_uuid" &&
        _w 00000000-0000-0000-0000-000000000000 "$ns/device_nguid" && _w 1 "$ns/enable" || return 1
    for a in "${NVME_ADDRS[@]}"; do
        mkdir "$CFS/nvmet/ports/$i" || return 1
        _w tcp "$CFS/nvmet/ports/$i/addr_trtype" && _w ipv4 "$CFS/nvmet/ports/$i/addr_adrfam" &&
            _w "$a" "$CFS/nvmet/ports/$i/addr_traddr" && _w 4420 "$CFS/nvmet/ports/$i/addr_trsvcid" ||
            return 1
        ln -s "$sub" "$CFS/nvmet/ports/$i/subsystems/$NVME_NQN" || return 1
        i=$((i + 1))
    done
    modprobe nvme_tcp || return 1
    for a in "${NVME_ADDRS[@]}"; do
        nvme connect -t tcp -a "$a" -s 4420 -n "$NVME_NQN" || return 1
    done
}

# sim_serve STATE FIRST_LUN LUN...: a user backstore per LUN ("backstore,wwid,serial,vdisk
# name"), served by a simulator whose switches and counters are in STATE, linked into the
# simulated array's target portal group as LUNs FIRST_LUN, FIRST_LUN + 1, ...
sim_serve() {
    local state=$1 i=$2 hba=$CFS/target/core/user_1 tpg=$CFS/target/iscsi/$SIM_IQN/tpgt_1
    local args=() l n w s v
    shift 2
    [[ -x "${SYSTEST_SIM:-}" ]] || { echo "no simulator program (SYSTEST_SIM=${SYSTEST_SIM:-})"; return 1; }
    modprobe target_core_user || return 1
    for l in "$@"; do
        IFS=, read -r n w s v <<<"$l"
        truncate -s 16M "/run/$n.img" || return 1
        mkdir -p "$hba/$n" || return 1
        _w "dev_config=keldor/$n" "$hba/$n/control" && _w "dev_size=16777216" "$hba/$n/control" &&
            _w 1 "$hba/$n/enable" || return 1
        args+=(--lun "$n,/run/$n.img,$w,$s,$v")
    done
    rm -rf "$state"
    setsid "$SYSTEST_SIM" --state "$state" "${args[@]}" >"$state.log" 2>&1 </dev/null &
    poll 20 test -e "$state/ready" || { cat "$state.log"; return 1; }
    for l in "$@"; do
        n=${l%%,*}
        mkdir -p "$tpg/lun/lun_$i" && ln -s "$hba/$n" "$tpg/lun/lun_$i/$n" || return 1
        i=$((i + 1))
    done
}

sim_up() {
    sim_serve "$SIM_STATE" 0 "$SIM_A,$SIM_A_WWID,KLD0000A01,$SIM_A_NAME" "$SIM_B,$SIM_B_WWID,KLD0000A02,$SIM_B_NAME" &&
        lio_tpg_up "$CFS/target/iscsi/$SIM_IQN/tpgt_1" "${SIM_PORTALS[@]}" && iscsi_login "$SIM_IQN" "${SIM_PORTALS[@]}"
}

# 30 more LUNs of the simulated array (32 in all), served by a second simulator: bulk_NN with
# WWID 36000aabbccdd000000000000000000NN (NN 03 to 32) and vdisk name vd_bulk_NN.
SIM_BULK_STATE=/run/keldor-sim-bulk
SIM_BULK=()
for _n in $(seq -w 3 32); do SIM_BULK+=("bulk_$_n,36000aabbccdd00000000000000000b$_n,KLD0000B$_n,vd_bulk_$_n"); done
unset _n
bulk_wwid() { echo "36000aabbccdd00000000000000000b$1"; }

# sim_bulk_up: the 30 LUNs join the running target as LUNs 2 to 31; the initiator rescans.
sim_bulk_up() {
    sim_serve "$SIM_BULK_STATE" 2 "${SIM_BULK[@]}" && iscsiadm -m session --rescan
}

# sim_bulk_down: their disks leave the initiator (multipathd drops the maps), the LUNs the
# target, and the second simulator stops.
sim_bulk_down() {
    local hba=$CFS/target/core/user_1 tpg=$CFS/target/iscsi/$SIM_IQN/tpgt_1 l n w d i=2
    for l in "${SIM_BULK[@]}"; do
        IFS=, read -r n w _ <<<"$l"
        for d in $(map_paths "$w"); do echo 1 >"/sys/block/$d/device/delete"; done
    done
    poll 120 bash -c "! multipathd show maps raw format '%w' | grep -q '^36000aabbccdd00000000000000000b'"
    for l in "${SIM_BULK[@]}"; do
        n=${l%%,*}
        rm -f "$tpg/lun/lun_$i/$n" && rmdir "$tpg/lun/lun_$i"
        i=$((i + 1))
    done
    [[ -f "$SIM_BULK_STATE/ready" ]] && kill "$(cat "$SIM_BULK_STATE/ready")"
    sleep 1
    for l in "${SIM_BULK[@]}"; do
        n=${l%%,*}
        rmdir "$hba/$n" && rm -f "/run/$n.img"
    done
}

# sim_dir LUN: the folder of the LUN's switches and counters.
sim_dir() { if [[ -d "$SIM_STATE/$1" ]]; then echo "$SIM_STATE/$1"; else echo "$SIM_BULK_STATE/$1"; fi; }

# sim_set LUN SWITCH VALUE: changes a switch of the running simulator (vdisk_name, page_d0,
# latency_ms, hang).
sim_set() {
    local d
    d=$(sim_dir "$1")
    printf '%s\n' "$3" >"$d/$2.new" && mv -f "$d/$2.new" "$d/$2"
}

# sim_count LUN KIND: how many requests of that kind (inquiry_vpd_00, inquiry_vpd_d0, ...) the
# simulated LUN has answered.
sim_count() { awk -v k="$2" '$1 == k { print $2 }' "$(sim_dir "$1")/requests"; }

# nvsim_up: keldor_nvme_sim serves both namespaces (16 MiB files /run/nv_a.img, /run/nv_b.img;
# NGUID the UUID's digits) on both addresses, and the host connects to each: two controllers,
# two paths per namespace.
nvsim_up() {
    local prog=${SYSTEST_SIM%/*}/keldor_nvme_sim a args=() n name nsid uuid vdisk
    [[ -x "$prog" ]] || { echo "no NVMe simulator program ($prog)"; return 1; }
    for n in "$NVSIM_A,1,$NVSIM_A_UUID,$NVSIM_A_NAME" "$NVSIM_B,2,$NVSIM_B_UUID,$NVSIM_B_NAME"; do
        IFS=, read -r name nsid uuid vdisk <<<"$n"
        truncate -s 16M "/run/$name.img" || return 1
        args+=(--ns "$name,$nsid,/run/$name.img,$uuid,${uuid//-/},$vdisk")
    done
    for a in "${NVSIM_ADDRS[@]}"; do args+=(--listen "$a:4420"); done
    rm -rf "$NVSIM_STATE"
    setsid "$prog" --state "$NVSIM_STATE" --nqn "$NVSIM_NQN" "${args[@]}" >"$NVSIM_STATE.log" 2>&1 </dev/null &
    poll 20 test -e "$NVSIM_STATE/ready" || { cat "$NVSIM_STATE.log"; return 1; }
    modprobe nvme_tcp || return 1
    for a in "${NVSIM_ADDRS[@]}"; do
        nvme connect -t tcp -a "$a" -s 4420 -n "$NVSIM_NQN" || return 1
    done
}

# nvsim_down: the host disconnects from the simulated NVMe array and the simulator stops.
nvsim_down() {
    nvme disconnect -n "$NVSIM_NQN"
    [[ -f "$NVSIM_STATE/ready" ]] && kill "$(cat "$NVSIM_STATE/ready")"
    sleep 1
    rm -f "/run/$NVSIM_A.img" "/run/$NVSIM_B.img"
}

# nvsim_set NS SWITCH VALUE: a switch of a namespace (vdisk_name, page_c0, latency_ms, hang), or
# with NS port1 or port2, of a listener (ana_state).
nvsim_set() { printf '%s\n' "$3" >"$NVSIM_STATE/$1/$2.new" && mv -f "$NVSIM_STATE/$1/$2.new" "$NVSIM_STATE/$1/$2"; }

# nvsim_count NS KIND: a namespace's count of requests of that kind (log_c0, reads, ...); with
# NS "." the subsystem's (admin_connects, events, ana_log, ...).
nvsim_count() { awk -v k="$2" '$1 == k { print $2 }' "$NVSIM_STATE/$1/requests"; }

arrays_up() {
    modprobe configfs
    # (systemd may mount it at the same time, on the module's load: then mount fails, but it is there)
    mountpoint -q "$CFS" || mount -t configfs configfs "$CFS" || mountpoint -q "$CFS" || return 1
    ip link set lo up || return 1
    say "arrays: scsi_debug" && scsi_debug_up || { echo "scsi_debug failed"; return 1; }
    say "arrays: LIO iSCSI on 127.0.0.1:3260, 127.0.0.2:3260" && iscsi_up || { echo "iSCSI failed"; return 1; }
    say "arrays: NVMe/TCP on 127.0.0.1:4420, 127.0.0.2:4420" && nvme_up || { echo "NVMe/TCP failed"; return 1; }
    say "arrays: simulated Keldor array (user backstore) on 127.0.0.3:3260, 127.0.0.4:3260" && sim_up ||
        { echo "the simulated array failed"; return 1; }
    udevadm settle --timeout=60
}

# ----------------------------------------------------------------------- look-ups (live state)

# maps_raw: "name wwid dm-N" of every map; paths_raw: "dev wwid dm_state checker dev_state hcil".
maps_raw() { multipathd show maps raw format "%n %w %d"; }
paths_raw() { multipathd show paths raw format "%d %w %t %T %o %i"; }

map_name() { maps_raw | awk -v w="$1" '$2 == w { print $1; exit }'; }
map_dm() { maps_raw | awk -v w="$1" '$2 == w { print $3; exit }'; }
# map_paths WWID: the path devices of the LUN, sorted.
map_paths() { paths_raw | awk -v w="$1" '$2 == w { print $1 }' | sort; }
# path_field DEV N: field N of the path's line in paths_raw (3 dm state, 4 checker, 5 device state)
path_field() { paths_raw | awk -v d="$1" -v n="$2" '$1 == d { print $n; exit }'; }

# iscsi_dev PORTAL: the SCSI disk behind an iSCSI portal, from its by-path link.
iscsi_dev() {
    local l
    l=$(readlink "/dev/disk/by-path/ip-$1-iscsi-$ISCSI_IQN-lun-0") || return 1
    echo "${l##*/}"
}

# nvme_dev ADDRESS: the NVMe namespace reached over the controller at that address.
nvme_dev() {
    local b
    for b in /sys/block/nvme*n*; do
        [[ -e "$b/device/address" ]] || continue
        if grep -q "^traddr=$1," "$b/device/address"; then
            echo "${b##*/}"
            return 0
        fi
    done
    return 1
}

# sd_wwids: the WWIDs of the scsi_debug LUNs (vendor KELDOR without a by-path link), sorted.
sd_wwids() {
    local d
    for d in $(paths_raw | awk '$1 ~ /^sd/ { print $1 }'); do
        ls -l /dev/disk/by-path/ 2>/dev/null | grep -q " $d\$" && continue
        paths_raw | awk -v d="$d" '$1 == d { print $2 }'
    done | sort -u
}

# mpath_ll_line DEV: the path's line in `multipath -ll` (its words after the tree prefix).
mpath_ll_line() {
    multipath -ll 2>/dev/null | sed 's/^[ |`-]*//' | awk -v d="$1" '$2 == d { print; exit }'
}

# map_count_failed WWID N: succeeds when N paths of the LUN are failed in its map.
map_count_failed() {
    local n
    n=$(paths_raw | awk -v w="$1" '$2 == w && $3 == "failed"' | wc -l)
    echo "$n of the paths of $1 are failed"
    [[ "$n" == "$2" ]]
}

# map_count_ready WWID N: succeeds when the LUN has N paths that are active and ready.
map_count_ready() {
    local n
    n=$(paths_raw | awk -v w="$1" '$2 == w && $3 == "active" && $4 == "ready"' | wc -l)
    echo "$n of the paths of $1 are active and ready"
    [[ "$n" == "$2" ]]
}
