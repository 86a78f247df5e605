#!/bin/sh
# %postun of the morvel package: $1 is 0 on removal, 1 on upgrade
if [ -d /run/systemd/system ]; then
    systemctl daemon-reload || :
fi
