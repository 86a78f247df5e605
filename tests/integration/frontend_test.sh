#!/bin/bash
# The entry of morvel as an administrator meets it: program name, command name, help,
# command list, parameter refusal and the framed result with its exit status.
source "$(dirname "$0")/lib/sandbox.bash"
G=golden/frontend

sb_case "-list_command lists the 17 table names in order, without refresh; refresh is accepted"
sb_script <<'EOF'
sb_run morvel -list_command
sb_assert_status 0
sb_assert_stdout_file golden/frontend/list_command.out
sb_run morvel -list_command_and_more
sb_assert_status 0
sb_assert_stdout_file golden/frontend/list_command.out
sb_run morvel refresh -h
sb_assert_status 0
sb_assert_stdout_contains '^-{130}$'
EOF

sb_case "no command, or a program name not beginning with morvel: Error(0101), exit 1, nothing run"
sb_script <<'EOF'
sb_run morvel
sb_assert_status 1
sb_assert_stdout_file golden/frontend/invalid_input.out
cp /usr/bin/morvel /usr/bin/xmorvel
sb_run xmorvel query
sb_assert_status 1
sb_assert_stdout_file golden/frontend/invalid_input.out
sb_assert_cmd_not_ran "multipath -ll"
ln -s /usr/bin/morvel /usr/local/bin/mymorvel
sb_run /usr/local/bin/mymorvel -list_command
sb_assert_status 1
sb_assert_stdout_file golden/frontend/invalid_input.out
EOF

sb_case "a program name that only begins with morvel is accepted"
sb_setup 'cp /usr/bin/morvel /usr/bin/morvel2'
sb_script <<'EOF'
sb_run morvel2 -list_command
sb_assert_status 0
sb_assert_stdout_file golden/frontend/list_command.out
sb_run /usr/bin/morvel2 frob
sb_assert_status 1
sb_assert_stdout_file golden/frontend/invalid_name_frob.out
EOF

sb_case "an unknown command is refused before its help is looked at"
sb_run morvel frob -h
sb_assert_status 1
sb_assert_stdout_file $G/invalid_name_frob.out
sb_run morvel Query
sb_assert_status 1
sb_assert_stdout_contains '^Error\(0102\): Invalid command name \[Query\]\.$'

sb_case "-h, -help and -hx show the general help unchanged, with Keldor for XXXXXX"
# no newline at the end of the file: the frame line follows the text directly
sb_put /usr/bin/morvel-help/morvel.help < <(printf 'XXXXXX general help\nfor XXXXXX arrays')
for a in -h -help -hx; do
    sb_run morvel "$a" ignored words
    sb_assert_status 0
    sb_assert_stdout_file $G/general_help_no_newline.out
done

sb_case "query -h with an extra word shows the query help; nothing is checked or run"
sb_put /usr/bin/morvel-help/query.help < <(printf 'Usage: morvel query [name]\n  Shows the LUNs of XXXXXX arrays.\n  XXXXXX  \n')
sb_run morvel query -h '1-not-a-valid-name;'
sb_assert_status 0
sb_assert_stdout_file $G/query_help.out
sb_assert_cmdlog </dev/null

sb_case "without its help file, query -h prints Error(0001) and exits 0; query still runs"
sb_rm /usr/bin/morvel-help/query.help
sb_fake multipath -ll </dev/null
sb_run morvel query -h
sb_assert_status 0
sb_assert_stdout_file $G/no_help_query.out
sb_run morvel query
sb_assert_status 0
sb_assert_cmd_ran "multipath -ll"

sb_case "every listed command, refresh and morvel itself have an installed help file"
sb_script <<'EOF'
frame=$(printf -- '-%.0s' {1..130})
for c in $(morvel -list_command) refresh; do
    sb_run morvel "$c" -h
    sb_assert_status 0
    sb_assert_stdout_lines '1p;$p' <<<"$frame"$'\n'"$frame"
    sb_assert_stdout_not_contains 'XXXXXX|^Error\('
done
sb_run morvel -h
sb_assert_status 0
sb_assert_stdout_contains 'Keldor'
sb_assert_stdout_contains 'setpathpolicy'
sb_assert_stdout_not_contains 'XXXXXX'
EOF

sb_case "a parameter after a command without parameters: Error(0105), exit 1, nothing run"
sb_run morvel version foo
sb_assert_status 1
sb_assert_stdout_file $G/version_foo.out
sb_assert_cmdlog </dev/null

sb_case "a device name that could reach the shell is refused before anything runs"
sb_run morvel query 'mpatha;touch${IFS}/tmp/owned'
sb_assert_status 1
sb_assert_stdout_file $G/devname_format.out
sb_assert_cmdlog </dev/null
sb_assert_sh_not_ran 'owned'
sb_run morvel delete '$(reboot)'
sb_assert_status 1
sb_assert_stdout_file $G/devname_format.out
sb_assert_sh_not_ran 'reboot'

sb_case "a command's failure item is printed framed and gives exit 1"
sb_fake multipath -ll mpatha --out-file "$(sb_fixture mpath/iscsi-2-portals.multipath-ll)"
sb_fake multipath -ll mpathz </dev/null
sb_run morvel query mpathz
sb_assert_status 1
sb_assert_stdout_file $G/no_device_mpathz.out
sb_assert_cmd_ran "multipath -ll mpathz"

sb_case "a command returning the success item ends with 'Command executed successfully.'"
sb_run morvel start
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_cmd_ran "systemctl start multipathd.service"

sb_case "a command with its own report prints nothing after it (version)"
sb_run morvel version
sb_assert_status 0
# line 5 is the rights notice, of free wording
sb_assert_stdout_lines '1,4p;6,$p' <<'EOF'
----------------------------------------------------------------------------------------------------------------------------------
Software name: Morvel
Vendor: Keldor
Version: 3.3.2
----------------------------------------------------------------------------------------------------------------------------------
EOF
sb_assert_stdout_contains '^.{3,}$'
sb_assert_stdout_lines '7p' </dev/null

sb_finish
