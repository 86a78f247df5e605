#!/bin/bash
# Builds every package to hand out into one folder, from static programs:
#   morvel_VERSION_amd64.deb            Debian and Ubuntu
#   morvel-VERSION-1.el.x86_64.rpm      RHEL, CentOS and Oracle Linux 7, 8 and 9
#   morvel-VERSION-1.sles.x86_64.rpm    SLES 12 SP5 and 15
# and SHA256SUMS beside them.
#
#   scripts/release.sh [--build-dir DIR] [--out DIR] [--no-deps]
#
# --build-dir: the cmake build to package (default build-release, configured as a Release
# build without tests when new); --out: the folder for the packages (default DIR/packages,
# emptied first); --no-deps: do not run setup-deps.sh. Prints the packages' paths.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$src/build-release out="" deps=1
while (($#)); do
    case "$1" in
        --build-dir) build=$(realpath -m "$2"); shift ;;
        --out) out=$(realpath -m "$2"); shift ;;
        --no-deps) deps=0 ;;
        -h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "release.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
out=${out:-$build/packages}
((deps)) && "$src/scripts/setup-deps.sh" >/dev/null

flags=()
[[ -f "$build/CMakeCache.txt" ]] || flags=(-DCMAKE_BUILD_TYPE=Release -DMORVEL_TESTS=OFF)
mkdir -p "$build"
cmake -S "$src" -B "$build" "${flags[@]}" >"$build/release-configure.log" 2>&1 ||
    { tail -n 30 "$build/release-configure.log" >&2; exit 1; }
if ! grep -qx 'MORVEL_STATIC:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "release.sh: $build is not a static build (MORVEL_STATIC is off): nothing to hand out" >&2
    exit 1
fi
cmake --build "$build" -j2 --target morvel morvel_monitor >"$build/release-build.log" 2>&1 ||
    { grep -E -B2 'error' "$build/release-build.log" | head -n 40 >&2; exit 1; }

# cpack packages the installed tree of the two programs and their files: the same install
# rules as a plain cpack, without building the tests.
stage=$build/release-stage
rm -rf "$out" "$build/release-cpack" "$stage"
mkdir -p "$out"
DESTDIR=$stage cmake --install "$build" --strip >"$build/release-install.log" 2>&1 ||
    { tail -n 20 "$build/release-install.log" >&2; exit 1; }
# package GENERATOR [cpack -D ...]
package() {
    local gen=$1 work=$build/release-cpack/$1${2:+-${2##*=}}
    shift
    local defs=()
    for d in "$@"; do defs+=(-D "$d"); done
    mkdir -p "$work"
    if ! (cd "$work" && cpack -G "$gen" --config "$build/CPackConfig.cmake" -B "$work" \
        -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALLED_DIRECTORIES=$stage/usr;/usr" "${defs[@]}") \
        >"$work/cpack.log" 2>&1; then
        tail -n 20 "$work/cpack.log" >&2
        echo "release.sh: cpack -G $gen $* failed (log: $work/cpack.log)" >&2
        exit 1
    fi
    mv "$work"/*.deb "$work"/*.rpm "$out"/ 2>/dev/null || true
}
package DEB
package RPM MORVEL_RPM_FAMILY=el
package RPM MORVEL_RPM_FAMILY=sles
(cd "$out" && sha256sum -- *.deb *.rpm >SHA256SUMS)
ls -1 "$out"/*.deb "$out"/*.rpm
