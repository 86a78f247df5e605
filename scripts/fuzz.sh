#!/bin/bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and UBSan on) in
# build-fuzz/ and runs one of them for a given time inside the test sandbox, with a working
# corpus seeded from the target's seeds. New findings land in build-fuzz/findings/<target>/.
#
#   scripts/fuzz.sh TARGET [SECONDS]     TARGET: parser snapshot store params pages
#   scripts/fuzz.sh --list
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
targets=(parser snapshot store params pages)
if [[ "${1:-}" == --list || $# -lt 1 ]]; then printf '%s\n' "${targets[@]}"; exit 0; fi
target=$1 seconds=${2:-300}
[[ " ${targets[*]} " == *" $target "* ]] || { echo "fuzz.sh: unknown target [$target]" >&2; exit 2; }

command -v clang++ >/dev/null || "$root/scripts/setup-fuzz-deps.sh"
build=$root/build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g -O1"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DMORVEL_FUZZ=ON -DMORVEL_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j2 --target "fuzz_$target"

mkdir -p "$build/corpus/$target" "$build/findings/$target"
seeds=("$root/fuzz/corpus/$target")
[[ -d $root/fuzz/repro/$target ]] && seeds+=("$root/fuzz/repro/$target")
case $target in
    parser) seeds+=("$root/tests/fixtures/mpath") ;;
    snapshot) seeds+=("$root/tests/fixtures/mpath") ;;
esac
# The sandbox root is thrown away afterwards: build-fuzz/ is bound in at /sandbox-export so
# that the corpus and the findings stay.
inner=/sandbox-export
"$root/tests/sandbox/run-in-sandbox.sh" --export "$build" -- "$build/fuzz/fuzz_$target" \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$inner/findings/$target/" \
    "$inner/corpus/$target" "${seeds[@]}"
