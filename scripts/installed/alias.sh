#!/bin/bash
# WWID aliases of multipath devices, kept as "multipaths { multipath { wwid ... alias ... } }"
# entries in a marked section of /etc/multipath.conf ("#keldor alias begin" ... "#keldor alias
# end"); the rest of the file is left byte for byte as it was.
#   alias.sh set <wwid> <alias>   bind; fails with output "4..." when this pair is bound already
#                                 and "5..." when the alias is bound to another WWID. A WWID
#                                 bound to another alias is re-bound.
#   alias.sh del <wwid>           unbind; fails with output "7..." when the WWID has no alias
#   alias.sh query                one binding a line: the WWID, a blank, the alias
# When multipathd runs, a change is applied at once with "multipathd reconfigure". set and del
# are run by morvel, which hands down MORVEL_INIT and the lock of the file (morvel-lib.sh).

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1

A_BEGIN="#keldor alias begin"
A_END="#keldor alias end"
BINDINGS=/etc/multipath/bindings
# The WWID forms morvel accepts: SCSI "3" and 32 characters; NVMe as the kernel names a
# namespace: "eui." and an EUI-64 or NGUID, "uuid." and its UUID, or the "nvme." fallback of
# vendor id, serial, model and namespace id in hex (multipath keeps at most 127 characters).
H='[0-9A-Fa-f]'
WWID_RE="^(3[A-Za-z0-9]{32}|eui\\.([A-Za-z0-9]{16}|[A-Za-z0-9]{32})|uuid\\.$H{8}(-$H{4}){3}-$H{12}|nvme\\.$H{4}-($H$H)*-($H$H)*-$H{8})\$"
ALIAS_RE='^[A-Za-z0-9][A-Za-z0-9_.-]{0,255}$'

valid_wwid() { [[ "$1" =~ $WWID_RE && ${#1} -le 127 ]]; }

usage() {
    mv_err "usage: ${0##*/} set <wwid> <alias> | del <wwid> | query"
    exit 2
}

# The bindings of our section(s) as "wwid alias" lines, in file order.
read_pairs() {
    [[ -f "$MV_CONF" ]] || return 0
    mv_ranges "$MV_CONF" "$A_BEGIN" "$A_END" >/dev/null || {
        echo "$MV_CONF holds \"$A_BEGIN\" without \"$A_END\"; please repair the file"
        return 1
    }
    awk -v b="$A_BEGIN" -v e="$A_END" '
        $0 == b { ins = 1; w = ""; a = ""; next }
        ins && $0 == e { ins = 0; next }
        !ins { next }
        $1 == "multipath" { w = ""; a = ""; next }
        $1 == "wwid" { w = $2; gsub(/"/, "", w); next }
        $1 == "alias" { a = $2; gsub(/"/, "", a); next }
        $1 == "}" { if (w != "" && a != "") print w, a; w = ""; a = "" }
    ' "$MV_CONF"
}

# Bindings that the administrators keep outside our section (their own multipaths entries).
other_pairs() {
    [[ -f "$MV_CONF" ]] || return 0
    awk -v b="$A_BEGIN" -v e="$A_END" '
        $0 == b { ours = 1; next }
        ours && $0 == e { ours = 0; next }
        ours || /^[[:space:]]*#/ { next }
        $1 == "multipath" { inmp = 1; w = ""; a = ""; next }
        !inmp { next }
        $1 == "wwid" { w = $2; gsub(/"/, "", w); next }
        $1 == "alias" { a = $2; gsub(/"/, "", a); next }
        $1 == "}" { if (w != "" && a != "") print w, a; inmp = 0 }
    ' "$MV_CONF"
}

# write_pairs FILE-OF-PAIRS: puts the section with these bindings into the file (removes the
# section when there are none), takes the backup, and applies it to a running multipathd.
write_pairs() {
    local pairs=$1 w a
    mv_mktemp || return 1
    local section=$MV_TMP
    if [[ -s "$pairs" ]]; then
        {
            printf '%s\n' "$A_BEGIN"
            printf 'multipaths {\n'
            while read -r w a; do
                printf '    multipath {\n'
                printf '        wwid                   %s\n' "$w"
                printf '        alias                  %s\n' "$a"
                printf '    }\n'
            done <"$pairs"
            printf '}\n'
            printf '%s\n' "$A_END"
        } >"$section"
    fi
    mv_mktemp || return 1
    local base=$MV_TMP rc
    mv_conf_base "$base" || return 1
    mv_mktemp || return 1
    local out=$MV_TMP
    mv_splice "$base" "$A_BEGIN" "$A_END" "$section" "$out" || return 1
    mv_conf_commit "$out"
    rc=$?
    ((rc == 2)) && return 0
    ((rc == 0)) || return 1
    if mv_multipathd_running; then
        if ! multipathd reconfigure >/dev/null 2>&1; then
            mv_err "warning: multipathd reconfigure failed; the change applies at its next reconfigure"
        fi
    fi
    return 0
}

# The WWID bound to an alias in multipathd's own bindings file, if any.
bindings_wwid() {
    [[ -r "$BINDINGS" ]] || return 0
    awk -v a="$1" '$1 == a && $1 !~ /^#/ { print $2; exit }' "$BINDINGS"
}

verb=${1:-}
case "$verb" in
    query)
        [[ $# -eq 1 ]] || usage
        read_pairs
        exit $?
        ;;
    set)
        [[ $# -eq 3 ]] || usage
        wwid=$2 alias=$3
        valid_wwid "$wwid" || { echo "invalid wwid [$wwid]"; exit 2; }
        [[ "$alias" =~ $ALIAS_RE ]] || { echo "invalid alias [$alias]"; exit 2; }
        mv_need_rules MORVEL_INIT
        mv_lock_conf || exit 1
        mv_mktemp || exit 1
        current=$MV_TMP
        read_pairs >"$current" || { cat -- "$current"; exit 1; }
        while read -r w a; do
            if [[ "$w" == "$wwid" && "$a" == "$alias" ]]; then
                echo "4 the pair wwid[$wwid] and alias[$alias] exists already"
                exit 4
            fi
            if [[ "$a" == "$alias" ]]; then
                echo "5 the alias[$alias] is bound to wwid[$w]"
                exit 5
            fi
        done < <(cat -- "$current"; other_pairs)
        other=$(bindings_wwid "$alias")
        if [[ -n "$other" && "$other" != "$wwid" ]]; then
            echo "5 the alias[$alias] is bound to wwid[$other] in $BINDINGS"
            exit 5
        fi
        mv_mktemp || exit 1
        pairs=$MV_TMP
        replaced=0
        while read -r w a; do
            if [[ "$w" == "$wwid" ]]; then
                ((replaced)) || printf '%s %s\n' "$wwid" "$alias"
                replaced=1
            else
                printf '%s %s\n' "$w" "$a"
            fi
        done <"$current" >"$pairs"
        ((replaced)) || printf '%s %s\n' "$wwid" "$alias" >>"$pairs"
        write_pairs "$pairs" || exit 1
        echo "alias[$alias] is bound to wwid[$wwid]"
        exit 0
        ;;
    del)
        [[ $# -eq 2 ]] || usage
        wwid=$2
        valid_wwid "$wwid" || { echo "invalid wwid [$wwid]"; exit 2; }
        mv_need_rules MORVEL_INIT
        mv_lock_conf || exit 1
        mv_mktemp || exit 1
        current=$MV_TMP
        read_pairs >"$current" || { cat -- "$current"; exit 1; }
        mv_mktemp || exit 1
        pairs=$MV_TMP
        found=0
        while read -r w a; do
            if [[ "$w" == "$wwid" ]]; then
                found=1
            else
                printf '%s %s\n' "$w" "$a"
            fi
        done <"$current" >"$pairs"
        if ((!found)); then
            echo "7 the wwid[$wwid] has no alias"
            exit 7
        fi
        write_pairs "$pairs" || exit 1
        echo "the alias of wwid[$wwid] is removed"
        exit 0
        ;;
    *)
        usage
        ;;
esac
