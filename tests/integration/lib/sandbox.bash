# Integration-test harness: runs the installed-layout morvel programs as root on a simulated
# host inside tests/sandbox/run-in-sandbox.sh, with fake host tools first in PATH.
# Source it from a tests/integration/*_test.sh script; see tests/integration/README.md.
#
# A case is a directory on the host (mktemp) with:
#   root/   the simulated host's own files, copied over / at the start of every sandbox
#           session (etc/multipath.conf, sys/block/sdb/device/state, dev/disk/by-path/...);
#           what the programs leave in /dumps, /sys, /dev/disk, /etc/multipath* (and the
#           paths given to sb_persist) is copied back here when a session ends, so the host
#           keeps its state from one sb_run to the next within a case.
#   fake/   replies of the fake tools (see fakes/fake-tool), written with sb_fake.
#   out/    results of the last run: stdout, stderr, status, cmdlog (calls of fake tools),
#           shlog (command lines the programs gave to the shell); runs/N/ keeps every run.
# Inside a session the case directory is /sandbox-export.

# shellcheck disable=SC2034  # some settings are used by session.bash only
SB_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${MORVEL_SRC:=$(cd "$SB_LIB_DIR/../../.." && pwd)}"
: "${MORVEL_STAGE:=$MORVEL_SRC/build/stage}"
: "${SB_TEST_DIR:=$(cd "$(dirname "${BASH_SOURCE[1]:-$0}")" && pwd)}"
: "${SB_RUN_TIMEOUT:=120}"
export MORVEL_SRC MORVEL_STAGE SB_TEST_DIR SB_LIB_DIR SB_RUN_TIMEOUT
SB_FAKES_DIR="$SB_LIB_DIR/../fakes"
# the programs run their commands with a fixed PATH that starts here
SB_FAKE_BIN=/usr/local/sbin
SB_DEFAULT_FAKES=(multipath multipathd systemctl service)
SB_PERSIST_DEFAULT=(/dumps /sys /dev/disk /etc/multipath.conf /etc/multipath.conf.bk /etc/multipath)

if [[ "${SB_INSIDE:-}" != 1 ]]; then
    SB_INSIDE=0
    SB_CASE=""
    SB_CASE_TITLE=""
    SB_PASSED=0
    SB_FAILED=0
    SB_FAILED_TITLES=()
    # A bare sb_fake (no redirection) must not wait on the terminal or on ctest's stdin.
    exec </dev/null
fi

# ---------------------------------------------------------------- cases

# sb_new: make a fresh case directory and make it the current case. Prints its path.
sb_new() {
    SB_CASE=$(mktemp -d /tmp/morvel-it.XXXXXX)
    mkdir -p "$SB_CASE"/{root,fake,out/runs}
    : >"$SB_CASE/failures"
    echo "$SB_CASE"
}

# sb_case TITLE: end the previous case (if any) and start a new one.
sb_case() {
    _sb_end_case
    SB_CASE_TITLE="$*"
    sb_new >/dev/null
    printf '%s\n' "$SB_CASE_TITLE" >"$SB_CASE/title"
}

_sb_end_case() {
    [[ -n "$SB_CASE" && "$SB_INSIDE" == 0 ]] || return 0
    if [[ -s "$SB_CASE/failures" ]]; then
        SB_FAILED=$((SB_FAILED + 1))
        SB_FAILED_TITLES+=("$SB_CASE_TITLE")
        echo "not ok - $SB_CASE_TITLE   (case kept in $SB_CASE)"
    else
        SB_PASSED=$((SB_PASSED + 1))
        echo "ok - $SB_CASE_TITLE"
        [[ "${SB_KEEP:-}" == 1 ]] || rm -rf "$SB_CASE"
    fi
    SB_CASE=""
}

# sb_finish: end the last case, print the tally and exit 1 if any case failed.
sb_finish() {
    _sb_end_case
    local t
    for t in "${SB_FAILED_TITLES[@]}"; do echo "FAILED: $t"; done
    echo "${SB_SUITE:-${0##*/}}: $SB_PASSED passed, $SB_FAILED failed"
    ((SB_FAILED == 0))
}

_sb_need_case() {
    [[ -n "$SB_CASE" ]] || sb_case "${FUNCNAME[2]:-case}"
}

# ---------------------------------------------------------------- the simulated host's files

# sb_file PATH: where the simulated host's file PATH is to be read or written right now
# (the live file inside a session; the case's copy outside).
sb_file() {
    _sb_need_case
    if [[ "$SB_INSIDE" == 1 ]]; then printf '%s' "$1"; else printf '%s' "$SB_CASE/root$1"; fi
}

# sb_put PATH [TEXT]: write a file of the simulated host: TEXT and a newline, or stdin exactly.
sb_put() {
    local f
    _sb_unrm "$1"
    f=$(sb_file "$1")
    mkdir -p "$(dirname "$f")"
    if [[ $# -ge 2 ]]; then printf '%s\n' "$2" >"$f"; else cat >"$f"; fi
}

# sb_copy SRC PATH [MODE]: copy a host file (a fixture) into the simulated host.
sb_copy() {
    local f
    _sb_unrm "$2"
    f=$(sb_file "$2")
    mkdir -p "$(dirname "$f")"
    cp "$1" "$f"
    [[ -z "${3:-}" ]] || chmod "$3" "$f"
}

# sb_link PATH TARGET: make a symbolic link (e.g. a /dev/disk/by-path entry).
sb_link() {
    local f
    _sb_unrm "$1"
    f=$(sb_file "$1")
    mkdir -p "$(dirname "$f")"
    ln -sfn "$2" "$f"
}

# sb_rm PATH: remove a file of the simulated host; a file of the installed product or of
# the build machine itself (/etc/os-release, ...) stays removed in every later session of
# the case, until a later sb_put/sb_copy/sb_link of the same path.
sb_rm() {
    _sb_need_case
    if [[ "$SB_INSIDE" == 1 ]]; then
        rm -rf "$1"
    else
        rm -rf "${SB_CASE:?}/root$1"
        if [[ -e "$MORVEL_STAGE$1" || -L "$MORVEL_STAGE$1" || -e "$1" || -L "$1" ]]; then
            _sb_unrm "$1"
            sb_setup "rm -rf '$1'"
        fi
    fi
}

# _sb_unrm PATH: forget an earlier sb_rm of PATH, so that a file put there again survives.
_sb_unrm() {
    [[ "$SB_INSIDE" != 1 && -n "${SB_CASE:-}" && -f "$SB_CASE/setup.bash" ]] || return 0
    grep -vxF "rm -rf '$1'" "$SB_CASE/setup.bash" >"$SB_CASE/setup.bash.new" || true
    mv "$SB_CASE/setup.bash.new" "$SB_CASE/setup.bash"
}

# sb_fixture NAME: the path of tests/fixtures/NAME.
sb_fixture() { printf '%s' "$MORVEL_SRC/tests/fixtures/$1"; }

# sb_setup 'COMMANDS': bash commands run inside every session of the case, after the
# installed layout and root/ are in place and before the first program runs.
sb_setup() {
    _sb_need_case
    printf '%s\n' "$*" >>"$SB_CASE/setup.bash"
}

# sb_env NAME=VALUE...: extra environment for the programs of this case.
sb_env() {
    _sb_need_case
    printf '%s\n' "$@" >>"$SB_CASE/env"
}

# sb_persist PATH...: carry these paths back to root/ at the end of a session too.
sb_persist() {
    _sb_need_case
    printf '%s\n' "$@" >>"$SB_CASE/persist"
}

# ---------------------------------------------------------------- fake tools

# sb_fake TOOL [ARGS...] [options]: the reply of TOOL when called with ARGS (or with
# arguments that begin with ARGS, when no longer list has a reply; no ARGS: any call).
#   stdout: stdin exactly (default), --out TEXT (TEXT and a newline), --out-file FILE
#   stderr: --err TEXT (and a newline), --err-file FILE
#   --status N   exit status          --delay SEC   sleep first
#   --run FILE   a bash script run with the call's arguments instead
#   --then       add this reply as the next step of a sequence instead of replacing the
#                reply: calls take the steps in order and the last step repeats. A new
#                reply (without --then) starts counting calls afresh.
# Options may stand anywhere; after "--" every word is a tool argument.
sb_fake() {
    _sb_need_case
    local out="" out_set=0 out_file="" err="" err_set=0 err_file="" status=0 delay="" run="" seq=0
    local tool="" literal=0 targs=()
    while [[ $# -gt 0 ]]; do
        if [[ "$literal" == 0 ]]; then
            case "$1" in
                --out) out="$2"$'\n'; out_set=1; shift 2; continue ;;
                --out-file) out_file="$2"; shift 2; continue ;;
                --err) err="$2"$'\n'; err_set=1; shift 2; continue ;;
                --err-file) err_file="$2"; shift 2; continue ;;
                --status) status="$2"; shift 2; continue ;;
                --delay) delay="$2"; shift 2; continue ;;
                --run) run="$2"; shift 2; continue ;;
                --then) seq=1; shift; continue ;;
                --) literal=1; shift; continue ;;
            esac
        fi
        if [[ -z "$tool" ]]; then tool="$1"; else targs+=("$1"); fi
        shift
    done
    set -- "${targs[@]}"
    local key="" a
    for a in "$@"; do key+="${key:+ }$(_sb_encode "$a")"; done
    [[ -n "$key" ]] || key=@
    # The reply is a symbolic link to a version folder, so that a fake called meanwhile
    # (a daemon in the background) sees the old reply or the new one, never none or half.
    local td="$SB_CASE/fake/$tool" d v s n=1
    d="$td/$key"
    mkdir -p "$td"
    if [[ "$seq" == 1 && -d "$d" ]]; then
        v=$(cd "$d" && pwd -P)
        while [[ -d "$v/$n" ]]; do n=$((n + 1)); done
    else
        v=$(mktemp -d "$td/.v.XXXXXX")
        chmod 0755 "$v"
    fi
    s=$(mktemp -d "$v/.new.XXXXXX")
    if [[ -n "$run" ]]; then
        cp "$run" "$s/run"
    elif [[ -n "$out_file" ]]; then
        cp "$out_file" "$s/stdout"
    elif [[ "$out_set" == 1 ]]; then
        printf '%s' "$out" >"$s/stdout"
    else
        cat >"$s/stdout"
    fi
    if [[ -n "$err_file" ]]; then cp "$err_file" "$s/stderr"
    elif [[ "$err_set" == 1 ]]; then printf '%s' "$err" >"$s/stderr"; fi
    printf '%s\n' "$status" >"$s/status"
    [[ -z "$delay" ]] || printf '%s\n' "$delay" >"$s/delay"
    mv -T "$s" "$v/$n"
    if [[ "$v" != "$(cd "$d" 2>/dev/null && pwd -P)" ]]; then
        rm -rf "$d.tmp"
        ln -s "${v##*/}" "$d.tmp"
        mv -T "$d.tmp" "$d"
    fi
}

# sb_fake_tool NAME...: also fake these tools (besides multipath, multipathd, systemctl, service).
sb_fake_tool() {
    _sb_need_case
    printf '%s\n' "$@" >>"$SB_CASE/fake/.tools"
    if [[ "$SB_INSIDE" == 1 ]]; then
        local t
        for t in "$@"; do install -m 0755 "$SB_FAKES_DIR/fake-tool" "$SB_FAKE_BIN/$t"; done
    fi
}

# sb_fake_script NAME...: replace the installed helper script /usr/bin/morvel-script/NAME
# by a fake tool; its replies are set with sb_fake NAME ARGS... and its calls are logged.
sb_fake_script() {
    _sb_need_case
    local s
    for s in "$@"; do
        sb_copy "$SB_FAKES_DIR/fake-tool" "/usr/bin/morvel-script/$s" 0755
    done
}

# sb_fake_calls TOOL [ARGS...]: how many times the reply for exactly these ARGS was taken.
sb_fake_calls() {
    local tool="$1"; shift
    local key="" a
    for a in "$@"; do key+="${key:+ }$(_sb_encode "$a")"; done
    [[ -n "$key" ]] || key=@
    local f="$SB_CASE/fake/$tool/$key/.calls"
    if [[ -f "$f" ]]; then cat "$f"; else echo 0; fi
}

# sb_mpath_stderr LINE...: LINEs as multipath(8) writes them to standard error, each behind
# its "<seconds>.<microseconds> | " stamp.
sb_mpath_stderr() {
    local l
    for l in "$@"; do printf '56.080576 | %s\n' "$l"; done
}

_sb_encode() {
    local s=$1
    s=${s//%/%25}
    s=${s//\//%2F}
    s=${s// /%20}
    s=${s//$'\n'/%0A}
    [[ -n "$s" ]] || s=%00
    printf '%s' "$s"
}

# ---------------------------------------------------------------- running

# sb_run [--stdin FILE] COMMAND [ARGS...]: run a program on the simulated host as root with
# LC_ALL=C and the fakes first in PATH. Outside a session each sb_run is a session of its own.
sb_run() {
    _sb_need_case
    if [[ "$SB_INSIDE" == 1 ]]; then
        _sb_run_inside "$@"
    else
        _sb_session run "$@"
    fi
}

# sb_script [FILE]: run a bash script (FILE, or stdin) in one session; the sb_* functions work
# inside it (sb_run, sb_fake, sb_put, sb_bg, assertions ...), against the live host.
sb_script() {
    _sb_need_case
    local n=1
    while [[ -e "$SB_CASE/script.$n.bash" ]]; do n=$((n + 1)); done
    if [[ $# -ge 1 ]]; then cp "$1" "$SB_CASE/script.$n.bash"; else cat >"$SB_CASE/script.$n.bash"; fi
    _sb_session script "/sandbox-export/script.$n.bash"
}

_sb_session() {
    if [[ ! -x "$MORVEL_STAGE/usr/bin/morvel" ]]; then
        _sb_fail "no staged install at $MORVEL_STAGE (build, then: DESTDIR=<build>/stage cmake --install <build>)"
        return 1
    fi
    local rc
    local host_case=$SB_CASE
    (cd / && env SB_INSIDE=1 SB_CASE=/sandbox-export SB_CASE_TITLE="$SB_CASE_TITLE" \
        "$MORVEL_SRC/tests/sandbox/run-in-sandbox.sh" --export "$host_case" --bind "$MORVEL_STAGE" -- \
        bash "$SB_LIB_DIR/session.bash" "$@") >"$SB_CASE/session.log" 2>&1
    rc=$?
    if [[ $rc != 0 ]]; then
        _sb_fail "sandbox session ended with status $rc:"$'\n'"$(tail -n 30 "$SB_CASE/session.log")"
    fi
    cat "$SB_CASE/session.log"
    if [[ -d "$SB_CASE/golden-updates" ]]; then
        cp -a "$SB_CASE/golden-updates/." /
        rm -rf "$SB_CASE/golden-updates"
    fi
    return 0
}

_sb_env_list() {
    local -n _list=$1
    _list=(
        "PATH=$SB_FAKE_BIN:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
        LC_ALL=C HOME=/root TERM=dumb
        "SB_FAKE_DIR=$SB_CASE/fake"
    )
    local v
    for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
        [[ -z "${!v:-}" ]] || _list+=("$v=${!v}")
    done
    if [[ -f "$SB_CASE/env" ]]; then
        while IFS= read -r v; do [[ -z "$v" ]] || _list+=("$v"); done <"$SB_CASE/env"
    fi
}

_sb_run_inside() {
    local stdin=/dev/null
    if [[ "$1" == --stdin ]]; then stdin="$2"; shift 2; fi
    local o="$SB_CASE/out" envs
    _sb_env_list envs
    : >"$o/cmdlog"
    : >"$o/shlog"
    printf '%s\n' "$*" >"$o/command"
    timeout --kill-after=5 "$SB_RUN_TIMEOUT" \
        env -i "${envs[@]}" "SB_CMDLOG=$o/cmdlog" "SB_SHLOG=$o/shlog" "$@" \
        <"$stdin" >"$o/stdout" 2>"$o/stderr"
    echo $? >"$o/status"
    local n=1
    while [[ -e "$o/runs/$n" ]]; do n=$((n + 1)); done
    mkdir -p "$o/runs/$n"
    cp "$o"/{command,stdout,stderr,status,cmdlog,shlog} "$o/runs/$n/"
    if [[ "$(<"$o/status")" == 124 ]]; then
        _sb_fail "[$*] did not end within $SB_RUN_TIMEOUT s"
    fi
    if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$o/stderr"; then
        _sb_fail "[$*] sanitizer report:"$'\n'"$(head -n 40 "$o/stderr")"
    fi
}

# sb_bg COMMAND [ARGS...]: (inside a session) start a program in the background with the
# same environment; its output goes to out/bg.N.{stdout,stderr}, its fake calls to
# out/bg.N.cmdlog. Prints N. Background programs are killed when the session ends.
sb_bg() {
    local o="$SB_CASE/out" envs n=1
    _sb_env_list envs
    while [[ -e "$o/bg.$n.stdout" ]]; do n=$((n + 1)); done
    env -i "${envs[@]}" "SB_CMDLOG=$o/bg.$n.cmdlog" "SB_SHLOG=$o/bg.$n.shlog" "$@" \
        </dev/null >"$o/bg.$n.stdout" 2>"$o/bg.$n.stderr" &
    echo $! >"$o/bg.$n.pid"
    echo "$n"
}

# sb_bg_stop [N]: stop background program N (default: all) with SIGTERM, then SIGKILL.
sb_bg_stop() {
    local f pid
    for f in "$SB_CASE"/out/bg.${1:-*}.pid; do
        [[ -f "$f" ]] || continue
        pid=$(<"$f")
        kill -TERM "$pid" 2>/dev/null
        for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        rm -f "$f"
    done
    return 0
}

# sb_wait_until SECONDS COMMAND...: poll COMMAND every 0.2 s until it succeeds; fails (and
# records a failure) when it has not succeeded within SECONDS.
sb_wait_until() {
    local limit=$1; shift
    local end=$((SECONDS + limit))
    while ((SECONDS <= end)); do
        "$@" 2>/dev/null && return 0
        sleep 0.2
    done
    _sb_fail "condition not met within $limit s: $*"
    return 1
}

# ---------------------------------------------------------------- assertions
# Each records a failure in the case (and prints it) and returns 1; the script goes on.

# sb_fail MESSAGE: record a failure of the current case (for checks of a test's own).
sb_fail() { _sb_fail "$@"; }

_sb_fail() {
    local msg="FAIL${SB_CASE_TITLE:+ [$SB_CASE_TITLE]}: $1"
    printf '%s\n' "$msg" >&2
    [[ -z "$SB_CASE" ]] || printf '%s\n' "$msg" >>"$SB_CASE/failures"
    return 1
}

_sb_golden() {
    case "$1" in
        /*) printf '%s' "$1" ;;
        *) printf '%s' "$SB_TEST_DIR/$1" ;;
    esac
}

# _sb_compare WHAT EXPECTED_FILE ACTUAL_FILE [GOLDEN_PATH]
_sb_compare() {
    if [[ -f "$2" ]] && cmp -s "$2" "$3"; then return 0; fi
    if [[ -n "${4:-}" && "${SB_UPDATE_GOLDEN:-}" == 1 ]]; then
        if [[ "$SB_INSIDE" == 1 ]]; then
            mkdir -p "$SB_CASE/golden-updates$(dirname "$4")"
            cp "$3" "$SB_CASE/golden-updates$4"
        else
            mkdir -p "$(dirname "$4")"
            cp "$3" "$4"
        fi
        echo "updated golden $4" >&2
        return 0
    fi
    local d
    if [[ -f "$2" ]]; then
        d=$(diff -u --label expected --label actual <(cat -A "$2") <(cat -A "$3") | head -n 80)
    else
        d="(expected file $2 is missing; actual:)"$'\n'"$(cat -A "$3" | head -n 60)"
    fi
    _sb_fail "$1 differs (cat -A view, \$ marks line ends):"$'\n'"$d"
}

# sb_assert_status N: exit status of the last run.
sb_assert_status() {
    local got
    got=$(<"$SB_CASE/out/status")
    [[ "$got" == "$1" ]] || _sb_fail "exit status of [$(<"$SB_CASE/out/command")]: expected $1, got $got"
}

# sb_assert_stdout_file GOLDEN: standard output byte for byte (GOLDEN relative to the test's
# folder). sb_assert_stdout: the same against stdin.
sb_assert_stdout_file() {
    local g
    g=$(_sb_golden "$1")
    _sb_compare "stdout of [$(<"$SB_CASE/out/command")] vs $1" "$g" "$SB_CASE/out/stdout" "$g"
}
sb_assert_stdout() {
    local t
    t=$(mktemp)
    cat >"$t"
    _sb_compare "stdout of [$(<"$SB_CASE/out/command")]" "$t" "$SB_CASE/out/stdout"
    local rc=$?
    rm -f "$t"
    return $rc
}

# sb_assert_stdout_contains ERE / sb_assert_stderr_empty
sb_assert_stdout_contains() {
    grep -qE -- "$1" "$SB_CASE/out/stdout" ||
        _sb_fail "stdout of [$(<"$SB_CASE/out/command")] has no match for /$1/:"$'\n'"$(head -n 40 "$SB_CASE/out/stdout")"
}
sb_assert_stdout_not_contains() {
    ! grep -qE -- "$1" "$SB_CASE/out/stdout" ||
        _sb_fail "stdout of [$(<"$SB_CASE/out/command")] matches /$1/:"$'\n'"$(grep -E -- "$1" "$SB_CASE/out/stdout" | head -n 5)"
}
# sb_assert_stdout_lines 'SED-SCRIPT': the lines that `sed -n SED-SCRIPT` picks from stdout
# equal stdin (e.g. '1,4p;6,$p' to leave out a line of free wording).
sb_assert_stdout_lines() {
    local t a rc
    t=$(mktemp)
    a=$(mktemp)
    cat >"$t"
    sed -n "$1" "$SB_CASE/out/stdout" >"$a"
    _sb_compare "stdout of [$(<"$SB_CASE/out/command")] lines '$1'" "$t" "$a"
    rc=$?
    rm -f "$t" "$a"
    return $rc
}
sb_assert_stderr_empty() {
    [[ ! -s "$SB_CASE/out/stderr" ]] ||
        _sb_fail "stderr of [$(<"$SB_CASE/out/command")] is not empty:"$'\n'"$(head -n 20 "$SB_CASE/out/stderr")"
}

# sb_assert_log_contains ERE [LOG]: a line of LOG (default /dumps/morvel_cli.log) matches.
sb_assert_log_contains() {
    local f
    f=$(sb_file "${2:-/dumps/morvel_cli.log}")
    grep -qE -- "$1" "$f" 2>/dev/null ||
        _sb_fail "${2:-/dumps/morvel_cli.log} has no line matching /$1/:"$'\n'"$(tail -n 20 "$f" 2>&1)"
}
sb_assert_log_not_contains() {
    local f
    f=$(sb_file "${2:-/dumps/morvel_cli.log}")
    ! grep -qE -- "$1" "$f" 2>/dev/null ||
        _sb_fail "${2:-/dumps/morvel_cli.log} has a line matching /$1/:"$'\n'"$(grep -E -- "$1" "$f" | head -n 5)"
}

# sb_assert_cmd_ran "LINE": a fake tool was called so ("multipath -f /dev/dm-3") in the last run.
# sb_assert_cmd_not_ran "LINE" / sb_assert_cmdlog (stdin: all calls, in order).
sb_assert_cmd_ran() {
    grep -qxF -- "$1" "$SB_CASE/out/cmdlog" ||
        _sb_fail "no call [$1]; calls were:"$'\n'"$(cat "$SB_CASE/out/cmdlog")"
}
sb_assert_cmd_not_ran() {
    ! grep -qxF -- "$1" "$SB_CASE/out/cmdlog" || _sb_fail "unexpected call [$1]"
}
sb_assert_cmdlog() {
    local t
    t=$(mktemp)
    cat >"$t"
    _sb_compare "calls of fake tools" "$t" "$SB_CASE/out/cmdlog"
    local rc=$?
    rm -f "$t"
    return $rc
}

# sb_assert_sh_ran "LINE": the program gave exactly this command line to the shell in the
# last run ("echo offline > /sys/block/sdc/device/state"). sb_assert_sh_not_ran ERE.
sb_assert_sh_ran() {
    grep -qxF -- "$1" "$SB_CASE/out/shlog" ||
        _sb_fail "no shell command [$1]; commands were:"$'\n'"$(cat "$SB_CASE/out/shlog")"
}
sb_assert_sh_not_ran() {
    ! grep -qE -- "$1" "$SB_CASE/out/shlog" ||
        _sb_fail "unexpected shell command matching /$1/:"$'\n'"$(grep -E -- "$1" "$SB_CASE/out/shlog")"
}

# sb_assert_file PATH [TEXT]: the host's file PATH holds TEXT and a newline, or stdin exactly.
sb_assert_file() {
    local f t rc
    f=$(sb_file "$1")
    [[ -e "$f" ]] || { _sb_fail "file $1 does not exist"; return 1; }
    t=$(mktemp)
    if [[ $# -ge 2 ]]; then printf '%s\n' "$2" >"$t"; else cat >"$t"; fi
    _sb_compare "file $1" "$t" "$f"
    rc=$?
    rm -f "$t"
    return $rc
}
# sb_assert_file_golden PATH GOLDEN
sb_assert_file_golden() {
    local f g
    f=$(sb_file "$1")
    g=$(_sb_golden "$2")
    [[ -e "$f" ]] || { _sb_fail "file $1 does not exist"; return 1; }
    _sb_compare "file $1 vs $2" "$g" "$f" "$g"
}
sb_assert_file_contains() {
    local f
    f=$(sb_file "$1")
    grep -qE -- "$2" "$f" 2>/dev/null || _sb_fail "file $1 has no line matching /$2/"
}
sb_assert_no_file() {
    local f
    f=$(sb_file "$1")
    [[ ! -e "$f" && ! -L "$f" ]] || _sb_fail "file $1 exists"
}
