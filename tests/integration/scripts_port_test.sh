#!/bin/bash
# fc_info.sh as installed, and "morvel port" over it, on a simulated fc_host tree: every host
# port in number order with its attributes, its remote ports aligned in a table.
source "$(dirname "$0")/lib/sandbox.bash"
G=$(sb_fixture scripts/golden)

fc_tree() { cp -a "$(sb_fixture scripts/fc)/." "$(sb_file /)"; }

sb_case "fc_info.sh lists every FC port and its remote ports"
fc_tree
sb_run bash /usr/bin/morvel-script/fc_info.sh
sb_assert_status 0
sb_assert_stdout_file "$G/fc_info.out"

sb_case "morvel port shows the listing unchanged between the frame lines"
fc_tree
sb_run morvel port
sb_assert_status 0
frame=$(printf '%130s' '' | tr ' ' -)
sb_assert_stdout < <(echo "$frame"; cat "$G/fc_info.out"; echo "$frame")
for p in 0x10000090fa942779 0x10000090fa94277a 0x21000024ff7c4a1e 0x2100aabbccdd0001 \
    0x2100aabbccdd0002 0x2100aabbccdd0003 0x2200aabbccdd0001; do
    sb_assert_stdout_contains "$p"
done

sb_case "a host without FC ports says so and succeeds"
sb_run bash /usr/bin/morvel-script/fc_info.sh
sb_assert_status 0
sb_assert_stdout <<<"No Fibre Channel port was found on this host."

sb_finish
