#!/bin/sh
# %preun of the morvel package: $1 is 0 on removal, 1 on upgrade
if [ "$1" -eq 0 ] && command -v systemctl >/dev/null 2>&1; then
    if [ -d /run/systemd/system ]; then
        systemctl stop morvel_monitor.service || :
    fi
    systemctl disable morvel_monitor.service morvel_offline_path.service || :
fi
