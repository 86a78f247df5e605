# One sandbox session of a case, run by sandbox.bash inside run-in-sandbox.sh:
#   session.bash run COMMAND [ARGS...]   |   session.bash script FILE
# Lays out the installed product, the fakes and the case's host files, runs, and carries the
# host's state back to the case directory.
export SB_INSIDE=1
SB_CASE=/sandbox-export
: "${SB_CASE_TITLE:=}"
# shellcheck source=sandbox.bash
source "$(dirname "${BASH_SOURCE[0]}")/sandbox.bash"

_sb_layout() {
    # the installed layout: /usr/bin/morvel, morvel_monitor, morvel-help/, morvel-script/
    if [[ ! -x "$MORVEL_STAGE/usr/bin/morvel" ]]; then
        echo "session.bash: no staged install at $MORVEL_STAGE inside the sandbox" >&2
        exit 3
    fi
    cp -a "$MORVEL_STAGE/." /
    # fake tools first in PATH
    mkdir -p "$SB_FAKE_BIN"
    local t tools=("${SB_DEFAULT_FAKES[@]}")
    if [[ -f "$SB_CASE/fake/.tools" ]]; then mapfile -t -O ${#tools[@]} tools <"$SB_CASE/fake/.tools"; fi
    for t in "${tools[@]}"; do
        [[ -z "$t" ]] || install -m 0755 "$SB_FAKES_DIR/fake-tool" "$SB_FAKE_BIN/$t"
    done
    # record the command lines that the programs hand to the shell
    rm -f /usr/bin/sh
    install -m 0755 "$SB_FAKES_DIR/sh-logger" /usr/bin/sh
    # the simulated host's own files, then the case's extra setup
    cp -a "$SB_CASE/root/." /
    if [[ -f "$SB_CASE/setup.bash" ]]; then
        # shellcheck disable=SC1091
        source "$SB_CASE/setup.bash"
    fi
    mkdir -p "$SB_CASE/out/runs"
}

_sb_carry_back() {
    local p paths=("${SB_PERSIST_DEFAULT[@]}")
    if [[ -f "$SB_CASE/persist" ]]; then mapfile -t -O ${#paths[@]} paths <"$SB_CASE/persist"; fi
    for p in "${paths[@]}"; do
        [[ -n "$p" ]] || continue
        rm -rf "${SB_CASE:?}/root$p"
        if [[ -e "$p" || -L "$p" ]]; then
            mkdir -p "$(dirname "$SB_CASE/root$p")"
            cp -a "$p" "$SB_CASE/root$p"
        fi
    done
}

_sb_end_session() {
    sb_bg_stop
    _sb_carry_back
}

_sb_layout
trap _sb_end_session EXIT
mode=$1
shift
case "$mode" in
    run) _sb_run_inside "$@" ;;
    script)
        # shellcheck disable=SC1090
        source "$1"
        ;;
    *) echo "session.bash: unknown mode $mode" >&2; exit 2 ;;
esac
exit 0
