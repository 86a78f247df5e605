#!/bin/bash
# Configures the host's device-mapper multipath for Keldor arrays:
#   - recognises RHEL, CentOS and Oracle Linux 6 to 10 and SLES 11 to 15; on anything else it
#     prints "distribute type is not supported" and exits 1;
#   - creates /etc/multipath.conf with defaults when it is missing;
#   - writes the Keldor SCSI device block and, where morvel says the distribution carries
#     FC-NVMe, the NVMe device block, keeping the policy of a block already there (else
#     failover, round-robin) and replacing old blocks instead of adding more; the rest of the
#     file is left as it was;
#   - enables multipathd and starts it, or reloads it when it runs.
# It is run by "morvel config", which hands down MORVEL_FCNVME, MORVEL_INIT and the lock of the
# file (morvel-lib.sh).
# Running it again changes nothing. Exit status 0 on success.

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1

mv_detect_os
if ! mv_os_supported; then
    echo "distribute type is not supported"
    echo "found: ${MV_OS_NAME:-no known release file}"
    exit 1
fi
mv_need_rules MORVEL_FCNVME MORVEL_INIT

mv_lock_conf || exit 1

mv_mktemp || exit 1
work=$MV_TMP
mv_mktemp || exit 1
next=$MV_TMP
mv_mktemp || exit 1
block=$MV_TMP

mv_conf_base "$work" || { echo "cannot read $MV_CONF"; exit 1; }

kinds=(scsi)
[[ "$MORVEL_FCNVME" == yes ]] && kinds+=(nvme)

for kind in "${kinds[@]}"; do
    mv_block_kind "$kind"
    group=$MV_DEFAULT_GROUP
    chooser=$MV_DEFAULT_CHOOSER
    if policy=$(mv_block_policy "$work"); then
        old_group=${policy%%$'\n'*}
        old_chooser=${policy#*$'\n'}
        mv_in_list "$old_group" "$MV_B_GROUPS" && group=$old_group
        mv_in_list "$old_chooser" "$MV_CHOOSERS" && chooser=$old_chooser
    fi
    mv_block_text "$group" "$chooser" >"$block"
    mv_splice "$work" "$MV_B_BEGIN" "$MV_B_END" "$block" "$next" || exit 1
    cat -- "$next" >"$work"
    echo "$kind device block: path_grouping_policy $group, path_selector \"$chooser 0\""
done

if [[ " ${kinds[*]} " == *" nvme "* && "$(mv_read_attr /sys/module/nvme_core/parameters/multipath)" == Y ]]; then
    echo "note: native NVMe multipathing is on (nvme_core.multipath=Y); dm-multipath sees NVMe namespaces only with nvme_core.multipath=N; morvel reads the native NVMe namespaces directly from sysfs (query, the monitor)"
fi

mv_conf_commit "$work"
case $? in
    0) echo "$MV_CONF written" ;;
    2) echo "$MV_CONF is up to date" ;;
    *) exit 1 ;;
esac

# a daemon started from here must not keep the lock of the file
if ! mv_multipathd_enable_start 8>&-; then
    echo "multipathd could not be started or reloaded; see its service log"
    exit 3
fi
echo "multipath is configured for Keldor arrays"
exit 0
