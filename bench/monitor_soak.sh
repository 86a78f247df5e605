#!/bin/bash
# Soak of morvel_monitor: an hour of monitor time in the test sandbox, the clock running ten
# times faster (libfaketime, so a dynamic build of the monitor: the sanitizer build by
# default). The topology changes at every cycle (a path's checker state, and a LUN with its
# two paths, come and go), while the monitor faces in turn:
#   minutes  0-10  a healthy host, multipathd running
#           10-20  no daemon, and a multipath -ll that hangs
#           20-30  a daemon that stops answering (multipath -ll answers)
#           30-40  /dumps full (the log and the snapshot cannot be written)
#           40-58  a healthy host again
#           58-60  the topology holds still, so that the last state can be compared
# It prints the cycles due and run, the change lines written, the lines lost (a change that
# was never logged shows as two lines in a row that do not alternate, or as a last logged
# state that is not the topology's), zombies and peak memory. Every answer of the fakes
# alternates between two topologies that differ by four change lines.
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
n=$(wc -l <$S/served); s=$((n % 2)); [[ $phase == steady ]] && s=0; echo "$s $phase" >>$S/served
cat $S/t$s
F
cat >/usr/local/sbin/multipathd <<'F'
#!/bin/bash
S=/run/soak
echo D-cycle >>$S/calls
[[ $(cat $S/phase) == silent ]] && exec sleep 100000
exec 9>$S/lock; flock 9
phase=$(cat $S/phase); n=$(wc -l <$S/served); s=$((n % 2)); [[ $phase == steady ]] && s=0
echo "$s $phase" >>$S/served
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
    elif ((m < minutes - 2)); then echo normal
    else echo steady; fi
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
log=/dumps/morvel_monitor.log
written=$(grep -c 'The ' "$log" || true)
# A change never logged breaks the alternation of sdc's checker state or of mpathb's LUN
# lines, or leaves a last logged state other than the topology's (t0: sdc ready, mpathb there).
breaks=$(grep -oE 'changed from \[[a-z]+\] to \[[a-z]+\] for the path \[ dev_name: sdc|lun is (created|deleted), the properties are \[ path_alias: mpathb' "$log" |
    awk '/sdc/ { split($0, w, /[][]/); if (n_s++ && w[2] != last_s) bad++; last_s = w[4] }
         /mpathb/ { k = /created/ ? "c" : "d"; if (k == last_l) bad++; last_l = k }
         END { if (last_s != "ready" || last_l != "c") bad++; print bad + 0 }')
{ IFS= read -r first; } <"$S/served"
echo "monitor minutes: $minutes at x$speed; cycles due: $((minutes * 6)); cycles run: $cycles"
echo "answers served (alternating): $(grep -c . "$S/served"); change lines written: $written; changes lost: $breaks"
echo "change lines sent to standard error while /dumps was full, and logged again later: $(grep -c '^\[' "$S/stderr" || true)"
echo "timed-out commands: $(grep -c 'did not end within' /dumps/morvel_cli.log || true)"
echo "zombies: $zombies_end at the end, at most $zombies_max at once; peak memory: $peak"
((breaks == 0 && zombies_end == 0))
