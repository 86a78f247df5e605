# deadline: 600
# CPU time of morvel_monitor on a steady topology, run only on request:
#   cp <an earlier build>/morvel_monitor BUILD/monitor-cpu-baseline   (optional)
#   tests/system/run.sh --build-dir BUILD --no-build --stage tests/system/measure/monitor_cpu.sh
# The unit runs the installed monitor, then the baseline binary if there is one, each for
# MONITOR_CPU_SECONDS (180) after a 20 s start, with CPU accounting on; the unit's CPU time
# (the monitor and every command it runs) and the lines it wrote are printed as
# "monitor-cpu: NAME MS ms in S s, N lines" (console, out/monitor-cpu).

SECS=${MONITOR_CPU_SECONDS:-180}
DROPIN=/run/systemd/system/morvel_monitor.service.d/cpu.conf
cleanup() { rm -f "$DROPIN"; systemctl daemon-reload; systemctl restart morvel_monitor.service; }
trap cleanup EXIT
mkdir -p "${DROPIN%/*}"

measure() { # measure NAME [BINARY]
    {
        printf '[Service]\nCPUAccounting=yes\n'
        [[ -z "${2:-}" ]] || printf 'ExecStart=\nExecStart=%s\n' "$2"
    } >"$DROPIN"
    systemctl daemon-reload
    systemctl restart morvel_monitor.service
    sleep 20
    local mark c0 c1 n
    mark=$(log_mark "$MON_LOG")
    c0=$(systemctl show -p CPUUsageNSec --value morvel_monitor.service)
    sleep "$SECS"
    c1=$(systemctl show -p CPUUsageNSec --value morvel_monitor.service)
    n=$(log_since "$MON_LOG" "$mark" | wc -l)
    echo "monitor-cpu: $1 $(((c1 - c0) / 1000000)) ms in $SECS s, $n lines" | tee -a "$SYSTEST_OUT/monitor-cpu" >/dev/console
    expect_eq "$1: no line on a steady topology" 0 "$n"
}
poll 60 map_count_ready "$ISCSI_WWID" 2
measure installed
if [[ -x "$SYSTEST_BUILD/monitor-cpu-baseline" ]]; then
    cp "$SYSTEST_BUILD/monitor-cpu-baseline" /run/monitor-cpu-baseline
    measure baseline /run/monitor-cpu-baseline
fi
