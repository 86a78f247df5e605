#!/bin/bash
# The test command: installs the dependencies, builds and runs every test twice, in a normal
# build (build/) and in an address+undefined-behaviour sanitizer build (build-asan/).
# Prints ctest's summary of each and a closing "N passed, N failed" line; exits non-zero
# on any build or test failure. Needs root (the tests run in private mount namespaces).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
src=$(pwd)

if [[ $(id -u) != 0 ]]; then
    exec sudo "$0" "$@"
fi

./scripts/setup-deps.sh || { echo "0 passed, 1 failed"; exit 1; }

total_pass=0
total_fail=0
rc=0

# run_suite NAME BUILD_DIR BUILD_TYPE
run_suite() {
    local name=$1 dir=$2 type=$3 log
    echo "==== $name build ($type) in $dir"
    mkdir -p "$dir"
    if ! cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE="$type" >"$dir/configure.log" 2>&1; then
        tail -n 40 "$dir/configure.log"
        echo "$name: configure failed"
        total_fail=$((total_fail + 1)); rc=1; return
    fi
    if ! cmake --build "$dir" -j2 >"$dir/build.log" 2>&1; then
        grep -B4 -E 'error:|\*\*\*' "$dir/build.log" | head -n 60
        echo "$name: build failed (log: $dir/build.log)"
        total_fail=$((total_fail + 1)); rc=1; return
    fi
    echo "==== $name tests"
    log="$dir/ctest.log"
    ctest --test-dir "$dir" -j2 --output-on-failure 2>&1 | tee "$log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|^ +Start +[0-9]+: '
    [[ ${PIPESTATUS[0]} == 0 ]] || rc=1
    local line passed failed count
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [[ "$line" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=${BASH_REMATCH[1]}
        count=${BASH_REMATCH[2]}
        passed=$((count - failed))
        total_pass=$((total_pass + passed))
        total_fail=$((total_fail + failed))
        echo "$name: $line"
    else
        echo "$name: ctest gave no summary"
        total_fail=$((total_fail + 1)); rc=1
    fi
}

run_suite normal "$src/build" RelWithDebInfo
run_suite asan "$src/build-asan" Asan

# ---------------------------------------------------------------- the packages to hand out
# The normal build is the static build that ships: its packages, made as scripts/release.sh
# makes a release, are the ones the system tests install.
echo "==== packages"
pkg_args=()
if scripts/release.sh --build-dir "$src/build" --no-deps; then
    pkg_args=(--package "$(ls "$src"/build/packages/morvel_*.deb)")
else
    echo "packages: scripts/release.sh failed"
    total_fail=$((total_fail + 1)); rc=1
fi

# ---------------------------------------------------------------- system tests (a QEMU VM)
# tests/system/run.sh installs the released .deb into a VM with the real multipath stack;
# it ends with "system: N passed, M failed", or exits 77 when no VM can be booted here.
echo "==== system tests"
sys_out=$(mktemp)
tests/system/run.sh --build-dir "$src/build" --no-build "${pkg_args[@]}" 2>&1 | tee "$sys_out"
sys_rc=${PIPESTATUS[0]}
if ((sys_rc == 77)); then
    echo "system: skipped (no VM can be booted on this machine)"
elif [[ "$(tail -n 1 "$sys_out")" =~ ^system:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    total_pass=$((total_pass + BASH_REMATCH[1]))
    total_fail=$((total_fail + BASH_REMATCH[2]))
    ((sys_rc == 0)) || rc=1
else
    echo "system: the system tests gave no summary"
    total_fail=$((total_fail + 1)); rc=1
fi
rm -f "$sys_out"
# ---------------------------------------------------------------- end of system tests

echo "$total_pass passed, $total_fail failed"
((total_fail == 0)) || rc=1
exit $rc
