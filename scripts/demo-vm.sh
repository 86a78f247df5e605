#!/bin/bash
# Demonstration of morvel on a real Linux multipath stack: boots a QEMU VM (Debian's stock
# kernel over this machine's own root, read-only, with a throw-away overlay), installs the
# freshly built morvel in it, brings up simulated Keldor arrays (scsi_debug, LIO iSCSI and
# NVMe/TCP on loopback), shows "morvel query", fails an iSCSI path, shows the monitor's log
# lines and the query again, restores the path and prints a summary. About 2 minutes.
# Nothing on this machine is changed outside build/.
#
#   ./scripts/demo-vm.sh [--no-build]
#
# Exit status 0 after the demonstration, 77 when no VM can be booted here (the reason is
# printed), 1 on any other failure.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
src=$(pwd)
if [[ $(id -u) != 0 ]]; then
    exec sudo "$0" "$@"
fi
build=1
[[ "${1:-}" == --no-build ]] && build=0

export VM_SRC=$src
# shellcheck source=../tests/system/lib/vm.bash
source "$src/tests/system/lib/vm.bash"

t0=$SECONDS
echo "==== installing the VM packages"
./scripts/setup-vm-deps.sh || { echo "demo-vm: cannot install the VM packages"; exit 77; }
if ! why=$(vm_why_not); then
    echo "demo-vm: no VM can be booted here: $why"
    exit 77
fi

job=$src/build/vmdemo
if ((build)); then
    echo "==== building morvel and morvel_monitor in build/"
    ./scripts/setup-deps.sh >/dev/null || { echo "demo-vm: cannot install the build packages"; exit 1; }
    { cmake -S "$src" -B "$src/build" >/dev/null &&
        cmake --build "$src/build" -j2 --target morvel morvel_monitor keldor_array_sim >/dev/null; } ||
        { echo "demo-vm: the build failed"; exit 1; }
fi
rm -rf "$job"
mkdir -p "$job/out" "$job/pkg"
# The guest installs the .deb that a release hands out (scripts/release.sh), static programs.
./scripts/release.sh --build-dir "$src/build" --no-deps >"$job/release.log" 2>&1 &&
    cp "$src"/build/packages/morvel_*.deb "$job/pkg/" ||
    { tail -n 20 "$job/release.log"; echo "demo-vm: cannot build the packages"; exit 1; }
vm_write_job "$job" deb "$(cd "$job" && ls pkg/morvel_*.deb)" "$src/build" demo/demo.sh

vm_choose_accel
echo "==== accelerator: $VM_ACCEL_NOTE"
if [[ "${VM_ACCEL_ARGS[1]}" == tcg ]]; then
    echo "==== booting the VM (TCG: a few minutes of patience on a busy machine)"
else
    echo "==== booting the VM"
fi
if ! vm_boot "$job" "$job/console.log"; then
    echo "demo-vm: the VM did not complete the demonstration"
    exit 1
fi
if [[ ! -f "$job/out/done" ]] || grep -q '^FAIL ' "$job/out/results" 2>/dev/null; then
    grep -h -A8 '^FAIL ' "$job/out/failures" 2>/dev/null | head -n 30
    echo "demo-vm: the demonstration did not run to its end (logs: $job/out)"
    exit 1
fi
echo "==== the VM demonstration took $((SECONDS - t0)) s; its logs are in $job/out"
exit 0
