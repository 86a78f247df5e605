#!/bin/bash
# setalias, delalias and lsalias over the installed alias.sh (a fake here): its failure
# marks become result items, its listing becomes a two-column table.
source "$(dirname "$0")/lib/sandbox.bash"
G=golden/mgmt
W1=36001405aaaaaaaaaaaaaaaaaaaaaaaaa
W2=36001405bbbbbbbbbbbbbbbbbbbbbbbbb

sb_case "setalias: success, and the failure marks 4, 5 and others"
sb_fake_script alias.sh
sb_fake alias.sh set $W1 dbdata </dev/null
sb_run morvel setalias -wwid $W1 -alias dbdata
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_sh_ran "bash /usr/bin/morvel-script/alias.sh set $W1 dbdata 2>&1"
sb_fake alias.sh set $W1 dbdata --status 1 --out 4
sb_run morvel setalias -alias dbdata -wwid $W1
sb_assert_status 1
sb_assert_stdout_file $G/exist_wwid_alias.out
sb_fake alias.sh set $W2 dbdata --status 1 --out "5 alias in use"
sb_run morvel setalias -wwid $W2 -alias dbdata
sb_assert_status 1
sb_assert_stdout_file $G/exist_alias.out
sb_fake alias.sh set $W2 dbdata --status 1 --out "6"
sb_run morvel setalias -wwid $W2 -alias dbdata
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out
# a mark in the output of a script that succeeded means nothing
sb_fake alias.sh set $W2 dbdata --out "5"
sb_run morvel setalias -wwid $W2 -alias dbdata
sb_assert_status 0

sb_case "delalias: success, 7 is code 122, other failures code 3"
sb_fake_script alias.sh
sb_fake alias.sh del $W1 </dev/null
sb_run morvel delalias -wwid $W1
sb_assert_status 0
sb_assert_stdout_file $G/success.out
sb_assert_cmd_ran "alias.sh del $W1"
sb_fake alias.sh del $W1 --status 1 --out 7
sb_run morvel delalias -wwid $W1
sb_assert_status 1
sb_assert_stdout_file $G/no_wwid.out
sb_fake alias.sh del $W1 --status 2 --out "no such file"
sb_run morvel delalias -wwid $W1
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out

sb_case "lsalias: the table follows the longest WWID and alias"
sb_fake_script alias.sh
sb_fake alias.sh query <<EOF
$W1 dbdata
$W2 log
eui.0123456789abcdef0123456789abcdef a_much_longer_alias
EOF
sb_run morvel lsalias
sb_assert_status 0
sb_assert_stdout_file $G/lsalias_three.out
sb_assert_cmd_ran "alias.sh query"

sb_case "lsalias: an empty listing prints the frame lines only; no blank at all prints the header"
sb_fake_script alias.sh
sb_fake alias.sh query --out ""
sb_run morvel lsalias
sb_assert_status 0
sb_assert_stdout_file $G/lsalias_empty.out
sb_fake alias.sh query --out "nothing-here"
sb_run morvel lsalias
sb_assert_status 0
sb_assert_stdout_file $G/lsalias_header_only.out

sb_case "lsalias: a failing listing is code 3 with no table"
sb_fake_script alias.sh
sb_fake alias.sh query --status 1 --out "$W1 dbdata"
sb_run morvel lsalias
sb_assert_status 1
sb_assert_stdout_file $G/exe_cmd_failed.out

sb_finish
