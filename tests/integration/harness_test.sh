#!/bin/bash
# The harness itself: fake replies, call logs, host state between runs, background programs,
# and assertions that do catch differences.
source "$(dirname "$0")/lib/sandbox.bash"

sb_case "fake replies: exact arguments, longest leading match, tool default, none"
sb_fake multipath -ll --out "all maps"
sb_fake multipath -ll mpatha --out "map a" --err "$(sb_mpath_stderr 'mpatha: warn')" --status 2
sb_fake systemctl --out "any systemctl call"
sb_run bash -c 'multipath -ll mpatha 2>&1; echo "rc=$?"; multipath -ll mpathb; multipath -ll;
                systemctl status multipathd.service; multipathd show maps; echo "rc=$?"'
sb_assert_status 0
sb_assert_stdout <<'EOF'
56.080576 | mpatha: warn
map a
rc=2
all maps
all maps
any systemctl call
rc=0
EOF
sb_assert_cmdlog <<'EOF'
multipath -ll mpatha
multipath -ll mpathb
multipath -ll
systemctl status multipathd.service
multipathd show maps
EOF

sb_case "fake replies: sequences repeat their last step and survive between runs"
sb_fake multipath -f /dev/dm-3 --status 1 --err-file "$(sb_fixture mpath/multipath-f-map-in-use.stderr)"
sb_fake multipath -f /dev/dm-3 --then --out "gone"
sb_run bash -c 'for i in 1 2 3; do multipath -f /dev/dm-3 2>&1; echo "rc=$?"; done'
sb_assert_stdout <<'EOF'
56.080576 | mpatha: map in use
rc=1
gone
rc=0
gone
rc=0
EOF
sb_run bash -c 'multipath -f /dev/dm-3'
sb_assert_stdout <<<"gone"
[[ $(sb_fake_calls multipath -f /dev/dm-3) == 4 ]] || _sb_fail "call count $(sb_fake_calls multipath -f /dev/dm-3)"

sb_case "fake replies: arguments with blanks and slashes, --run scripts, fake helper scripts"
sb_fake multipathd "fail path" sdb --out "one word"
sb_fake multipathd fail path sdb --out-file "$(sb_fixture mpath/multipathd-fail-path-ok.out)"
printf 'echo "args: $*"; exit 7\n' >"$SB_CASE/run.sh"
sb_fake service --run "$SB_CASE/run.sh"
sb_fake_script fc_info.sh
sb_fake fc_info.sh --out "port list"
sb_run bash -c 'multipathd "fail path" sdb; multipathd fail path sdb; service multipathd status;
                echo "rc=$?"; bash /usr/bin/morvel-script/fc_info.sh'
sb_assert_stdout <<'EOF'
one word
ok
args: multipathd status
rc=7
port list
EOF
sb_assert_cmd_ran "fc_info.sh"

sb_case "shell command lines of morvel programs are logged, other programs' are not"
sb_setup 'cp /usr/bin/bash /usr/local/bin/morvelsh'
sb_put /sys/block/sdc/device/state running
sb_run morvelsh -c 'sh -c "multipath -ll mpatha"; sh -c "echo offline > /sys/block/sdc/device/state"; true'
sb_assert_sh_ran "multipath -ll mpatha"
sb_assert_sh_ran "echo offline > /sys/block/sdc/device/state"
sb_assert_file /sys/block/sdc/device/state offline
sb_run bash -c 'sh -c "multipath -ll mpathb"; true'
sb_assert_sh_not_ran 'mpathb'

sb_case "host state carries over between runs; host files and links are laid out"
sb_put /etc/multipath.conf "defaults {}"
sb_link /dev/disk/by-path/pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1 ../../sdb
sb_run bash -c 'mkdir -p /dumps && echo first >> /dumps/morvel_cli.log; readlink /dev/disk/by-path/*fc-0x22*'
sb_assert_stdout <<<"../../sdb"
sb_run bash -c 'echo second >> /dumps/morvel_cli.log; echo "x" >> /etc/multipath.conf; rm /dev/disk/by-path/*'
sb_assert_log_contains '^first$'
sb_assert_log_contains '^second$'
sb_assert_file /etc/multipath.conf <<<$'defaults {}\nx'
sb_assert_no_file /dev/disk/by-path/pci-0000:5e:00.0-fc-0x2200aabbccdd0003-lun-1

sb_case "one session: background program, changing replies, polling"
sb_script <<'EOF'
sb_fake multipath -ll --out "topology 1"
n=$(sb_bg bash -c 'while :; do multipath -ll >> /tmp/seen; sleep 0.1; done')
sb_wait_until 10 grep -q 'topology 1' /tmp/seen
sb_fake multipath -ll --out "topology 2"
sb_wait_until 10 grep -q 'topology 2' /tmp/seen
sb_bg_stop "$n"
grep -q '^multipath -ll$' "$SB_CASE/out/bg.$n.cmdlog" || sb_fail "background calls not logged"
# a reply replaced while a daemon keeps asking is seen whole, old or new, never missing
n=$(sb_bg bash -c 'while :; do [[ -n "$(multipath -ll)" ]] || echo missing >> /tmp/bad; done')
for i in {1..40}; do sb_fake multipath -ll --out "topology $i"; done
sb_fake multipath -ll --then --out "topology 41"
sb_bg_stop "$n"
[[ ! -e /tmp/bad ]] || sb_fail "reply missing $(wc -l </tmp/bad) times while being replaced"
sb_run true
sb_assert_status 0
EOF

sb_case "assertions catch differences (trailing blank, status, calls, missing golden)"
sb_run bash -c 'printf "a \n"; multipath -ll; exit 3'
(
    # shellcheck disable=SC2034  # read by the assertions
    SB_CASE_TITLE=""
    real=$SB_CASE
    SB_CASE=$(mktemp -d /tmp/morvel-it.XXXXXX)
    cp -a "$real/out" "$SB_CASE/"
    : >"$SB_CASE/failures"
    sb_assert_stdout <<<"a" 2>/dev/null
    sb_assert_status 0 2>/dev/null
    sb_assert_cmd_ran "multipath -ll x" 2>/dev/null
    sb_assert_cmd_not_ran "multipath -ll" 2>/dev/null
    SB_UPDATE_GOLDEN=0 sb_assert_stdout_file "$SB_CASE/no-such-golden" 2>/dev/null
    got=$(grep -c '^FAIL' "$SB_CASE/failures")
    rm -rf "$SB_CASE"
    SB_CASE=$real
    [[ $got == 5 ]] || _sb_fail "expected 5 recorded failures, got $got"
)
sb_assert_stdout <<<"a "
sb_assert_status 3

sb_case "a sanitizer report on standard error fails the case by itself"
sb_run bash -c 'echo "==1==ERROR: AddressSanitizer: heap-use-after-free" >&2' >/dev/null
if grep -q 'sanitizer report' "$SB_CASE/failures"; then
    : >"$SB_CASE/failures"
else
    sb_fail "the sanitizer report went unnoticed"
fi

sb_case "the sandbox binds a checkout and its build tree under /tmp and on a filesystem of their own"
# A checkout (the sandbox script) and a build tree with a test program in DIR, used like ctest
# does: from the build tree, and with the program's path from elsewhere. Prints what is wrong.
cat >"$SB_CASE/checkout.bash" <<'EOF'
d=$1 sb=$1/src/tests/sandbox/run-in-sandbox.sh
mkdir -p "$d/src/tests/sandbox" "$d/build/tests" && cp "$MORVEL_SRC/tests/sandbox/run-in-sandbox.sh" "$sb"
touch "$d/build/CMakeCache.txt"
printf '#!/bin/bash\ntouch "$1/from-sandbox" "${0%%/*}/from-sandbox" /etc/morvel-sandbox-probe && pwd\n' >"$d/build/tests/prog"
chmod +x "$d/build/tests/prog"
out=$(cd "$d/build/tests" && "$sb" ./prog "$d/src" /etc 2>&1)
[[ "$out" == "$d/build/tests" ]] || echo "$d: run from the build tree: $out"
rm -f "$d/src/from-sandbox" "$d/build/tests/from-sandbox"
out=$(cd / && "$sb" "$d/build/tests/prog" "$d/src" 2>&1) || echo "$d: run by path: $out"
[[ -f $d/src/from-sandbox && -f $d/build/tests/from-sandbox ]] || echo "$d: writes did not reach the host"
[[ ! -e /etc/morvel-sandbox-probe ]] || echo "$d: /etc was bound in"
EOF
tmp=$(mktemp -d /tmp/morvel-checkout.XXXXXX)
out=$(bash "$SB_CASE/checkout.bash" "$tmp/a"
      mkdir -p "$tmp/b"
      unshare --mount --propagation private bash -c \
          'mount -t tmpfs checkout "$2" && bash "$1" "$2"' - "$SB_CASE/checkout.bash" "$tmp/b")
rm -rf "$tmp"
[[ -z "$out" ]] || sb_fail "$out"

sb_finish
