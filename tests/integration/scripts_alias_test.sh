#!/bin/bash
# alias.sh as installed: the marked alias section of /etc/multipath.conf, its reply codes
# (first character 4, 5, 7), the listing, applying changes to a running multipathd, and the
# morvel alias commands over it.
source "$(dirname "$0")/lib/sandbox.bash"
A=/usr/bin/morvel-script/alias.sh
# alias.sh as morvel runs it, with morvel's decision on what drives the service
alias_sh() { sb_run env MORVEL_INIT=systemd bash $A "$@"; }
F=$(sb_fixture scripts/conf)
G=$(sb_fixture scripts/golden)
W1=3600a098038303053453f463045727a41
W2=3600a098038303053453f463045727a42
W3=3600a098038303053453f463045727a43

multipathd_stopped() {
    sb_fake systemctl is-active --status 3 </dev/null
    sb_fake multipathd show daemon --status 1 --out "can't connect to the multipathd socket"
}
first_char_is() {
    [[ "$(head -c 1 "$SB_CASE/out/stdout")" == "$1" ]] ||
        sb_fail "[$(cat "$SB_CASE/out/command")] should answer with $1 first: $(cat "$SB_CASE/out/stdout")"
    [[ "$(cat "$SB_CASE/out/status")" != 0 ]] || sb_fail "[$(cat "$SB_CASE/out/command")] exited 0"
}

sb_case "set, query and del round trip; the rest of the file stays byte for byte"
sb_copy "$F/admin.conf" /etc/multipath.conf
alias_sh set $W1 dbdata
sb_assert_status 0
sb_assert_file /etc/multipath.conf.bk <"$F/admin.conf"
alias_sh set $W2 log
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/admin-aliases.conf"
alias_sh query
sb_assert_status 0
sb_assert_stdout <<EOF
$W1 dbdata
$W2 log
EOF
# a WWID that has an alias is bound to the new one in place
alias_sh set $W1 db2
sb_assert_status 0
alias_sh query
sb_assert_stdout <<EOF
$W1 db2
$W2 log
EOF
alias_sh del $W1
sb_assert_status 0
alias_sh del $W2
sb_assert_status 0
sb_assert_file /etc/multipath.conf <"$F/admin.conf"
alias_sh query
sb_assert_status 0
sb_assert_stdout </dev/null

sb_case "failures: 4 for a bound pair, 5 for an alias of another WWID, 7 for a WWID without alias"
sb_copy "$F/admin.conf" /etc/multipath.conf
alias_sh set $W1 dbdata
cp "$(sb_file /etc/multipath.conf)" "$SB_CASE/bound.conf"
alias_sh set $W1 dbdata
first_char_is 4
alias_sh set $W2 dbdata
first_char_is 5
alias_sh del $W3
first_char_is 7
sb_assert_file /etc/multipath.conf <"$SB_CASE/bound.conf"
# an alias that multipathd's own bindings file gives to another WWID is taken too
sb_put /etc/multipath/bindings < <(printf '# Multipath bindings, Version : 1.0\nmpatha %s\n' $W3)
alias_sh set $W2 mpatha
first_char_is 5
alias_sh set $W3 mpatha
sb_assert_status 0
# and so are the administrators' own multipaths entries outside the section
{ cat "$SB_CASE/bound.conf"; printf 'multipaths {\n\tmultipath {\n\t\twwid "%s"\n\t\talias archive\n\t}\n}\n' $W2; } \
    >"$SB_CASE/own.conf"
sb_copy "$SB_CASE/own.conf" /etc/multipath.conf
alias_sh set $W1 archive
first_char_is 5
alias_sh set $W2 archive
first_char_is 4
sb_assert_file /etc/multipath.conf <"$SB_CASE/own.conf"

sb_case "bad words never reach the file, and their replies are no 4, 5 or 7"
sb_copy "$F/admin.conf" /etc/multipath.conf
for args in "set $W1 bad;alias" "set $W1 -x" "set 36000/../x dbdata" "del" "set $W1" "frob" \
    "set ${W1}0 db" "set eui.0123 db" "set uuid.4b454c44-4f52-5a52-4e00-00000000000g db" \
    "set nvme.1b36-123-4b-00000001 db" "set nvme.1b36-$(printf '%0120d' 0)-4b-00000001 db" \
    "del uuid.4b454c44-4f52-5a52-4e00;x"; do
    # shellcheck disable=SC2086
    alias_sh $args
    [[ "$(cat "$SB_CASE/out/status")" != 0 ]] || sb_fail "[$args] exited 0"
    [[ "$(head -c 1 "$SB_CASE/out/stdout")" != [457] ]] || sb_fail "[$args] answered $(cat "$SB_CASE/out/stdout")"
done
sb_assert_file /etc/multipath.conf <"$F/admin.conf"

sb_case "every NVMe WWID form the kernel gives is bound and unbound"
sb_copy "$F/admin.conf" /etc/multipath.conf
for w in eui.4b454c444f525a52 eui.4b454c444f525a524e0000000000000a uuid.4b454c44-4f52-5a52-4E00-000000000001 \
    nvme.0000-3935343563323531653631396332343463626366-4b454c444f525a524e-00000003; do
    alias_sh set $w nvdata
    sb_assert_status 0
    alias_sh del $w
    sb_assert_status 0
done
sb_assert_file /etc/multipath.conf <"$F/admin.conf"

sb_case "a change reaches a running multipathd, not a stopped one"
sb_copy "$F/admin.conf" /etc/multipath.conf
alias_sh set $W1 dbdata
sb_assert_cmd_ran "multipathd reconfigure"
multipathd_stopped
alias_sh set $W2 log
sb_assert_status 0
sb_assert_cmd_not_ran "multipathd reconfigure"
alias_sh del $W2
sb_assert_cmd_not_ran "multipathd reconfigure"
# the query reads only
sb_fake systemctl is-active </dev/null
alias_sh query
sb_assert_cmdlog </dev/null
# run by hand, without morvel's decision, a change stops before it touches the file
cp "$(sb_file /etc/multipath.conf)" "$SB_CASE/before.conf"
sb_run bash $A set $W3 other
sb_assert_status 1
sb_assert_stdout_contains '^alias.sh: MORVEL_INIT is not set; this script is run by morvel$'
sb_assert_file /etc/multipath.conf <"$SB_CASE/before.conf"
# only a morvel command above the script hands the lock of the file down
sb_run bash -c 'source /usr/bin/morvel-script/morvel-lib.sh
    for v in $$ $PPID 1 0 x ""; do MORVEL_CONF_LOCK=$v mv_conf_lock_handed_down && echo "[$v] taken"; done; true'
sb_assert_stdout </dev/null

sb_case "without multipath.conf: empty listing, set creates the file, del answers 7"
multipathd_stopped
alias_sh query
sb_assert_status 0
sb_assert_stdout </dev/null
alias_sh del $W1
first_char_is 7
sb_assert_no_file /etc/multipath.conf
alias_sh set $W1 dbdata
sb_assert_status 0
sb_assert_file_golden /etc/multipath.conf "$G/alias-new.conf"

sb_case "a section begin line without its end: every verb fails and the file stays"
{ cat "$F/admin.conf"; printf '#keldor alias begin\nmultipaths {\n'; } >"$SB_CASE/damaged.conf"
sb_copy "$SB_CASE/damaged.conf" /etc/multipath.conf
for args in "query" "set $W1 dbdata" "del $W1"; do
    # shellcheck disable=SC2086
    alias_sh $args
    sb_assert_status 1
done
sb_assert_file /etc/multipath.conf <"$SB_CASE/damaged.conf"

sb_case "morvel setalias, lsalias and delalias over the installed script: codes 120, 121, 122"
multipathd_stopped
sb_copy "$F/admin.conf" /etc/multipath.conf
sb_run morvel setalias -wwid $W1 -alias dbdata
sb_assert_status 0
sb_run morvel setalias -wwid $W2 -alias log
sb_assert_status 0
sb_run morvel lsalias
sb_assert_status 0
sb_assert_stdout_file "$G/lsalias.out"
sb_run morvel setalias -wwid $W1 -alias dbdata
sb_assert_status 1
sb_assert_stdout_contains 'Error\(0120\)'
sb_run morvel setalias -wwid $W3 -alias dbdata
sb_assert_status 1
sb_assert_stdout_contains 'Error\(0121\)'
sb_run morvel delalias -wwid $W3
sb_assert_status 1
sb_assert_stdout_contains 'Error\(0122\)'
sb_run morvel delalias -wwid $W1
sb_assert_status 0
sb_run morvel delalias -wwid $W2
sb_assert_status 0
sb_assert_file /etc/multipath.conf <"$F/admin.conf"

sb_finish
