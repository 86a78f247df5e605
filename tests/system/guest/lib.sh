# Checks and helpers of the guest-side scenarios (sourced; bash inside the test VM).
# Every check appends "PASS <scenario>: <what>" or "FAIL <scenario>: <what>" to
# $SYSTEST_OUT/results; a failure also writes what it expected and what it saw to
# $SYSTEST_OUT/failures and to the console.

SYSTEST_OUT=${SYSTEST_OUT:-/systest/out}
SCEN=${SCEN:-setup}
export LC_ALL=C
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

CLI_LOG=/dumps/morvel_cli.log
MON_LOG=/dumps/morvel_monitor.log

# say TEXT: a progress line on the console (the host shows it) and in the scenario's log.
say() {
    printf '\nsystest: %s\n' "$*" >/dev/console
    printf '=== %s\n' "$*"
}

# note TEXT: a line in the scenario's log only.
note() { printf '%s\n' "$*"; }

_indent() { sed 's/^/      | /'; }

pass() {
    printf 'PASS %s: %s\n' "$SCEN" "$1" >>"$SYSTEST_OUT/results"
    printf 'ok   %s\n' "$1"
}

# fail WHAT EXPECTED SAW
fail() {
    local what=$1 expected=$2 saw=$3 report
    printf 'FAIL %s: %s\n' "$SCEN" "$what" >>"$SYSTEST_OUT/results"
    report=$(
        printf 'FAIL %s: %s\n' "$SCEN" "$what"
        printf '    expected:\n'
        printf '%s\n' "$expected" | _indent
        printf '    saw:\n'
        printf '%s\n' "$saw" | head -n 60 | _indent
    )
    printf '%s\n' "$report" >>"$SYSTEST_OUT/failures"
    printf '%s\n' "$report"
    printf '%s\n' "$report" | sed 's/^/systest: /' >/dev/console
    return 1
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
    if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1" "$2" "$3"; fi
}

# expect_match WHAT ERE TEXT: some line of TEXT matches the extended regular expression.
expect_match() {
    if grep -Eq -- "$2" <<<"$3"; then pass "$1"; else fail "$1" "a line matching /$2/" "$3"; fi
}

# expect_no_match WHAT ERE TEXT
expect_no_match() {
    local hit
    if hit=$(grep -E -- "$2" <<<"$3"); then
        fail "$1" "no line matching /$2/" "$hit"
    else
        pass "$1"
    fi
}

# poll SECONDS COMMAND...: runs COMMAND every second until it succeeds or SECONDS have passed.
# The output of the last attempt is in $WAITED.
poll() {
    local limit=$1 start=$SECONDS
    shift
    until WAITED=$("$@" 2>&1); do
        ((SECONDS - start >= limit)) && return 1
        sleep 1
    done
    return 0
}

# wait_for WHAT SECONDS COMMAND...: poll, recorded as a check.
wait_for() {
    local what=$1 limit=$2 start=$SECONDS
    shift 2
    if poll "$limit" "$@"; then
        pass "$what (after $((SECONDS - start)) s)"
    else
        fail "$what" "within $limit s: $*" "$WAITED"
    fi
}

# mor ARGS...: runs the installed morvel; $OUT holds its standard output and error, $RC its
# exit status. The call and its output go to the scenario's log.
mor() {
    OUT=$(morvel "$@" 2>&1)
    RC=$?
    printf '$ morvel %s\n%s\n(exit status %s)\n' "$*" "$OUT" "$RC"
}

# expect_mor WHAT STATUS ARGS...: runs morvel and checks its exit status.
expect_mor() {
    local what=$1 status=$2
    shift 2
    mor "$@"
    if [[ "$RC" == "$status" ]]; then
        pass "$what (exit status $status)"
    else
        fail "$what" "exit status $status of: morvel $*" "exit status $RC; output:
$OUT"
    fi
}

# log_mark FILE: the number of lines FILE has now; log_since FILE MARK: the lines added since.
log_mark() { if [[ -f "$1" ]]; then wc -l <"$1"; else echo 0; fi; }
log_since() { [[ -f "$1" ]] && tail -n +"$(($2 + 1))" "$1"; }

# query_name WHAT NAME VDISK: "query NAME" succeeds and shows vdisk_name VDISK; LOG holds the
# lines it added to the CLI log.
query_name() {
    local mark
    mark=$(log_mark "$CLI_LOG")
    expect_mor "$1" 0 query "$2"
    expect_match "it shows the vdisk name $3" "^vdisk_name: $3\$" "$OUT"
    LOG=$(log_since "$CLI_LOG" "$mark")
}

# block REPORT ALIAS: the block of one device in a query report (its lines up to the blank line
# or frame after it)
block() { awk -v a="$2" '/^path_alias: / { p = ($2 == a) } p && (/^$/ || /^-+$/) { exit } p' <<<"$1"; }

# run CMD...: a host command whose call and output go to the scenario's log; returns its status.
run() {
    local rc out
    out=$("$@" 2>&1)
    rc=$?
    printf '# %s\n%s\n(exit status %s)\n' "$*" "$out" "$rc"
    return "$rc"
}

# The frame line above and below every result and report: 130 hyphens.
FRAME=$(printf '%.0s-' {1..130})
OK_TEXT="$FRAME
Command executed successfully.
$FRAME"
