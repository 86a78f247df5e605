#!/bin/bash
# Demonstration of morvel on a simulated host attached to a Keldor array: installs the
# dependencies, builds, stages the install and runs the programs as root inside a private,
# throw-away root (tests/sandbox/run-in-sandbox.sh) where multipath, multipathd and systemctl
# are stand-ins that answer like a host with three Keldor LUNs (FC, iSCSI and FC-NVMe).
# Nothing on this machine is changed outside build/.
#
#   ./scripts/demo.sh [--no-build] [SCENE...]      (default: all scenes, in order)
#
# --no-build shows an install that is already staged ($MORVEL_STAGE, default build/stage).
#
# Each scene is a function scene_<name> below; add new ones to SCENES.
SCENES=(commands version query query_one port status setstate alias monitor)

# ============================================================ scenes (run inside the sandbox)
if [[ "${1:-}" == --in-sandbox ]]; then
    shift
    # show TITLE COMMAND [ARGS...]: a headline, the command's output and exit status, and the
    # host commands that it ran.
    show() {
        local title=$1; shift
        printf '\n=== %s\n$ %s\n' "$title" "$*"
        sb_run "$@"
        cat "$SB_CASE/out/stdout" "$SB_CASE/out/stderr"
        printf '(exit status %s)\n' "$(<"$SB_CASE/out/status")"
        if [[ -s "$SB_CASE/out/cmdlog" ]]; then
            sed 's/^/  [host tool called] /' "$SB_CASE/out/cmdlog" | sort | uniq -c |
                sed 's/^ *\([0-9]*\) \(.*\)/\2  (x\1)/'
        fi
    }

    scene_commands() { show "The commands of morvel" morvel -list_command; }
    scene_version() { show "Program identity" morvel version; }
    scene_query() { show "Topology report: every LUN of the Keldor array" morvel query; }
    scene_query_one() { show "Topology report of one LUN" morvel query mpatha; }
    scene_port() { show "Fibre Channel ports of the host" morvel port; }
    scene_status() { show "State of the multipath service" morvel status; }

    scene_setstate() {
        show "Take the FC path sdc of mpatha offline" \
            morvel setstate -path_alias mpatha -device_name sdc -state offline
        echo "  /sys/block/sdc/device/state now holds: $(cat /sys/block/sdc/device/state)"
        show "The same again: the path is already offline" \
            morvel setstate -path_alias mpatha -device_name sdc -state offline
        show "And back online" morvel setstate -path_alias mpatha -device_name sdc -state online
        echo "  /sys/block/sdc/device/state now holds: $(cat /sys/block/sdc/device/state)"
    }

    scene_alias() {
        show "Bind a fixed name to the WWID of the iSCSI LUN" \
            morvel setalias -wwid 36000aabbccdd0000000000000000002b -alias vmstore
        show "List the bindings" morvel lsalias
        show "Remove it again" morvel delalias -wwid 36000aabbccdd0000000000000000002b
    }

    # morvel_monitor in the background, its clock running ten times faster (libfaketime), so
    # that its 10-second cycle takes one second; a path fails and comes back under it.
    scene_monitor() {
        local topo n faketime=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
        printf '\n=== The monitor daemon notices topology changes\n'
        queries() { cat "$SB_CASE"/out/bg.*.cmdlog 2>/dev/null | grep -c '^multipath -ll$'; }
        enough() { (($(queries) >= $1)); }
        cycles() { sb_wait_until 60 enough $(($(queries) + $1)); }
        topo=/run/demo-topology
        echo "\$ morvel_monitor &        (clock x10: one cycle a second)"
        n=$(sb_bg env LD_PRELOAD=$faketime FAKETIME="+0 x10" morvel_monitor)
        cycles 2
        echo "--- FC path sdb of mpatha fails; the iSCSI LUN mpathb is unmapped"
        sed -e 's/1:0:0:1 sdb 8:16  active ready running/1:0:0:1 sdb 8:16  failed faulty offline/' \
            -e '/^mpathb/,/4:0:0:0 sdg/d' "$topo" | sb_fake multipath -ll
        cycles 2
        echo "--- sdb is back; mpathb is mapped again"
        sb_fake multipath -ll <"$topo"
        cycles 2
        sb_bg_stop "$n"
        echo "\$ cat /dumps/morvel_monitor.log"
        cat /dumps/morvel_monitor.log
        echo "\$ cat /dumps/data.morvel        (the last cycle's records, kept across restarts)"
        cat /dumps/data.morvel
    }

    for s in "$@"; do
        if declare -F "scene_$s" >/dev/null; then "scene_$s"; else echo "no scene '$s'"; fi
    done
    return 0 2>/dev/null || exit 0
fi

# ============================================================ host side
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
if [[ $(id -u) != 0 ]]; then
    exec sudo "$0" "$@"
fi
build=1
if [[ "${1:-}" == --no-build ]]; then build=0; shift; fi
[[ $# -gt 0 ]] && SCENES=("$@")

# ------------------------------------------------------------ first: the real multipath stack
# scripts/demo-vm.sh shows morvel in a QEMU VM with real multipath-tools and simulated arrays;
# the sandbox demonstration below runs only when that is not possible here.
if [[ $# -eq 0 ]]; then
    vm_rc=0
    if ((build)); then ./scripts/demo-vm.sh || vm_rc=$?; else ./scripts/demo-vm.sh --no-build || vm_rc=$?; fi
    ((vm_rc == 0)) && exit 0
    if ((vm_rc == 77)); then
        echo "==== QEMU cannot run here (reason above): showing the sandbox demonstration instead"
    else
        echo "==== the VM demonstration failed (status $vm_rc, see above): showing the sandbox demonstration instead"
    fi
fi
# ------------------------------------------------------------ end of the VM demonstration

if [[ $build == 1 ]]; then
    echo "==== installing dependencies"
    ./scripts/setup-deps.sh
    echo "==== building morvel and morvel_monitor in build/"
    cmake -S "$src" -B "$src/build" >/dev/null
    cmake --build "$src/build" -j2 --target morvel morvel_monitor
    # the simulated host runs what a release hands out: the .deb's static programs and files
    echo "==== building the packages (scripts/release.sh) into build/packages/"
    ./scripts/release.sh --build-dir "$src/build" --no-deps
    rm -rf "$src/build/demo-stage"
    dpkg-deb -x "$(ls "$src"/build/packages/morvel_*.deb)" "$src/build/demo-stage"
    MORVEL_STAGE="$src/build/demo-stage"
fi
export MORVEL_STAGE="${MORVEL_STAGE:-$src/build/stage}" MORVEL_SRC="$src" SB_TEST_DIR="$src/tests/integration"

# shellcheck source=../tests/integration/lib/sandbox.bash
source "$src/tests/integration/lib/sandbox.bash"
sb_new >/dev/null
trap 'rm -rf "$SB_CASE"' EXIT

# ------------------------------------------------------------ the simulated host
host_topology() {
    # multipath-tools prints the NVMe model padded to 40 characters
    local nvme_pad topo
    nvme_pad=$(printf '%31s' '')
    topo="mpatha (36000aabbccdd0000000000000000001a) dm-2 KELDOR,ZRN
size=200G features='1 queue_if_no_path' hwhandler='1 alua' wp=rw
|-+- policy='service-time 0' prio=50 status=active
| |- 1:0:0:1 sdb 8:16  active ready running
| \`- 2:0:0:1 sdd 8:48  active ready running
\`-+- policy='service-time 0' prio=10 status=enabled
  |- 1:0:1:1 sdc 8:32  active ready running
  \`- 2:0:1:1 sde 8:64  failed faulty offline
mpathb (36000aabbccdd0000000000000000002b) dm-3 KELDOR,ZRN
size=500G features='1 queue_if_no_path' hwhandler='1 alua' wp=rw
\`-+- policy='service-time 0' prio=50 status=active
  |- 3:0:0:0 sdf 8:80  active ready running
  \`- 4:0:0:0 sdg 8:96  active ready running
mpathc (eui.00aabbccddee00000000000000000c3c) dm-4 NVME,KELDORZRN$nvme_pad
size=50G features='0' hwhandler='0' wp=rw
\`-+- policy='service-time 0' prio=50 status=active
  |- 0:1:1:1 nvme0n1 259:0 active ready running
  \`- 1:2:1:1 nvme1n1 259:1 active ready running
36005076801810523100000000000001f dm-5 OTHER,DISK
size=10G features='0' hwhandler='0' wp=rw
\`-+- policy='service-time 0' prio=1 status=active
  \`- 5:0:0:0 sdh 8:112 active ready running
"
    printf '%s' "$topo" | sb_fake multipath -ll
    printf '%s' "$topo" | sb_put /run/demo-topology
    printf '%s' "$topo" | sed -n '1,8p' | sb_fake multipath -ll mpatha
    printf '%s' "$topo" | sed -n '1,8p' | sb_fake multipath -ll 36000aabbccdd0000000000000000001a
    printf '%s' "$topo" | sed -n '9,13p' | sb_fake multipath -ll mpathb
    printf '%s' "$topo" | sed -n '14,18p' | sb_fake multipath -ll mpathc
}

host_paths() {
    local d
    # by-path links: two FC HBA ports to two array ports, two iSCSI portals
    sb_link /dev/disk/by-path/pci-0000:5e:00.0-fc-0x2200aabbccdd0001-lun-1 ../../sdb
    sb_link /dev/disk/by-path/pci-0000:5e:00.0-fc-0x2200aabbccdd0002-lun-1 ../../sdc
    sb_link /dev/disk/by-path/pci-0000:5e:00.1-fc-0x2300aabbccdd0001-lun-1 ../../sdd
    sb_link /dev/disk/by-path/pci-0000:5e:00.1-fc-0x2300aabbccdd0002-lun-1 ../../sde
    sb_link /dev/disk/by-path/ip-192.168.10.20:3260-iscsi-iqn.2026-01.com.keldor:zrn.a1-lun-0 ../../sdf
    sb_link /dev/disk/by-path/ip-192.168.10.21:3260-iscsi-iqn.2026-01.com.keldor:zrn.a1-lun-0 ../../sdg
    sb_link /dev/disk/by-path/pci-0000:00:17.0-ata-1 ../../sdh
    for d in sdb sdc sdd sdf sdg sdh; do sb_put /sys/block/$d/device/state running; done
    sb_put /sys/block/sde/device/state offline
    # FC-NVMe controllers
    sb_put /sys/block/nvme0n1/device/address \
        "traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0002,host_traddr=nn-0x20000090fa000001:pn-0x10000090fa000001"
    sb_put /sys/block/nvme1n1/device/address \
        "traddr=nn-0x2000aabbccdd0001:pn-0x2100aabbccdd0003,host_traddr=nn-0x20000090fa000002:pn-0x10000090fa000002"
}

host_fc_ports() {
    local h r wwpn
    for h in 1 2; do
        wwpn=0x10000090fa00000$h
        sb_put /sys/class/fc_host/host$h/port_name "$wwpn"
        sb_put /sys/class/fc_host/host$h/node_name "0x20000090fa00000$h"
        sb_put /sys/class/fc_host/host$h/port_state Online
        sb_put /sys/class/fc_host/host$h/port_type "NPort (fabric via point-to-point)"
        sb_put /sys/class/fc_host/host$h/speed "32 Gbit"
        sb_put /sys/class/fc_host/host$h/supported_speeds "8 Gbit, 16 Gbit, 32 Gbit"
        sb_put /sys/class/fc_host/host$h/fabric_name "0x100000051e00000$h"
        sb_put /sys/class/fc_host/host$h/symbolic_name "QLE2772 FW:v9.08.02 DVR:v10.02.08.200-k"
        sb_put /sys/class/fc_host/host$h/port_id "0x01${h}100"
        for r in 0 1; do
            sb_put /sys/class/fc_remote_ports/rport-$h:0-$r/port_name "0x2$((h + 1))00aabbccdd000$((r + 1))"
            sb_put /sys/class/fc_remote_ports/rport-$h:0-$r/node_name "0x2000aabbccdd0001"
            sb_put /sys/class/fc_remote_ports/rport-$h:0-$r/port_id "0x02${h}${r}00"
            sb_put /sys/class/fc_remote_ports/rport-$h:0-$r/port_state Online
            sb_put /sys/class/fc_remote_ports/rport-$h:0-$r/roles "FCP Target"
        done
    done
}

host_service() {
    sb_fake systemctl status multipathd.service \
        --out-file "$src/tests/fixtures/mpath/systemctl-status-multipathd-running.out"
    sb_fake multipathd fail path --out ok
    sb_fake multipathd reinstate path --out ok
}

host_store() {
    # names the array gave the LUNs when they could last be asked in band
    sb_put /dumps/storage_config.json < <(printf '%s' '{
	"disk":	[{
			"wwid":	"36000aabbccdd0000000000000000001a",
			"vdisk_name":	"ora_data_01"
		}, {
			"wwid":	"36000aabbccdd0000000000000000002b",
			"vdisk_name":	"vm_store_02"
		}, {
			"wwid":	"eui.00aabbccddee00000000000000000c3c",
			"vdisk_name":	"nvme_log_03"
		}]
}')
    sb_setup 'chmod 0700 /dumps; chmod 0600 /dumps/storage_config.json'
}

host_topology
host_paths
host_fc_ports
host_service
host_store

echo "==== simulated host: 3 Keldor LUNs (FC x4 paths, iSCSI x2, FC-NVMe x2) and one other disk"
sb_script <<EOF
source "$src/scripts/demo.sh" --in-sandbox ${SCENES[*]}
EOF
