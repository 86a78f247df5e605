#!/bin/bash
# The shipped shell code is clean under shellcheck (helper scripts as installed, maintainer
# scripts, completion), and the bash completion offers what morvel accepts.
source "$(dirname "$0")/lib/sandbox.bash"
P=$MORVEL_SRC/packaging

sb_case "shellcheck: helper scripts as installed, maintainer scripts, completion"
if ! command -v shellcheck >/dev/null; then
    sb_fail "shellcheck is not installed (scripts/setup-deps.sh installs it)"
else
    out=$( (cd "$MORVEL_STAGE/usr/bin/morvel-script" && shellcheck -x ./*.sh) 2>&1) || sb_fail "$out"
    out=$(shellcheck -s sh "$P"/deb/postinst "$P"/deb/prerm "$P"/deb/postrm "$P"/rpm/*.sh 2>&1) || sb_fail "$out"
    out=$(shellcheck -s bash "$MORVEL_STAGE/usr/share/bash-completion/completions/morvel" 2>&1) || sb_fail "$out"
fi
for f in "$MORVEL_STAGE"/usr/bin/morvel-script/*.sh; do
    [[ "$(head -n 1 "$f")" == "#!/bin/bash" ]] || sb_fail "${f##*/} does not start with #!/bin/bash"
    [[ -x "$f" ]] || sb_fail "${f##*/} is not executable"
done

sb_case "completion: commands, parameter names and allowed values"
sb_fake multipathd show maps format %n < <(printf 'name\nmpatha\nmpathb\n')
sb_fake multipathd show maps format %w < <(printf 'uuid\n360014050123abcd456789ef012345678\n')
cat >"$SB_CASE/comp.bash" <<'EOF2'
source /usr/share/bash-completion/completions/morvel
comp() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); _morvel; echo "${COMPREPLY[*]}"; }
comp morvel ""
comp morvel setp
comp morvel setpathpolicy ""
comp morvel setpathpolicy -group ""
comp morvel setpathpolicy -nvme -group ""
comp morvel setpathpolicy -nvme -group failover ""
comp morvel setpathpolicy -chooser s
comp morvel setstate -path_alias mpatha ""
comp morvel setstate -state ""
comp morvel setstate -path_alias ""
comp morvel query ""
comp morvel query -json ""
comp morvel delalias -wwid ""
comp morvel setalias -wwid 3600 ""
comp morvel version ""
comp morvel version -h ""
EOF2
sb_run bash /sandbox-export/comp.bash
sb_assert_status 0
sb_assert_stdout <<'EOF2'
aggregation config delalias delete lsalias lspathpolicy query restart scan setalias setstate setpathpolicy start status stop version port refresh -h -list_command
setpathpolicy
-scsi -nvme -group -chooser -h
failover multibus group_by_serial group_by_prio group_by_node_name
failover multibus group_by_serial group_by_node_name
-chooser
service-time
-device_name -state
online offline
mpatha mpathb
mpatha mpathb -json -h
mpatha mpathb
360014050123abcd456789ef012345678
-alias
-h

EOF2
# the commands offered are the commands morvel lists, and refresh
sb_run morvel -list_command
{ tr '\n' ' ' <"$SB_CASE/out/stdout"; echo "refresh -h -list_command"; } >"$SB_CASE/listed"
cat >"$SB_CASE/first.bash" <<'EOF2'
source /usr/share/bash-completion/completions/morvel
COMP_WORDS=(morvel ""); COMP_CWORD=1; _morvel; echo "${COMPREPLY[*]}"
EOF2
sb_run bash /sandbox-export/first.bash
sb_assert_stdout <"$SB_CASE/listed"

sb_finish
