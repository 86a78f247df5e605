#!/bin/bash
# Remembers the paths that "morvel setstate" set offline, so that run_all_offline_path.sh can
# set them offline again after a reboot or a rescan, when the kernel may have renamed them.
#   path_state_record.sh add <dev>   record the path (after it was set offline)
#   path_state_record.sh del <dev>   forget it (after it was set online again)
#   path_state_record.sh list        show the records
# A path is recorded by a stable identity, not by its kernel name: for SCSI the LUN's WWID,
# the H:C:T:L address and the /dev/disk/by-path link; for NVMe the namespace WWID and id, the
# subsystem NQN and the controller's transport address. The record is /etc/morvel/offline_paths.

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1

usage() {
    mv_err "usage: ${0##*/} add <device> | del <device> | list"
    exit 2
}

verb=${1:-}
case "$verb" in
    add | del)
        [[ $# -eq 2 ]] || usage
        dev=$2
        # a kernel device name: a letter first (never "." or ".."), then name characters
        [[ "$dev" =~ ^[A-Za-z][A-Za-z0-9_.:-]*$ ]] || { echo "invalid device name [$dev]"; exit 2; }
        ;;
    list)
        [[ $# -eq 1 ]] || usage
        mv_record_lines
        exit 0
        ;;
    *) usage ;;
esac

mv_lock_record || exit 1
have_id=0
mv_path_identity "$dev" && have_id=1
if [[ "$verb" == add && $have_id -eq 0 ]]; then
    echo "no such device: /sys/block/$dev"
    exit 1
fi

mv_mktemp || exit 1
kept=$MV_TMP
removed=0
while IFS= read -r line; do
    if ((have_id)); then
        mv_same_path "$MV_ID" "$(mv_record_id "$line")" && { removed=1; continue; }
    elif [[ "$(mv_record_dev "$line")" == "$dev" ]]; then
        removed=1
        continue
    fi
    printf '%s\n' "$line"
done < <(mv_record_lines) >"$kept"

if [[ "$verb" == add ]]; then
    printf '%s\t%s\n' "$MV_ID" "$dev" >>"$kept"
    mv_record_write "$kept" || exit 1
    echo "recorded $dev as offline"
else
    if ((removed)); then
        mv_record_write "$kept" || exit 1
        echo "$dev is no longer recorded as offline"
    else
        echo "$dev was not recorded as offline"
    fi
fi
exit 0
