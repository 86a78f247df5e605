#!/bin/bash
# The .deb and .rpm packages: built by cpack from the staged install, their file lists and
# modes, the maintainer scripts, and a dpkg installation (then removal) on a sandboxed host
# that gives a working "morvel version".
source "$(dirname "$0")/lib/sandbox.bash"
BUILD=$(dirname "$MORVEL_STAGE")
OUT=$BUILD/package-test
WANT=$(sb_fixture scripts/package-files.txt)

sb_case "cpack builds the .deb (and the .rpm where rpmbuild is present)"
rm -rf "$OUT"
mkdir -p "$OUT"
# Packages the staged tree: the same install rules as a plain cpack, without a full build.
if ! (cd "$BUILD" && cpack -G DEB -B "$OUT" -D CPACK_INSTALL_CMAKE_PROJECTS= \
    -D "CPACK_INSTALLED_DIRECTORIES=$MORVEL_STAGE/usr;/usr") >"$OUT/cpack-deb.log" 2>&1; then
    sb_fail "cpack -G DEB failed:"$'\n'"$(tail -n 20 "$OUT/cpack-deb.log")"
fi
DEB=$(ls "$OUT"/morvel_*.deb 2>/dev/null | head -n 1)
[[ -f "$DEB" ]] || sb_fail "no .deb in $OUT"
if command -v rpmbuild >/dev/null; then
    (cd "$BUILD" && cpack -G RPM -B "$OUT" -D CPACK_INSTALL_CMAKE_PROJECTS= \
        -D "CPACK_INSTALLED_DIRECTORIES=$MORVEL_STAGE/usr;/usr") >"$OUT/cpack-rpm.log" 2>&1 ||
        sb_fail "cpack -G RPM failed:"$'\n'"$(tail -n 20 "$OUT/cpack-rpm.log")"
fi
RPM=$(ls "$OUT"/morvel-*.rpm 2>/dev/null | head -n 1)

sb_case "the .deb holds the product's files with their modes, and its control data"
dpkg-deb -c "$DEB" | awk '{ print $1, $2, $6 }' | sed 's|^\(.\{10\}\) \([^ ]*\) \./|\1 \2 /|' |
    grep -v '/$' | sort -k3 >"$SB_CASE/files"
cmp -s "$WANT" "$SB_CASE/files" ||
    sb_fail "file list differs:"$'\n'"$(diff "$WANT" "$SB_CASE/files")"
dpkg-deb -f "$DEB" Package Version Depends >"$SB_CASE/control"
grep -qx 'Package: morvel' "$SB_CASE/control" || sb_fail "package name"
grep -qx 'Version: 3.3.2' "$SB_CASE/control" || sb_fail "version"
grep -q '^Depends: .*multipath-tools' "$SB_CASE/control" || sb_fail "no dependency on multipath-tools"
grep -q 'libcjson' "$SB_CASE/control" || sb_fail "no dependency on cJSON"
mkdir -p "$SB_CASE/ctl"
dpkg-deb -e "$DEB" "$SB_CASE/ctl"
for s in postinst prerm postrm; do
    [[ -x "$SB_CASE/ctl/$s" ]] || sb_fail "maintainer script $s missing or not executable"
done

sb_case "the .rpm holds the same files with the same modes"
if [[ -z "$RPM" ]]; then
    echo "rpmbuild is not installed: .rpm not checked"
else
    rpm -qp --qf '[%{FILEMODES:perms} %{FILEUSERNAME}/%{FILEGROUPNAME} %{FILENAMES}\n]' "$RPM" |
        grep -v '^d' | sort -k3 >"$SB_CASE/rpm-files"
    cmp -s "$WANT" "$SB_CASE/rpm-files" ||
        sb_fail "rpm file list differs:"$'\n'"$(diff "$WANT" "$SB_CASE/rpm-files")"
    rpm -qp --scripts "$RPM" >"$SB_CASE/scripts"
    grep -q 'chmod 0700 /dumps' "$SB_CASE/scripts" || sb_fail "rpm %post does not create /dumps"
    grep -q 'systemctl disable morvel_monitor.service' "$SB_CASE/scripts" || sb_fail "rpm %preun does not disable the units"
    rpm -qp --requires "$RPM" | grep -qx '(device-mapper-multipath or multipath-tools)' ||
        sb_fail "the rpm does not require the distribution's multipath package"
fi

sb_case "dpkg -i gives a working morvel, /dumps 0700 and enabled units; dpkg --purge takes it away"
cp "$DEB" "$SB_CASE/morvel.deb"
# start from a host without the product: the session lays out the staged install first
sb_setup 'rm -rf /usr/bin/morvel /usr/bin/morvel_monitor /usr/bin/morvel-help /usr/bin/morvel-script /usr/lib/systemd/system/morvel_*'
sb_persist /usr/bin/morvel-script /usr/share/man/man8/morvel.8.gz /etc/morvel
sb_run dpkg -i --force-depends /sandbox-export/morvel.deb
sb_assert_status 0
sb_assert_cmd_ran "systemctl enable morvel_monitor.service morvel_offline_path.service"
[[ "$(stat -c %a "$(sb_file /dumps)" 2>/dev/null)" == 700 ]] || sb_fail "/dumps is not a 0700 folder"
[[ -f "$(sb_file /usr/share/man/man8/morvel.8.gz)" ]] || sb_fail "man page not installed"
cat >"$SB_CASE/after-install.bash" <<'EOF2'
set -e
morvel version
bash /usr/bin/morvel-script/fc_info.sh >/dev/null
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/morvel_offline_path.service \
        /usr/lib/systemd/system/morvel_monitor.service
fi
dpkg --purge morvel >/dev/null
for f in /usr/bin/morvel /usr/bin/morvel_monitor /usr/bin/morvel-script /usr/lib/systemd/system/morvel_monitor.service; do
    [ ! -e "$f" ] || { echo "$f is left after purge"; exit 1; }
done
EOF2
sb_setup 'rm -rf /usr/bin/morvel /usr/bin/morvel_monitor /usr/bin/morvel-help /usr/bin/morvel-script /usr/lib/systemd/system/morvel_*'
sb_run bash -c 'dpkg -i --force-depends /sandbox-export/morvel.deb >/dev/null && bash /sandbox-export/after-install.bash'
sb_assert_status 0
sb_assert_stdout_contains '^Software name: Morvel$'
sb_assert_stdout_contains '^Version: 3\.3\.2$'
sb_assert_cmd_ran "systemctl disable morvel_monitor.service morvel_offline_path.service"

sb_finish
