#!/bin/bash
# Shared code of the morvel helper scripts: the Keldor device blocks and the alias section of
# /etc/multipath.conf, crash-safe rewrites of that file, distribution detection and the
# multipathd service. Sourced by the scripts beside it; does nothing when run on its own.
# shellcheck disable=SC2034  # the settings below are read by the scripts that source this file

MV_CONF=/etc/multipath.conf
MV_STATE_DIR=/etc/morvel

# What the scripts create is no one else's to write, whatever the caller's umask: the folders
# get their modes explicitly, files are 0644 unless made otherwise.
umask 022

# shellcheck source=morvel-lists.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lists.sh" || return 1

# ---------------------------------------------------------------------------------------------
# small helpers

mv_err() { printf '%s\n' "$*" >&2; }

# mv_mktemp: a scratch file in MV_TMP, removed when the script ends.
MV_TMPFILES=()
mv_cleanup() { ((${#MV_TMPFILES[@]} == 0)) || rm -f -- "${MV_TMPFILES[@]}"; }
trap mv_cleanup EXIT
mv_mktemp() {
    MV_TMP=$(mktemp "${TMPDIR:-/tmp}/morvel.XXXXXX") || { mv_err "cannot create a scratch file"; return 1; }
    MV_TMPFILES+=("$MV_TMP")
}

# mv_in_list WORD LIST: WORD is one of the blank-separated words of LIST.
mv_in_list() {
    local w
    for w in $2; do
        [[ "$1" == "$w" ]] && return 0
    done
    return 1
}

# mv_read_attr FILE: first line of a sysfs attribute, or nothing.
mv_read_attr() {
    local v=""
    [[ -r "$1" ]] && IFS= read -r v <"$1" 2>/dev/null
    printf '%s' "$v"
}

# Serialises the edits of /etc/multipath.conf (policy, config, alias) between processes. The
# lock rule is morvel's: a morvel command holds the lock from its backup through the edit, the
# reload and any restore, and the script it runs works under that lock. Run otherwise, the
# script takes the lock itself (fd 8; commands that outlive the script must not inherit it).
mv_lock_conf() {
    mv_conf_lock_handed_down && return 0
    local dir=/run
    [[ -d "$dir" ]] || dir=/var/run
    [[ -d "$dir" ]] || dir=/tmp
    command -v flock >/dev/null 2>&1 || return 0
    exec 8>>"$dir/morvel-multipath-conf.lock" || return 0
    flock -w 30 8 || { mv_err "another morvel command is editing $MV_CONF"; return 1; }
}

# mv_conf_lock_handed_down: the morvel command named by MORVEL_CONF_LOCK (its process id) runs
# this script and holds the lock for it. A value that names no morvel process above this one
# hands nothing down.
mv_conf_lock_handed_down() {
    local holder=${MORVEL_CONF_LOCK:-} p=$PPID key value comm
    [[ "$holder" =~ ^[1-9][0-9]{0,9}$ ]] || return 1
    while ((p > 1)); do
        if ((p == holder)); then
            read -r comm 2>/dev/null <"/proc/$p/comm" || return 1
            [[ "$comm" == morvel* ]]  # morvel accepts any program name that begins so
            return
        fi
        value=""
        while read -r key value; do
            [[ "$key" == PPid: ]] && break
            value=""
        done 2>/dev/null <"/proc/$p/status"
        [[ "$value" =~ ^[0-9]+$ ]] || return 1
        p=$value
    done
    return 1
}

# mv_atomic_replace TARGET NEWFILE: puts NEWFILE's bytes in place of TARGET through a temporary
# file in TARGET's own folder (flushed, then renamed), keeping TARGET's mode and owner. A
# symbolic link is followed, so the link stays and its target is replaced. The caller holds
# TARGET's lock: a temporary file of this kind beside it is a leftover of a replacement that
# was killed before its rename, and is removed.
mv_atomic_replace() {
    local target=$1 new=$2 real dir tmp stale
    real=$(readlink -f -- "$target" 2>/dev/null) || real=$target
    [[ -n "$real" ]] || real=$target
    dir=$(dirname -- "$real")
    for stale in "$dir/.${real##*/}.morvel."??????; do
        [[ -e "$stale" || -L "$stale" ]] && rm -f -- "$stale"
    done
    tmp=$(mktemp "$dir/.${real##*/}.morvel.XXXXXX") || { mv_err "cannot create a temporary file in $dir"; return 1; }
    if ! cat -- "$new" >"$tmp"; then
        rm -f -- "$tmp"
        mv_err "cannot write $tmp"
        return 1
    fi
    if [[ -e "$real" ]]; then
        chmod --reference="$real" -- "$tmp" 2>/dev/null || true
        chown --reference="$real" -- "$tmp" 2>/dev/null || true
        # the SELinux label of the file it replaces, where SELinux is on
        chcon --reference="$real" -- "$tmp" >/dev/null 2>&1 || true
    else
        chmod 0644 -- "$tmp"
    fi
    sync -- "$tmp" 2>/dev/null || sync
    if ! mv -f -- "$tmp" "$real"; then
        rm -f -- "$tmp"
        mv_err "cannot rename $tmp to $real"
        return 1
    fi
    sync -- "$dir" 2>/dev/null || true
}

# mv_backup_conf: the file as it was before the change (/etc/multipath.conf.bk), which "morvel
# restart" puts back when the service cannot take the changed file.
mv_backup_conf() {
    [[ -f "$MV_CONF" ]] || return 0
    \cp -fp -- "$MV_CONF" "$MV_CONF.bk"
}

# ---------------------------------------------------------------------------------------------
# marked sections: the inclusive range from a line that is exactly the begin marker to the next
# line that is exactly the end marker.

# mv_ranges FILE BEGIN END: prints "first last" line numbers of every complete section, in
# order. Returns 2 when a begin marker has no end marker after it (a damaged file).
mv_ranges() {
    local file=$1 b=$2 e=$3 n kind
    local -a begins=() ends=()
    [[ -f "$file" ]] || return 0
    while IFS=: read -r n kind; do
        if [[ "$kind" == B ]]; then begins+=("$n"); else ends+=("$n"); fi
    done < <(awk -v b="$b" -v e="$e" '$0 == b { print NR ":B" } $0 == e { print NR ":E" }' "$file")
    local last=0 i j=0 found
    for i in "${begins[@]}"; do
        ((i > last)) || continue
        found=""
        while ((j < ${#ends[@]})); do
            if ((ends[j] > i)); then found=${ends[j]}; j=$((j + 1)); break; fi
            j=$((j + 1))
        done
        [[ -n "$found" ]] || return 2
        printf '%s %s\n' "$i" "$found"
        last=$found
    done
    return 0
}

# mv_splice FILE BEGIN END REPLACEMENT OUT: writes to OUT the bytes of FILE with its first
# section replaced by the file REPLACEMENT (may be empty) and every further section removed.
# Without any section, REPLACEMENT is appended (after a line feed if the file lacks a final
# one). Everything outside the sections stays byte for byte as it was.
mv_splice() {
    local file=$1 b=$2 e=$3 repl=$4 out=$5 ranges rc
    ranges=$(mv_ranges "$file" "$b" "$e")
    rc=$?
    if ((rc != 0)); then
        mv_err "$file holds a \"$b\" line without a matching \"$e\" line; please repair the file"
        return 1
    fi
    : >"$out"
    if [[ -z "$ranges" ]]; then
        if [[ -s "$file" ]]; then
            cat -- "$file" >>"$out"
            [[ -z "$(tail -c 1 -- "$file")" ]] || printf '\n' >>"$out"
        fi
        cat -- "$repl" >>"$out"
        return 0
    fi
    local first=1 prev=0 s t
    while read -r s t; do
        if ((prev == 0)); then
            ((s > 1)) && head -n "$((s - 1))" -- "$file" >>"$out"
        elif ((s > prev + 1)); then
            sed -n "$((prev + 1)),$((s - 1))p" -- "$file" >>"$out"
        fi
        if ((first)); then
            cat -- "$repl" >>"$out"
            first=0
        fi
        prev=$t
    done <<<"$ranges"
    tail -n "+$((prev + 1))" -- "$file" >>"$out"
}

# ---------------------------------------------------------------------------------------------
# the device blocks

# mv_block_kind scsi|nvme: sets the markers, vendor, product and allowed groups of the block.
mv_block_kind() {
    case "$1" in
        scsi)
            MV_B_BEGIN="#keldor config begin"
            MV_B_END="#keldor config end"
            MV_B_VENDOR=KELDOR
            MV_B_PRODUCT=ZRN
            MV_B_MARK="keldor group chooser"
            MV_B_GROUPS=$MV_SCSI_GROUPS
            ;;
        nvme)
            MV_B_BEGIN="#nvme config begin"
            MV_B_END="#nvme config end"
            MV_B_VENDOR=NVME
            MV_B_PRODUCT=KELDORZRN
            MV_B_MARK="group chooser"
            MV_B_GROUPS=$MV_NVME_GROUPS
            ;;
        *) return 1 ;;
    esac
}

mv_policy_line_group() { printf '        path_grouping_policy    %s\n' "$1"; }
mv_policy_line_chooser() { printf '        path_selector          "%s 0"\n' "$1"; }

# mv_block_text GROUP CHOOSER: the twelve lines of the block chosen by mv_block_kind.
mv_block_text() {
    printf '%s\n' "$MV_B_BEGIN"
    printf 'devices {\n'
    printf '    device {\n'
    printf '        vendor                 "%s"\n' "$MV_B_VENDOR"
    printf '        product                "%s"\n' "$MV_B_PRODUCT"
    printf '##      %s begin\n' "$MV_B_MARK"
    mv_policy_line_group "$1"
    mv_policy_line_chooser "$2"
    printf '##      %s end\n' "$MV_B_MARK"
    printf '    }\n'
    printf '}\n'
    printf '%s\n' "$MV_B_END"
}

# mv_block_policy FILE: prints the group and the chooser of the first block (two lines), taken
# from its seventh and eighth lines. Returns 1 without a block, 2 when those lines are not the
# policy lines, 3 for a damaged file (begin marker without end marker).
mv_block_policy() {
    local file=$1 ranges rc s t l7 l8
    ranges=$(mv_ranges "$file" "$MV_B_BEGIN" "$MV_B_END")
    rc=$?
    ((rc == 0)) || return 3
    [[ -n "$ranges" ]] || return 1
    read -r s t <<<"$ranges"
    ((t - s >= 8)) || return 2
    l7=$(sed -n "$((s + 6))p" -- "$file")
    l8=$(sed -n "$((s + 7))p" -- "$file")
    mv_is_policy_pair "$l7" "$l8" || return 2
    printf '%s\n%s\n' "$MV_P_GROUP" "$MV_P_CHOOSER"
}

# mv_is_policy_pair LINE7 LINE8: both are policy lines; sets MV_P_GROUP and MV_P_CHOOSER.
mv_is_policy_pair() {
    local re7='^[[:space:]]*path_grouping_policy[[:space:]]+([A-Za-z0-9_-]+)[[:space:]]*$'
    local re8='^[[:space:]]*path_selector[[:space:]]+"?([A-Za-z0-9_-]+)( +[0-9]+)?"?[[:space:]]*$'
    [[ "$1" =~ $re7 ]] || return 1
    MV_P_GROUP=${BASH_REMATCH[1]}
    [[ "$2" =~ $re8 ]] || return 1
    MV_P_CHOOSER=${BASH_REMATCH[1]}
}

# mv_block_set_policy FILE GROUP CHOOSER OUT: writes to OUT the file with lines 7 and 8 of every
# block of the current kind replaced by the policy lines. The caller has checked that the first
# block has its policy lines (mv_block_policy).
mv_block_set_policy() {
    local file=$1 group=$2 chooser=$3 out=$4 ranges s t prev=0
    ranges=$(mv_ranges "$file" "$MV_B_BEGIN" "$MV_B_END") || return 1
    : >"$out"
    while read -r s t; do
        ((t - s >= 8)) || continue
        mv_is_policy_pair "$(sed -n "$((s + 6))p" -- "$file")" "$(sed -n "$((s + 7))p" -- "$file")" || continue
        {
            head -n "$((s + 5))" -- "$file" | tail -n "+$((prev + 1))"
            mv_policy_line_group "$group"
            mv_policy_line_chooser "$chooser"
        } >>"$out"
        prev=$((s + 7))
    done <<<"$ranges"
    tail -n "+$((prev + 1))" -- "$file" >>"$out"
}

# ---------------------------------------------------------------------------------------------
# distribution

# mv_detect_os: sets MV_OS_FAMILY (rhel, centos, oracle, sles or empty), MV_OS_MAJOR,
# MV_OS_MINOR (the service pack on SLES) and MV_OS_NAME (for messages).
mv_detect_os() {
    MV_OS_FAMILY="" MV_OS_MAJOR="" MV_OS_MINOR=0 MV_OS_NAME=""
    local f line re='release[[:space:]]+([0-9]+)(\.([0-9]+))?'
    for f in /etc/oracle-release /etc/centos-release /etc/redhat-release; do
        [[ -r "$f" ]] || continue
        IFS= read -r line <"$f" || [[ -n "$line" ]] || continue
        line=${line%$'\r'}
        MV_OS_NAME=$line
        case "$line" in
            "Red Hat Enterprise Linux"*) MV_OS_FAMILY=rhel ;;
            CentOS*) MV_OS_FAMILY=centos ;;
            "Oracle Linux"*) MV_OS_FAMILY=oracle ;;
            *) return 0 ;;
        esac
        if [[ "$line" =~ $re ]]; then
            MV_OS_MAJOR=${BASH_REMATCH[1]}
            MV_OS_MINOR=${BASH_REMATCH[3]:-0}
        else
            MV_OS_FAMILY=""
        fi
        return 0
    done
    if [[ -r /etc/SuSE-release ]]; then
        local first="" k v
        IFS= read -r first </etc/SuSE-release
        MV_OS_NAME=$first
        if [[ "$first" == "SUSE Linux Enterprise Server"* ]]; then
            while IFS='=' read -r k v; do
                k=${k//[[:space:]]/} v=${v//[[:space:]]/}
                [[ "$k" == VERSION && "$v" =~ ^[0-9]+$ ]] && MV_OS_MAJOR=$v
                [[ "$k" == PATCHLEVEL && "$v" =~ ^[0-9]+$ ]] && MV_OS_MINOR=$v
            done </etc/SuSE-release
            [[ -n "$MV_OS_MAJOR" ]] && MV_OS_FAMILY=sles
        fi
        return 0
    fi
    if [[ -r /etc/os-release ]]; then
        local id="" ver="" name="" k v
        while IFS='=' read -r k v; do
            v=${v%$'\r'} v=${v#\"} v=${v%\"} v=${v#\'} v=${v%\'}
            case "$k" in
                ID) id=$v ;;
                VERSION_ID) ver=$v ;;
                PRETTY_NAME) name=$v ;;
            esac
        done </etc/os-release
        MV_OS_NAME=${name:-$id $ver}
        case "$id" in
            rhel) MV_OS_FAMILY=rhel ;;
            centos) MV_OS_FAMILY=centos ;;
            ol) MV_OS_FAMILY=oracle ;;
            sles | sles_sap) MV_OS_FAMILY=sles ;;
            *) return 0 ;;
        esac
        if [[ "$ver" =~ ^([0-9]+)(\.([0-9]+))? ]]; then
            MV_OS_MAJOR=${BASH_REMATCH[1]}
            MV_OS_MINOR=${BASH_REMATCH[3]:-0}
        else
            MV_OS_FAMILY=""
        fi
    fi
    return 0
}

# mv_os_supported: after mv_detect_os; RHEL, CentOS and Oracle Linux 6 to 10, SLES 11 to 15.
mv_os_supported() {
    case "$MV_OS_FAMILY" in
        rhel | centos | oracle) ((MV_OS_MAJOR >= 6 && MV_OS_MAJOR <= 10)) ;;
        sles) ((MV_OS_MAJOR >= 11 && MV_OS_MAJOR <= 15)) ;;
        *) return 1 ;;
    esac
}

# Host rules that morvel owns and hands to the scripts it runs, in the environment:
#   MORVEL_FCNVME  yes or no: the distribution carries FC-NVMe with dm-multipath, so the NVMe
#                  device block belongs in the file ("morvel config");
#   MORVEL_INIT    sysv or systemd: what drives the multipathd service.
# (The lock of multipath.conf is handed down the same way, in MORVEL_CONF_LOCK: mv_lock_conf.)
# mv_need_rules NAME...: every rule named is handed down; else the script stops before it
# changes anything.
mv_need_rules() {
    local name
    for name in "$@"; do
        [[ "$name=${!name:-}" =~ ^(MORVEL_FCNVME=(yes|no)|MORVEL_INIT=(sysv|systemd))$ ]] && continue
        echo "${0##*/}: $name is not set; this script is run by morvel"
        exit 1
    done
}

# ---------------------------------------------------------------------------------------------
# the multipathd service

mv_sysv_host() { [[ "${MORVEL_INIT:-}" == sysv ]]; }

mv_multipathd_running() {
    if mv_sysv_host; then
        # LSB status: 0 while the daemon runs
        service multipathd status >/dev/null 2>&1 && return 0
    else
        systemctl is-active --quiet multipathd.service 2>/dev/null && return 0
    fi
    multipathd show daemon 2>/dev/null | grep -q running
}

# mv_multipathd_enable_start: enabled at boot, and started or reloaded to read the file again.
mv_multipathd_enable_start() {
    if mv_sysv_host; then
        if command -v chkconfig >/dev/null 2>&1; then
            chkconfig multipathd on || mv_err "chkconfig multipathd on failed"
        elif command -v insserv >/dev/null 2>&1; then
            insserv multipathd || mv_err "insserv multipathd failed"
        fi
        if service multipathd status >/dev/null 2>&1; then
            service multipathd reload
        else
            service multipathd start
        fi
    else
        systemctl enable multipathd.service || mv_err "systemctl enable multipathd.service failed"
        if systemctl is-active --quiet multipathd.service; then
            systemctl reload multipathd.service
        else
            systemctl start multipathd.service
        fi
    fi
}

# ---------------------------------------------------------------------------------------------
# policy.sh and policy_nvme.sh

mv_policy_usage() {
    mv_err "usage: ${0##*/} query | set <path_grouping_policy> <path_selector>"
}

# mv_conf_base OUT: copies multipath.conf to OUT, or, when there is none, writes the start of a
# new one there. MV_CONF_EXISTED says which (1: the file was there).
mv_conf_base() {
    MV_CONF_EXISTED=0
    if [[ -e "$MV_CONF" ]]; then
        MV_CONF_EXISTED=1
        cat -- "$MV_CONF" >"$1"
    else
        printf 'defaults {\n    user_friendly_names yes\n    find_multipaths yes\n}\n\n' >"$1"
    fi
}

# mv_conf_commit NEW: puts NEW in the place of multipath.conf, after copying the file that was
# there (mv_conf_base) to multipath.conf.bk. 0 written, 1 failed (the reason is said), 2 NEW is
# the file as it is.
mv_conf_commit() {
    if ((MV_CONF_EXISTED)) && cmp -s -- "$1" "$MV_CONF"; then
        return 2
    fi
    if ((MV_CONF_EXISTED)); then
        mv_backup_conf || { echo "cannot copy $MV_CONF to $MV_CONF.bk"; return 1; }
    fi
    mv_atomic_replace "$MV_CONF" "$1" || return 1
}

# mv_policy_problem RC KIND: says why mv_block_policy found no policy (its return code RC).
mv_policy_problem() {
    case $1 in
        1) echo "No configuration: $MV_CONF has no $2 device block" ;;
        2) echo "No configuration: the $2 device block of $MV_CONF has no policy lines" ;;
        *) echo "$MV_CONF holds \"$MV_B_BEGIN\" without \"$MV_B_END\"; please repair the file" ;;
    esac
}

# mv_policy_main scsi|nvme ARGS...: "query" prints the group and the chooser of the block, one a
# line; "set GROUP CHOOSER" rewrites its two policy lines. Without a block: "No configuration".
mv_policy_main() {
    local kind=$1 rc policy
    shift
    mv_block_kind "$kind" || return 2
    case "${1:-}" in
        query)
            [[ $# -eq 1 ]] || { mv_policy_usage; return 2; }
            policy=$(mv_block_policy "$MV_CONF")
            rc=$?
            ((rc == 0)) || { mv_policy_problem "$rc" "$kind"; return 1; }
            printf '%s\n' "$policy"
            return 0
            ;;
        set)
            [[ $# -eq 3 ]] || { mv_policy_usage; return 2; }
            local group=$2 chooser=$3
            if ! mv_in_list "$group" "$MV_B_GROUPS"; then
                echo "invalid path grouping policy [$group] for the $kind device block (allowed: $MV_B_GROUPS)"
                return 2
            fi
            if ! mv_in_list "$chooser" "$MV_CHOOSERS"; then
                echo "invalid path selector [$chooser] (allowed: $MV_CHOOSERS)"
                return 2
            fi
            mv_lock_conf || return 1
            mv_block_policy "$MV_CONF" >/dev/null
            rc=$?
            ((rc == 0)) || { mv_policy_problem "$rc" "$kind"; return 1; }
            local new
            mv_mktemp || return 1
            new=$MV_TMP
            mv_block_set_policy "$MV_CONF" "$group" "$chooser" "$new" || return 1
            if ! cmp -s -- "$new" "$MV_CONF"; then
                mv_atomic_replace "$MV_CONF" "$new" || return 1
            fi
            echo "$kind device block: path_grouping_policy $group, path_selector \"$chooser 0\""
            return 0
            ;;
        *)
            mv_policy_usage
            return 2
            ;;
    esac
}

# ---------------------------------------------------------------------------------------------
# stable path identities (the record of paths set offline)

MV_OFFLINE_RECORD=$MV_STATE_DIR/offline_paths

# mv_field TEXT: TEXT made fit for one tab-separated field ("-" when empty).
mv_field() {
    local v=${1//[$'\t\r\n ']/}
    printf '%s' "${v:--}"
}

# mv_scsi_wwid DEV: the LUN's WWID as the kernel or scsi_id reports it.
mv_scsi_wwid() {
    local w t
    w=$(mv_read_attr "/sys/block/$1/device/wwid")
    if [[ -z "$w" ]]; then
        for t in /lib/udev/scsi_id /usr/lib/udev/scsi_id; do
            if [[ -x "$t" && -b "/dev/$1" ]]; then
                w=$("$t" -g -u -d "/dev/$1" 2>/dev/null)
                break
            fi
        done
    fi
    printf '%s' "$w"
}

# mv_by_path_load: MV_BY_PATH maps each device name to its first /dev/disk/by-path link in
# name order. Read once per run: a host has hundreds of paths and as many links.
declare -gA MV_BY_PATH=()
MV_BY_PATH_LOADED=0
mv_by_path_load() {
    local l t
    ((MV_BY_PATH_LOADED)) && return 0
    MV_BY_PATH_LOADED=1
    for l in /dev/disk/by-path/*; do
        [[ -L "$l" ]] || continue
        t=$(readlink -f -- "$l") || continue
        [[ "$t" == /dev/* ]] || continue
        t=${t#/dev/}
        [[ -n "${MV_BY_PATH[$t]+set}" ]] || MV_BY_PATH[$t]=${l##*/}
    done
}

# mv_path_identity DEV: sets MV_ID to the tab-separated identity of a path device:
#   scsi  WWID  H:C:T:L  by-path-link
#   nvme  WWID  NSID  SUBSYSNQN  CONTROLLER-ADDRESS
# Returns 1 when the device is not there.
mv_path_identity() {
    local dev=$1 sys=/sys/block/$1
    MV_ID=""
    [[ -n "$dev" && -e "$sys" ]] || return 1
    if [[ "$dev" == *nvme* ]]; then
        local nsid
        nsid=$(mv_read_attr "$sys/nsid")
        [[ -z "$nsid" && "$dev" =~ n([0-9]+)$ ]] && nsid=${BASH_REMATCH[1]}
        MV_ID="nvme"$'\t'"$(mv_field "$(mv_read_attr "$sys/wwid")")"$'\t'"$(mv_field "$nsid")"
        MV_ID+=$'\t'"$(mv_field "$(mv_read_attr "$sys/device/subsysnqn")")"
        MV_ID+=$'\t'"$(mv_field "$(mv_read_attr "$sys/device/address")")"
    else
        local hctl
        hctl=$(readlink -f -- "$sys/device" 2>/dev/null)
        hctl=${hctl##*/}
        [[ "$hctl" =~ ^[0-9]+:[0-9]+:[0-9]+:[0-9]+$ ]] || hctl=""
        MV_ID="scsi"$'\t'"$(mv_field "$(mv_scsi_wwid "$dev")")"$'\t'"$(mv_field "$hctl")"
        mv_by_path_load
        MV_ID+=$'\t'"$(mv_field "${MV_BY_PATH[$dev]-}")"
    fi
}

# mv_same_path ID1 ID2: the two identities name the same path. The WWID must agree when both
# are known. SCSI: the by-path links agree when both are known, else H:C:T:L does. NVMe: the
# subsystem, the namespace and the controller address all agree.
mv_same_path() {
    local -a a b
    IFS=$'\t' read -r -a a <<<"$1"
    IFS=$'\t' read -r -a b <<<"$2"
    [[ "${a[0]}" == "${b[0]}" ]] || return 1
    if [[ "${a[1]}" != - && "${b[1]}" != - && "${a[1]}" != "${b[1]}" ]]; then
        return 1
    fi
    if [[ "${a[0]}" == nvme ]]; then
        [[ "${a[2]}" == "${b[2]}" && "${a[3]}" == "${b[3]}" && "${a[4]}" == "${b[4]}" ]] || return 1
        [[ "${a[3]}" != - || "${a[1]}" != - ]]
        return
    fi
    if [[ "${a[3]:--}" != - && "${b[3]:--}" != - ]]; then
        [[ "${a[3]}" == "${b[3]}" ]]
        return
    fi
    [[ "${a[2]}" != - && "${a[2]}" == "${b[2]}" ]]
}

# mv_state_dir: the folder of morvel's own state, 0755 and no one else's to write (an older
# release may have made it open to all).
mv_state_dir() {
    if [[ ! -d "$MV_STATE_DIR" ]]; then
        mkdir -m 0755 -- "$MV_STATE_DIR" || return 1
    fi
    chmod go-w -- "$MV_STATE_DIR"
}

# Serialises the users of the record file.
mv_lock_record() {
    mv_state_dir || return 1
    command -v flock >/dev/null 2>&1 || return 0
    exec 7>>"$MV_STATE_DIR/.offline_paths.lock" || return 0
    flock -w 30 7 || { mv_err "the record $MV_OFFLINE_RECORD is busy"; return 1; }
}

# mv_record_write FILE-OF-RECORDS: replaces the record file (removes it when empty).
mv_record_write() {
    if [[ ! -s "$1" ]]; then
        rm -f -- "$MV_OFFLINE_RECORD"
        return 0
    fi
    mv_mktemp || return 1
    {
        echo "# Paths set offline with \"morvel setstate\"; set offline again at boot and before"
        echo "# every map reload by run_all_offline_path.sh. Fields (tab-separated):"
        echo "#   scsi WWID H:C:T:L BY-PATH-LINK DEVICE | nvme WWID NSID SUBSYSNQN ADDRESS DEVICE"
        cat -- "$1"
    } >"$MV_TMP"
    mv_atomic_replace "$MV_OFFLINE_RECORD" "$MV_TMP"
}

# mv_record_lines: the records of the file, without comments.
mv_record_lines() {
    [[ -f "$MV_OFFLINE_RECORD" ]] || return 0
    grep -v -e '^#' -e '^[[:space:]]*$' -- "$MV_OFFLINE_RECORD"
}

# mv_record_dev LINE: the device name kept in a record (its last field).
mv_record_dev() { printf '%s' "${1##*$'\t'}"; }
# mv_record_id LINE: the identity part of a record (all but the last field).
mv_record_id() { printf '%s' "${1%$'\t'*}"; }
