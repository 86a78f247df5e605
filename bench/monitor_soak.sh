#!/bin/bash
# Soak of morvel_monitor: an hour of monitor time in the test sandbox, the clock running ten
# times faster (libfaketime, so a dynamic build of the monitor: the sanitizer build by
# default). The topology changes at every cycle (a path's checker state, and a LUN with its
# two paths, come and go), while the monitor faces in turn:
#   minutes  0-10  a healthy host, multipathd running
#           10-20  no daemon, and a multipath -ll that hangs
#           20-30  a daemon that stops answering (multipath -ll answers)
#           30-40  /dumps full (the log and the snapshot cannot be written)
#           40-60  a healthy host again
# It prints the cycles due and run, the change lines expected and written, the lines lost
# (expected but never written, or written out of turn), zombies and peak memory.
#
#   bench/monitor_soak.sh [--monitor PATH] [--minutes M] [--speed N]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
monitor=$src/build-asan/morvel_monitor minutes=60 speed=10 inner=0
while (($#)); do
    case "$1" in
        --monitor) monitor=$(realpath "$2"); shift ;;
        --minutes) minutes=$2; shift ;;
        --speed) speed=$2; shift ;;
        --inner) inner=1 ;;
        *) echo "monitor_soak: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
if ((!inner)); then
    [[ -x "$monitor" ]] || { echo "monitor_soak: no monitor at $monitor (build build-asan, or --monitor)" >&2; exit 2; }
    ! readelf -lW "$monitor" | grep -q INTERP && { echo "monitor_soak: $monitor is static: the fake clock needs a dynamic build" >&2; exit 2; }
    exec "$src/tests/sandbox/run-in-sandbox.sh" --bind "$(dirname "$monitor")" -- \
        bash "$0" --inner --monitor "$monitor" --minutes "$minutes" --speed "$speed"
fi

# ---------------------------------------------------------------- inside the sandbox
S=/run/soak
mkdir -p "$S" /usr/local/sbin /dumps
mount -t tmpfs -o size=16m,mode=0700 tmpfs /dumps
fixture=$src/tests/fixtures/mpath/scsi-debug-2-luns.multipath-ll
cp "$fixture" "$S/t0"
# t1: sdc's checker fails and mpathb is gone with its two paths: four lines each way
sed -e 's/ sdc 8:32 active ready running/ sdc 8:32 failed faulty running/' -e '/^mpathb/,$d' "$fixture" >"$S/t1"
echo normal >"$S/phase"
: >"$S/served"
: >"$S/calls"

# The fakes: each answer alternates between t0 and t1 and is recorded with the phase it
# was served in; "hang" and "silent" phases make multipath -ll and the daemon hang.
cat >/usr/local/sbin/multipath <<'F'
#!/bin/bash
S=/run/soak; phase=$(cat $S/phase)
[[ -f /run/multipathd.pid ]] && echo M >>$S/calls || echo M-cycle >>$S/calls
[[ $phase == hang ]] && exec sleep 100000
exec 9>$S/lock; flock 9
n=$(wc -l <$S/served); s=$((n % 2)); echo "$s $phase" >>$S/served
cat $S/t$s
F
cat >/usr/local/sbin/multipathd <<'F'
#!/bin/bash
S=/run/soak
echo D-cycle >>$S/calls
[[ $(cat $S/phase) == silent ]] && exec sleep 100000
exec 9>$S/lock; flock 9
n=$(wc -l <$S/served); s=$((n % 2)); echo "$s $(cat $S/phase)" >>$S/served
cat $S/t$s
F
chmod 0755 /usr/local/sbin/multipath /usr/local/sbin/multipathd
daemon_on() { cp /bin/sleep "$S/multipathd"; "$S/multipathd" infinity & echo $! >/run/multipathd.pid; }
daemon_off() { kill "$(cat /run/multipathd.pid)" 2>/dev/null; rm -f /run/multipathd.pid; }

daemon_on
LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 FAKETIME="+0 x$speed" \
    ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0" "$monitor" 2>"$S/stderr" &
mon=$!
real() { echo $(($1 * 60 / speed)); }  # real seconds of monitor minutes
t0=$SECONDS zombies_max=0
phase_at() {  # the phase of monitor minute M
    local m=$1
    if ((m < minutes / 6)); then echo normal
    elif ((m < minutes / 3)); then echo hang
    elif ((m < minutes / 2)); then echo silent
    elif ((m < minutes * 2 / 3)); then echo full
    else echo normal; fi
}
current=normal
while (((SECONDS - t0) < $(real "$minutes"))); do
    m=$(((SECONDS - t0) * speed / 60))
    want=$(phase_at "$m")
    if [[ $want != "$current" ]]; then
        case $current in hang) daemon_on ;; full) rm -f /dumps/filler ;; esac
        case $want in
            hang) daemon_off ;;
            full) head -c 16m /dev/zero >/dumps/filler 2>/dev/null || true ;;
        esac
        echo "$want" >"$S/phase"
        current=$want
        echo "monitor minute $m: $want"
    fi
    z=$(ps --ppid "$mon" -o stat= | grep -c '^Z' || true)
    ((z > zombies_max)) && zombies_max=$z
    kill -0 "$mon" || { echo "monitor_soak: the monitor died"; exit 1; }
    sleep 1
done
sleep 3
zombies_end=$(ps --ppid "$mon" -o stat= | grep -c '^Z' || true)
peak=$(awk '/VmHWM/ { print $2, $3 }' "/proc/$mon/status")
kill "$mon"
wait "$mon" 2>/dev/null || true
daemon_off

# ---------------------------------------------------------------- the reckoning
cycles=$(grep -c -- '-cycle$' "$S/calls" || true)
# Replay: the first answer creates everything; later an answer that differs from what was
# last logged gives four lines, unless /dumps was full (then nothing is logged or kept).
read -r expected lost_full < <(awk '
    NR == 1 { committed = $1; lines = ($1 == 0) ? 6 : 3; next }
    $1 != committed { if ($2 == "full") { full += 4 } else { lines += 4; committed = $1 } }
    END { print lines, full }' "$S/served")
written=$(grep -c 'The ' /dumps/morvel_monitor.log || true)
# out of turn: two lines in a row for sdc that do not alternate
out_of_turn=$(grep -o 'changed from \[[a-z]*\] to \[[a-z]*\] for the path \[ dev_name: sdc' /dumps/morvel_monitor.log |
    awk '{ if (NR > 1 && $3 != last) bad++; last = $5 } END { print bad + 0 }')
lost=$((expected > written ? expected - written : 0))
echo "monitor minutes: $minutes at x$speed; cycles due: $((minutes * 6)); cycles run: $cycles"
echo "change lines expected: $expected; written: $written; lost: $lost; out of turn: $out_of_turn"
echo "lines that could not be written while /dumps was full (sent to standard error, logged again later): $(grep -c '^\[' "$S/stderr" || true)"
echo "timed-out commands: $(grep -c 'did not end within' /dumps/morvel_cli.log || true)"
echo "zombies: $zombies_end at the end, at most $zombies_max at once; peak memory: $peak"
((lost == 0 && out_of_turn == 0 && zombies_end == 0))
