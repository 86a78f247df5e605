# Shared by the sessions of monitor_test.sh (sourced inside a sandbox session).
# The fake multipath answers with the topology in /run/topo (first line: its exit status);
# set_topo swaps a new topology in atomically, so a query never sees half of one.
cat >/run/mp-reply <<'R'
{ IFS= read -r rc; cat; } </run/topo
exit "$rc"
R
set_topo() {  # set_topo STATUS [FILE]: multipath -ll exits with STATUS, printing FILE
    { echo "$1"; cat "${2:-/dev/null}"; } >/run/topo.new
    mv /run/topo.new /run/topo
}
[[ -f /run/topo ]] || set_topo 0
sb_fake multipath -ll --run /run/mp-reply
# No device-mapper here: the kernel's path counts are those of a host without maps.
sb_fake_tool dmsetup
sb_fake dmsetup --out "No devices found"

# The installed daemon. A dynamic (sanitizer) build runs with time ten times faster, a cycle
# every second, and accepts the preloaded library ahead of its runtime; the static build
# that ships loads no library and runs on the real clock.
start_monitor() {
    sb_bg env LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 FAKETIME="+0 x10" \
        ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" morvel_monitor >/dev/null
}
# The change lines so far, without their timestamps.
changes() {
    sed -E 's/^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\.[0-9]{3}\] //' /dumps/morvel_monitor.log 2>/dev/null
}
has_changes() { [[ $(changes | wc -l) -ge $1 ]]; }
queries() { cat "$SB_CASE"/out/bg.*.cmdlog 2>/dev/null | grep -c '^multipath -ll$'; }
queried() { [[ $(queries) -ge $1 ]]; }
# wait_cycles N: the daemon has queried the topology N more times
wait_cycles() { sb_wait_until 60 queried $(($(queries) + $1)); }
# The changes logged from line FROM on equal stdin.
assert_changes_from() {
    changes | tail -n +"$1" >/tmp/changes
    sb_assert_file /tmp/changes
}

A=333333330000007d0
B=333333330000007d1
# mk FILE: the real two-LUN capture, edited by the sed script on stdin
mk() { sed -f - "$MORVEL_SRC/tests/fixtures/mpath/scsi-debug-2-luns.multipath-ll" >"$1"; }
mk /run/t-both </dev/null
