#!/bin/bash
# Lists the host's Fibre Channel ports (/sys/class/fc_host/host*): port and node names, state,
# type, speed, supported speeds, fabric name and symbolic name, then the remote ports seen
# through each (/sys/class/fc_remote_ports/rport-H:*) with their names, id, roles and state.
# A host without FC ports says so. Exit status 0.

# shellcheck source=morvel-lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/morvel-lib.sh" || exit 1

attr() {
    local v
    v=$(mv_read_attr "$1")
    v=${v%"${v##*[![:space:]]}"}
    printf '%s' "${v:-unknown}"
}

# Aligns tab-separated rows into columns two blanks apart, indented; no trailing blanks.
columns() {
    awk -F '\t' -v indent="$1" '
        { n = NR; nf[n] = NF; for (i = 1; i <= NF; i++) { c[n, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
        END {
            for (r = 1; r <= n; r++) {
                line = indent
                for (i = 1; i <= nf[r]; i++)
                    line = line (i < nf[r] ? sprintf("%-" w[i] "s  ", c[r, i]) : c[r, i])
                print line
            }
        }'
}

mapfile -t hosts < <(for h in /sys/class/fc_host/host*; do
    [[ -e "$h" ]] && printf '%s\n' "${h##*/host}"
done | sort -n)

if ((${#hosts[@]} == 0)); then
    echo "No Fibre Channel port was found on this host."
    exit 0
fi

first=1
for n in "${hosts[@]}"; do
    h=/sys/class/fc_host/host$n
    ((first)) || echo
    first=0
    echo "FC port: host$n"
    mapfile -t rports < <(for r in /sys/class/fc_remote_ports/rport-"$n":*; do
        [[ -e "$r" ]] && printf '%s\n' "${r##*/}"
    done | sort -V)
    rcount=none
    ((${#rports[@]} == 0)) || rcount=${#rports[@]}
    printf '    %-16s : %s\n' \
        "Port name" "$(attr "$h/port_name")" \
        "Node name" "$(attr "$h/node_name")" \
        "Port state" "$(attr "$h/port_state")" \
        "Port type" "$(attr "$h/port_type")" \
        "Speed" "$(attr "$h/speed")" \
        "Supported speeds" "$(attr "$h/supported_speeds")" \
        "Fabric name" "$(attr "$h/fabric_name")" \
        "Symbolic name" "$(attr "$h/symbolic_name")" \
        "Remote ports" "$rcount"
    if ((${#rports[@]})); then
        {
            printf 'Remote port\tPort name\tNode name\tPort ID\tRoles\tState\n'
            for r in "${rports[@]}"; do
                d=/sys/class/fc_remote_ports/$r
                printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$r" "$(attr "$d/port_name")" "$(attr "$d/node_name")" \
                    "$(attr "$d/port_id")" "$(attr "$d/roles")" "$(attr "$d/port_state")"
            done
        } | columns "        "
    fi
done
exit 0
