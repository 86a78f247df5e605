# Host side of the test VM: a QEMU guest (KVM when a probe boot shows it works, else TCG) running Debian's stock kernel over this machine's
# own root filesystem (9p, read-only, under a tmpfs overlay), with systemd as PID 1. A second,
# writable 9p share (the job directory) carries the job in and the results back.
# Sourced by tests/system/run.sh and scripts/demo-vm.sh.
# shellcheck disable=SC2034  # VM_ACCEL_NOTE and VM_RUN_LIMIT are read by those callers

VM_MEM=${VM_MEM:-1024}
VM_SMP=${VM_SMP:-2}
# VM_ACCEL: auto (KVM when the probe boot reaches init, else TCG), kvm or tcg.
VM_ACCEL=${VM_ACCEL:-auto}
VM_KVM_PROBE_LIMIT=${VM_KVM_PROBE_LIMIT:-20}
# Deadlines (seconds, generous for a slow TCG machine): from QEMU's start to the guest's test
# run, for the guest's setup (product, arrays, multipathd), and for a scenario that does not
# name its own with a "# deadline: N" line (see tests/system/README.md).
VM_BOOT_LIMIT=${VM_BOOT_LIMIT:-600}
VM_SETUP_LIMIT=${VM_SETUP_LIMIT:-900}
VM_SCENARIO_DEADLINE=${VM_SCENARIO_DEADLINE:-420}

# Modules of the initramfs, loaded in this order before the root can be mounted.
VM_INITRD_MODULES=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
                   9pnet 9pnet_virtio netfs fscache 9p overlay)

# vm_kernel_version: the newest Debian kernel under /boot that has its modules installed.
vm_kernel_version() {
    local k v best=""
    for k in /boot/vmlinuz-*; do
        [[ -e "$k" ]] || continue
        v=${k#/boot/vmlinuz-}
        [[ -d /lib/modules/$v/kernel ]] || continue
        if [[ -z "$best" ]] || [[ "$(printf '%s\n%s\n' "$best" "$v" | sort -V | tail -n 1)" == "$v" ]]; then
            best=$v
        fi
    done
    [[ -n "$best" ]] && echo "$best"
}

# vm_why_not: prints why no VM can be booted here (nothing when one can) and fails then.
vm_why_not() {
    local v m
    command -v qemu-system-x86_64 >/dev/null || { echo "qemu-system-x86_64 is not installed"; return 1; }
    v=$(vm_kernel_version) || { echo "no kernel with modules under /boot (linux-image-amd64)"; return 1; }
    [[ -r /boot/vmlinuz-$v ]] || { echo "/boot/vmlinuz-$v is not readable"; return 1; }
    if [[ ! -x /bin/busybox || "$(LC_ALL=C ldd /bin/busybox 2>&1)" != *"not a dynamic executable"* ]]; then
        echo "/bin/busybox is missing or not static (busybox-static)"
        return 1
    fi
    for m in "${VM_INITRD_MODULES[@]}"; do
        [[ -n "$(vm_module_file "$v" "$m")" ]] || { echo "kernel module $m of $v is missing"; return 1; }
    done
    for m in multipath multipathd iscsiadm nvme sg_inq tc udevadm /lib/systemd/systemd; do
        command -v "$m" >/dev/null || { echo "$m is not installed"; return 1; }
    done
    # QEMU must be able to start a machine at all (sandboxes may forbid it)
    local pid
    qemu-system-x86_64 -accel tcg -machine none -nodefaults -display none -monitor none \
        -serial none -S </dev/null >/dev/null 2>&1 &
    pid=$!
    sleep 2
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid"
        echo "qemu-system-x86_64 cannot start a machine here"
        return 1
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

# vm_module_file VERSION NAME: the module's file (names may use - or _).
vm_module_file() {
    local v=$1 m=$2
    find "/lib/modules/$v/kernel" \( -name "$m.ko" -o -name "${m//_/-}.ko" \) -print -quit 2>/dev/null
}

# vm_initramfs VERSION OUT: busybox, the modules (with their load order in modules/order) and
# guest/init.
vm_initramfs() {
    local v=$1 out=$2 dir m f
    dir=$(mktemp -d)
    mkdir -p "$dir"/{bin,modules,proc,sys,dev,newroot,lower,upper}
    cp /bin/busybox "$dir/bin/busybox"
    for m in "${VM_INITRD_MODULES[@]}"; do
        f=$(vm_module_file "$v" "$m")
        case "$f" in
            *.ko) cp "$f" "$dir/modules/$m.ko" ;;
            *) echo "vm: module $m not found" >&2; rm -rf "$dir"; return 1 ;;
        esac
    done
    printf '%s\n' "${VM_INITRD_MODULES[@]}" >"$dir/modules/order"
    install -m 0755 "$VM_SRC/tests/system/guest/init" "$dir/init"
    (cd "$dir" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out"
    local rc=${PIPESTATUS[0]}
    rm -rf "$dir"
    return "$rc"
}

# vm_deadline FILE: the scenario's deadline in seconds: its "# deadline: N" line, or the default.
vm_deadline() {
    local n
    n=$(sed -n 's/^# deadline: *\([0-9][0-9]*\)\( s\)\{0,1\} *$/\1/p' "$1" 2>/dev/null | head -n 1)
    echo "${n:-$VM_SCENARIO_DEADLINE}"
}

# vm_write_job JOB INSTALL PKG BUILD SCENARIOS: the job the guest reads (JOB/job.env): how the
# product is installed (deb: the package PKG in JOB; stage: the tree JOB/stage), the simulated
# array's program of the build folder BUILD, and the scenarios to run (paths relative to
# tests/system, or absolute) with their deadlines. Sets VM_RUN_LIMIT, the whole run's limit:
# boot, setup, every scenario's deadline and a minute for diagnostics and power-off.
vm_write_job() {
    local f d deadlines=()
    VM_RUN_LIMIT=$((VM_BOOT_LIMIT + VM_SETUP_LIMIT + 60))
    for f in $5; do
        [[ "$f" == /* ]] || f=$VM_SRC/tests/system/$f
        d=$(vm_deadline "$f")
        deadlines+=("$d")
        VM_RUN_LIMIT=$((VM_RUN_LIMIT + d))
    done
    cat >"$1/job.env" <<JOB
SYSTEST_SRC=$VM_SRC
SYSTEST_BUILD=$4
SYSTEST_INSTALL=$2
SYSTEST_PKG=$3
SYSTEST_SIM=$4/tests/system/array-sim/keldor_array_sim
SYSTEST_SCENARIOS="$5"
SYSTEST_DEADLINES="${deadlines[*]}"
SYSTEST_BREAK=${SYSTEST_BREAK:-}
JOB
}

# vm_probe_kvm: a short boot under KVM (a busybox initramfs that only reports and powers off)
# with each CPU model in turn. Sets VM_ACCEL_ARGS on success; sets VM_KVM_WHY (why KVM cannot be
# used) and fails otherwise. Machines that are themselves VMs may offer a /dev/kvm that aborts QEMU
# ("failed to set MSR 0x10a") or whose guest never reaches init.
vm_probe_kvm() {
    local v dir cpu rc why=""
    VM_KVM_WHY="/dev/kvm does not exist"
    [[ -e /dev/kvm ]] || return 1
    VM_KVM_WHY="/dev/kvm cannot be opened for reading and writing"
    [[ -r /dev/kvm && -w /dev/kvm ]] || return 1
    VM_KVM_WHY="no kernel to probe with"
    v=$(vm_kernel_version) || return 1
    dir=$(mktemp -d)
    mkdir -p "$dir/root/bin" "$dir/root/dev" "$dir/root/proc"
    cp /bin/busybox "$dir/root/bin/busybox"
    printf '%s\n' '#!/bin/busybox sh' '/bin/busybox mount -t devtmpfs dev /dev' \
        '/bin/busybox echo "vm-probe: init reached" >/dev/console' '/bin/busybox poweroff -f' >"$dir/root/init"
    chmod 0755 "$dir/root/init"
    (cd "$dir/root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$dir/initrd.gz"
    for cpu in host max; do
        (timeout -k 5 "$VM_KVM_PROBE_LIMIT" qemu-system-x86_64 -accel kvm -cpu "$cpu" -m 256 -smp 1 \
            -nographic -nodefaults -no-reboot -monitor none -serial stdio \
            -kernel "/boot/vmlinuz-$v" -initrd "$dir/initrd.gz" \
            -append "console=ttyS0 quiet panic=-1 rdinit=/init" </dev/null >"$dir/log" 2>&1
         exit $?) 2>/dev/null # (no "Aborted" from the shell when QEMU aborts)
        rc=$?
        if grep -q 'vm-probe: init reached' "$dir/log"; then
            VM_ACCEL_ARGS=(-accel kvm -cpu "$cpu")
            rm -rf "$dir"
            return 0
        fi
        if ((rc == 124 || rc == 137)); then
            why+="${why:+; }-cpu $cpu: the probe boot did not reach init within $VM_KVM_PROBE_LIMIT s"
        else
            why+="${why:+; }-cpu $cpu: QEMU ended with status $rc: $(tr -d '\r' <"$dir/log" | grep -v '^ *$' | tail -n 1)"
        fi
    done
    rm -rf "$dir"
    VM_KVM_WHY=$why
    return 1
}

# vm_choose_accel: KVM or TCG for the VM (VM_ACCEL: auto, kvm, tcg). Sets VM_ACCEL_ARGS and
# VM_ACCEL_NOTE, a line saying which one and, for TCG, why not KVM.
vm_choose_accel() {
    VM_ACCEL_ARGS=(-accel tcg -cpu max)
    case "$VM_ACCEL" in
        tcg) VM_ACCEL_NOTE="TCG (VM_ACCEL=tcg)" ;;
        kvm) VM_ACCEL_ARGS=(-accel kvm -cpu host); VM_ACCEL_NOTE="KVM, -cpu host (VM_ACCEL=kvm, not probed)" ;;
        *)
            if vm_probe_kvm; then
                VM_ACCEL_NOTE="KVM, ${VM_ACCEL_ARGS[*]:2} (a probe boot reached init)"
            else
                VM_ACCEL_NOTE="TCG; KVM not used: $VM_KVM_WHY"
            fi
            ;;
    esac
}

# vm_boot JOB_DIR CONSOLE_LOG [LIMIT]: boots the guest on the job and waits for it to power
# off. Console lines that start with "systest:" are shown as they come. The guest must start
# its test run within VM_BOOT_LIMIT and end its setup within VM_SETUP_LIMIT seconds, and the
# whole run must end within LIMIT (default VM_RUN_LIMIT, see vm_write_job); the guest enforces
# each scenario's deadline itself. Writes the host's times (boot, setup) to JOB_DIR/out/host-times.
# Fails when QEMU fails or a limit is overrun (then QEMU is stopped).
vm_boot() {
    local job=$1 console=$2 limit=${3:-$VM_RUN_LIMIT} v rc
    v=$(vm_kernel_version) || return 1
    vm_initramfs "$v" "$job/initrd.gz" || return 1
    [[ ${#VM_ACCEL_ARGS[@]} -gt 0 ]] || vm_choose_accel
    local append="console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init"
    append+=" modprobe.blacklist=ata_piix,ata_generic,floppy"
    append+=" nvme_core.multipath=N nvme_core.admin_timeout=5"
    append+=" systemd.unit=systest.target systemd.show_status=0 systemd.log_level=warning"
    append+=" scsi_mod.scan=sync"
    : >"$console"
    rm -f "$job/qemu.pid" "$job/qemu.rc"
    (
        timeout --foreground -k 10 "$limit" qemu-system-x86_64 \
            "${VM_ACCEL_ARGS[@]}" -m "$VM_MEM" -smp "$VM_SMP" \
            -nographic -nodefaults -no-reboot -monitor none -serial stdio -pidfile "$job/qemu.pid" \
            -kernel "/boot/vmlinuz-$v" -initrd "$job/initrd.gz" -append "$append" \
            -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
            -virtfs "local,path=$job,mount_tag=systest,security_model=none,multidevs=remap" \
            </dev/null 2>&1 | sed -u 's/\r//g' >>"$console"
        echo "${PIPESTATUS[0]}" >"$job/qemu.rc"
    ) &
    local qemu=$! t0=$SECONDS stage=boot since=$SECONDS overrun=""
    tail -n +1 -F --pid="$qemu" "$console" 2>/dev/null | grep --line-buffered -a -o 'systest: .*' |
        sed -u 's/^systest: //' &
    local shown=$!
    while kill -0 "$qemu" 2>/dev/null; do
        sleep 1
        case $stage in
            boot)
                if grep -aq 'systest: guest up' "$console"; then
                    echo "boot $((SECONDS - t0))" >>"$job/out/host-times"
                    stage=setup since=$SECONDS
                elif ((SECONDS - since > VM_BOOT_LIMIT)); then
                    overrun="the guest did not start its test run within $VM_BOOT_LIMIT s"
                fi
                ;;
            setup)
                if grep -aq 'systest: setup \(done\|failed\)' "$console"; then
                    echo "setup $((SECONDS - since))" >>"$job/out/host-times"
                    stage=run
                elif ((SECONDS - since > VM_SETUP_LIMIT)); then
                    overrun="the guest's setup did not end within $VM_SETUP_LIMIT s"
                fi
                ;;
        esac
        if [[ -n "$overrun" ]]; then
            kill "$(cat "$job/qemu.pid" 2>/dev/null)" 2>/dev/null
            break
        fi
    done
    wait "$qemu"
    wait "$shown" 2>/dev/null
    rc=$(cat "$job/qemu.rc" 2>/dev/null || echo 1)
    if [[ -n "$overrun" ]]; then
        echo "vm: $overrun: QEMU stopped (console: $console)"
        return 1
    fi
    if ((rc == 124 || rc == 137)); then
        echo "vm: the guest did not power off within $limit s (console: $console)"
        return 1
    fi
    if ((rc != 0)); then
        echo "vm: qemu-system-x86_64 exited with status $rc (console: $console)"
        tail -n 20 "$console"
        return 1
    fi
    return 0
}

# vm_times OUT: the run's times from OUT/host-times (boot and setup, wall clock on this machine)
# and OUT/times (the guest's: uptime at its test run, setup, each scenario with its deadline).
vm_times() {
    local out=$1 what a b c d line
    [[ -f "$out/times" || -f "$out/host-times" ]] || return 0
    line="==== times:"
    while read -r what a; do line+=" $what $a s,"; done <"$out/host-times" 2>/dev/null
    while read -r what a; do
        [[ $what == guest-up ]] && line+=" guest uptime at its test run $a s,"
    done <"$out/times" 2>/dev/null
    echo "${line%,}"
    while read -r what a b c d; do
        [[ $what == scenario ]] || continue
        case $d in
            0) printf '    %-24s %5s s   (deadline %s s)\n' "$a" "$b" "$c" ;;
            124 | 137) printf '    %-24s %5s s   OVERRAN its deadline of %s s\n' "$a" "$b" "$c" ;;
            *) printf '    %-24s %5s s   (deadline %s s; exit status %s)\n' "$a" "$b" "$c" "$d" ;;
        esac
    done <"$out/times"
}
