#!/bin/bash
# Sets every path recorded by path_state_record.sh offline again, under the kernel name it has
# now: "echo offline" into the SCSI device state, "multipathd fail path" for NVMe. Paths that
# are not present are skipped and stay recorded. Run at boot after multipathd (unit
# morvel_offline_path.service) and by "morvel aggregation" before the maps are reloaded.
# Exit status 0 unless a present path could not be set offline.

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1

[[ $# -eq 0 ]] || { mv_err "usage: ${0##*/}"; exit 2; }
if [[ -z "$(mv_record_lines)" ]]; then
    echo "no paths are recorded as offline"
    exit 0
fi
mv_lock_record || exit 1

# Identities of the path devices present now.
devs=() ids=()
for sys in /sys/block/sd* /sys/block/nvme*; do
    [[ -e "$sys" ]] || continue
    d=${sys##*/}
    [[ "$d" =~ ^sd[a-z]+$ || "$d" =~ ^nvme[0-9]+n[0-9]+$ ]] || continue
    mv_path_identity "$d" || continue
    devs+=("$d")
    ids+=("$MV_ID")
done

mv_mktemp || exit 1
updated=$MV_TMP
changed=0 failed=0
while IFS= read -r line; do
    id=$(mv_record_id "$line")
    old=$(mv_record_dev "$line")
    now=""
    for i in "${!ids[@]}"; do
        if mv_same_path "${ids[i]}" "$id"; then
            now=${devs[i]}
            break
        fi
    done
    if [[ -z "$now" ]]; then
        echo "skipped: the path recorded as $old is not present"
        printf '%s\n' "$line" >>"$updated"
        continue
    fi
    if [[ "$now" == *nvme* ]]; then
        reply=$(multipathd fail path "$now" 2>&1)
        if [[ $? -ne 0 || "$reply" == *fail* ]]; then
            echo "failed: multipathd fail path $now: $reply"
            failed=1
        else
            echo "offline: $now${old:+ (recorded as $old)}"
        fi
    else
        state=$(mv_read_attr "/sys/block/$now/device/state")
        if [[ "$state" == offline ]]; then
            echo "offline already: $now"
        elif echo offline >"/sys/block/$now/device/state"; then
            echo "offline: $now${old:+ (recorded as $old)}"
        else
            echo "failed: cannot set $now offline"
            failed=1
        fi
    fi
    if [[ "$now" != "$old" ]]; then
        changed=1
    fi
    printf '%s\t%s\n' "$id" "$now" >>"$updated"
done < <(mv_record_lines)

if ((changed)); then
    mv_record_write "$updated" || failed=1
fi
exit "$failed"
