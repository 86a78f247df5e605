#!/bin/bash
# Runs chrooted in the guest's new root (the host's root under a tmpfs overlay) before systemd
# starts: makes the guest a RHEL 9 host with multipath-tools configured for the simulated
# arrays, and installs the units that run guest/main.sh. Its output is out/prepare.log; the
# failing step is its last line.
set -eu
trap 'echo "prepare.sh: line $LINENO failed (status $?): $BASH_COMMAND"' ERR
# shellcheck source=/dev/null
source /systest/job.env

# The guest never waits in rescue or emergency mode: it says so and powers off.
mkdir -p /etc/systemd/system/rescue.service.d /etc/systemd/system/emergency.service.d
for m in rescue emergency; do
    cat >/etc/systemd/system/$m.service.d/systest.conf <<EOF
[Service]
ExecStart=
ExecStart=/bin/sh -c 'echo "systest: the guest fell into $m mode; powering off" >/dev/console; \
    echo "FAIL setup: the guest reaches its test run (it fell into $m mode)" >>/systest/out/results; \
    journalctl -b -n 30 -o short-monotonic --no-pager >/systest/out/$m-journal.txt 2>&1; \
    sync; echo o >/proc/sysrq-trigger'
EOF
done

# (a deliberately broken preparation, to see the VM run end at once: SYSTEST_BREAK=prepare)
[[ "${SYSTEST_BREAK:-}" != prepare ]] || false "deliberately broken by SYSTEST_BREAK=prepare"

# The build machine's root marks a container; the guest's systemd would skip multipathd.
rm -f /.dockerenv /run/.containerenv

# A production host of the product: Red Hat Enterprise Linux 9.
rm -f /etc/oracle-release /etc/centos-release /etc/SuSE-release /etc/lsb-release
echo "Red Hat Enterprise Linux release 9.2 (Plow)" >/etc/redhat-release
cat >/etc/os-release <<'EOF'
NAME="Red Hat Enterprise Linux"
VERSION="9.2 (Plow)"
ID="rhel"
ID_LIKE="fedora"
VERSION_ID="9.2"
PLATFORM_ID="platform:el9"
PRETTY_NAME="Red Hat Enterprise Linux 9.2 (Plow)"
EOF
rm -f /usr/lib/os-release

# multipath-tools: Debian's built-in default (find_multipaths strict) would leave every path an
# orphan. Only the simulated arrays are ever multipathed.
mkdir -p /etc/multipath
rm -f /etc/multipath/bindings /etc/multipath/wwids
cat >/etc/multipath.conf <<'EOF'
defaults {
    user_friendly_names yes
    find_multipaths no
    polling_interval 2
    max_polling_interval 4
}

blacklist {
    devnode "^(sr|fd|vd|loop|ram|nullb|zram)[0-9]*"
}

EOF

# scsi_debug WWIDs stay in their NAA form (sg3_id would turn them into T10 vendor ids).
mkdir -p /etc/udev/rules.d
ln -sf /dev/null /etc/udev/rules.d/55-scsi-sg3_id.rules

# Nothing of the build machine's own services: only what systest.target asks for.
mkdir -p /etc/systemd/system
cat >/etc/systemd/system/systest.target <<'EOF'
[Unit]
Description=Morvel system tests
Wants=systest.service systemd-journald.service systemd-udevd.service
Wants=multipathd.socket
AllowIsolate=yes
EOF
cat >/etc/systemd/system/systest.service <<EOF
[Unit]
Description=Morvel system test run
DefaultDependencies=no
After=systemd-journald.service systemd-udevd.service multipathd.socket
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/bash $SYSTEST_SRC/tests/system/guest/main.sh
StandardOutput=journal+console
StandardError=inherit
TimeoutStartSec=infinity
EOF
# the console shows the scenario progress only
mkdir -p /etc/systemd/system.conf.d
cat >/etc/systemd/system.conf.d/systest.conf <<'EOF'
[Manager]
ShowStatus=no
LogLevel=warning
EOF
