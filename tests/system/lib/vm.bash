# Host side of the test VM: a QEMU guest (TCG) running Debian's stock kernel over this machine's
# own root filesystem (9p, read-only, under a tmpfs overlay), with systemd as PID 1. A second,
# writable 9p share (the job directory) carries the job in and the results back.
# Sourced by tests/system/run.sh and scripts/demo-vm.sh.

VM_MEM=${VM_MEM:-1024}
VM_SMP=${VM_SMP:-2}

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

# vm_write_job JOB INSTALL PKG BUILD SCENARIOS: the job the guest reads (JOB/job.env): how the
# product is installed (deb: the package PKG in JOB; stage: the tree JOB/stage), the simulated
# array's program of the build folder BUILD, and the scenarios to run.
vm_write_job() {
    cat >"$1/job.env" <<JOB
SYSTEST_SRC=$VM_SRC
SYSTEST_INSTALL=$2
SYSTEST_PKG=$3
SYSTEST_SIM=$4/tests/system/array-sim/keldor_array_sim
SYSTEST_SCENARIOS="$5"
JOB
}

# vm_boot JOB_DIR CONSOLE_LOG TIMEOUT_SECONDS: boots the guest on the job and waits for it to
# power off. Console lines that start with "systest:" are shown as they come. Fails when QEMU
# fails or the guest does not power off in time.
vm_boot() {
    local job=$1 console=$2 limit=$3 v rc
    v=$(vm_kernel_version) || return 1
    vm_initramfs "$v" "$job/initrd.gz" || return 1
    local append="console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init"
    append+=" modprobe.blacklist=ata_piix,ata_generic,floppy"
    append+=" nvme_core.multipath=N nvme_core.admin_timeout=5"
    append+=" systemd.unit=systest.target systemd.show_status=0 systemd.log_level=warning"
    append+=" scsi_mod.scan=sync"
    timeout --foreground -k 10 "$limit" qemu-system-x86_64 \
        -accel tcg -cpu max -m "$VM_MEM" -smp "$VM_SMP" \
        -nographic -nodefaults -no-reboot -monitor none -serial stdio \
        -kernel "/boot/vmlinuz-$v" -initrd "$job/initrd.gz" -append "$append" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$job,mount_tag=systest,security_model=none,multidevs=remap" \
        </dev/null 2>&1 | tr -d '\r' | tee "$console" | grep --line-buffered -a -o 'systest: .*' |
        sed -u 's/^systest: //'
    rc=${PIPESTATUS[0]}
    if ((rc == 124 || rc == 137)); then
        echo "vm: the guest did not power off within $limit seconds (console: $console)"
        return 1
    fi
    if ((rc != 0)); then
        echo "vm: qemu-system-x86_64 exited with status $rc (console: $console)"
        tail -n 20 "$console"
        return 1
    fi
    return 0
}
