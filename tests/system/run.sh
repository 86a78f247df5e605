#!/bin/bash
# System tests on a real kernel multipath stack: boots one QEMU VM (Debian's stock kernel over
# this machine's root, systemd as PID 1), installs the freshly built product in it, brings up
# simulated Keldor arrays (scsi_debug, LIO iSCSI and NVMe/TCP on loopback) and runs the
# scenarios under tests/system/scenarios/ against the real multipath-tools.
#
#   tests/system/run.sh [--build-dir DIR] [--no-build] [--no-deps] [--stage] [--package DEB] [SCENARIO...]
#
# SCENARIO: a file name under scenarios/ without .sh (default: all, in name order), or the
# path of a scenario file elsewhere.
# --build-dir: the cmake build to install from (default build-system); --no-build: use it as
# it is; --stage: copy a DESTDIR install into the guest instead of installing the .deb;
# --package: install this .deb (as scripts/release.sh made it) instead of packaging the build.
# Ends with "system: N passed, M failed"; exit status 0 when all passed, 1 on a failure,
# 77 when no VM can be booted here (the reason is printed). Each scenario runs within its
# deadline; the summary gives the accelerator (KVM or TCG), the boot time and every scenario's
# time. VM_ACCEL=tcg|kvm skips the KVM probe; SYSTEST_BREAK=prepare|setup breaks the guest's
# preparation or setup on purpose (the run must then end at once, with the reason).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
export VM_SRC=$src
# shellcheck source=lib/vm.bash
source "$here/lib/vm.bash"

build=$src/build-system
do_build=1 do_deps=1 install=deb given_pkg=""
scenarios=()
while (($#)); do
    case "$1" in
        --build-dir) build=$(realpath -m "$2"); shift ;;
        --no-build) do_build=0 ;;
        --no-deps) do_deps=0 ;;
        --stage) install=stage ;;
        --package) given_pkg=$(realpath "$2"); shift ;;
        -h | --help) sed -n "2,20p" "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        */*) scenarios+=("$(realpath "$1")") ;;
        *) scenarios+=("scenarios/${1%.sh}.sh") ;;
    esac
    shift
done
if [[ $(id -u) != 0 ]]; then
    echo "system tests: need root (QEMU's 9p share of / must read every file)" >&2
    echo "system: 0 passed, 1 failed"
    exit 1
fi
if ((${#scenarios[@]} == 0)); then
    for f in "$here"/scenarios/*.sh; do scenarios+=("scenarios/${f##*/}"); done
fi
for f in "${scenarios[@]}"; do
    [[ -f "$here/$f" || -f "$f" ]] || { echo "no scenario $f" >&2; exit 2; }
done

finish() { # finish PASSED FAILED
    echo "system: $1 passed, $2 failed"
    ((${2} == 0)) && exit 0
    exit 1
}

if ((do_deps)); then
    "$src/scripts/setup-vm-deps.sh" || { echo "system tests: cannot install the VM packages"; finish 0 1; }
fi
if ! why=$(vm_why_not); then
    echo "system tests SKIPPED: no VM can be booted here: $why"
    exit 77
fi

job=$build/systest
mkdir -p "$build"
rm -rf "$job"
mkdir -p "$job/out"

# ------------------------------------------------------------------------- build and package
if ((do_build)); then
    echo "==== system tests: building in $build"
    flags=()
    [[ -f "$build/CMakeCache.txt" ]] || flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVEL_TESTS=OFF)
    cmake -S "$src" -B "$build" "${flags[@]}" >"$job/configure.log" 2>&1 ||
        { tail -n 30 "$job/configure.log"; finish 0 1; }
    cmake --build "$build" -j2 --target morvel morvel_monitor keldor_array_sim >"$job/build.log" 2>&1 ||
        { grep -E 'error|Error' "$job/build.log" | head -n 30; finish 0 1; }
fi
[[ -x "$build/morvel" && -x "$build/morvel_monitor" && -x "$build/tests/system/array-sim/keldor_array_sim" ]] ||
    { echo "system tests: no morvel build in $build"; finish 0 1; }
pkg="" host_failed=0
if [[ $install == deb && -n "$given_pkg" ]]; then
    mkdir -p "$job/pkg"
    cp "$given_pkg" "$job/pkg/" && pkg=pkg/${given_pkg##*/}
elif [[ $install == deb ]]; then
    # cpack first builds the preinstall target (every target of the build): a build tree whose
    # test programs do not build gives no package.
    if (cd "$job" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$job/pkg") >"$job/cpack.log" 2>&1; then
        pkg=$(cd "$job" && ls pkg/*.deb 2>/dev/null | head -n 1)
    fi
    if [[ -z "$pkg" ]]; then
        echo "FAIL system tests: cpack made no .deb; the last lines of $job/cpack.log:"
        grep -v '^ *$' "$job/cpack.log" | tail -n 15 | sed 's/^/    | /'
        for f in "$job"/pkg/_CPack_Packages/*/*/PreinstallOutput.log; do
            [[ -f "$f" ]] || continue
            echo "    the errors of $f:"
            grep -E -i -m 10 'error|no such file' "$f" | sed 's/^/    | /'
        done
        echo "system tests: the scenarios run on the staged build instead"
        host_failed=1
    fi
fi
if [[ -z "$pkg" ]]; then
    install=stage
    DESTDIR="$job/stage" cmake --install "$build" >"$job/install.log" 2>&1 ||
        { tail -n 20 "$job/install.log"; finish 0 1; }
fi

vm_write_job "$job" "$install" "$pkg" "$build" "${scenarios[*]}"

# ------------------------------------------------------------------------- the VM
vm_choose_accel
echo "==== system tests: accelerator: $VM_ACCEL_NOTE"
echo "==== system tests: booting the VM (${#scenarios[@]} scenarios; installing ${pkg:-the staged build};" \
    "limit $VM_RUN_LIMIT s from the deadlines)"
t0=$SECONDS
vm_boot "$job" "$job/console.log"
boot_rc=$?
echo "==== system tests: the VM ran $((SECONDS - t0)) s; logs in $job/out"
vm_times "$job/out"

passed=0 failed=$host_failed
if [[ -f "$job/out/results" ]]; then
    passed=$(grep -c '^PASS ' "$job/out/results")
    failed=$((failed + $(grep -c '^FAIL ' "$job/out/results")))
fi
if [[ -s "$job/out/failures" ]]; then
    echo "==== failures"
    cat "$job/out/failures"
fi
if ((boot_rc != 0)) || [[ ! -f "$job/out/done" ]]; then
    echo "system tests: the VM run did not complete (console: $job/console.log)"
    grep -a -o -E '(Kernel panic|systest-init:|BUG:|Call Trace).*' "$job/console.log" | head -n 30
    grep -a -o 'systest: .*' "$job/console.log" | tail -n 10 | sed 's/^systest: /    | /'
    failed=$((failed + 1))
fi
finish "$passed" "$failed"
