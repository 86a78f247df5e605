#!/bin/sh
# %post of the morvel package: $1 is 1 on installation, 2 on upgrade
mkdir -p /dumps
chmod 0700 /dumps
if [ -d /run/systemd/system ]; then
    systemctl daemon-reload || :
fi
# the monitor's journal catalog (Debian's systemd does this through a trigger)
if command -v journalctl >/dev/null 2>&1; then
    journalctl --update-catalog >/dev/null 2>&1 || :
fi
if command -v systemctl >/dev/null 2>&1; then
    if [ "$1" -eq 1 ]; then
        systemctl enable morvel_monitor.service morvel_offline_path.service || :
    elif [ -d /run/systemd/system ]; then
        systemctl try-restart morvel_monitor.service || :
    fi
fi
