#!/bin/bash
# The .deb and the .rpm of each family (el, sles): built by cpack from the staged install,
# their file lists and modes, the maintainer scripts, their requirements against what the
# target distributions provide (package_names.txt), static programs that answer in a root
# without any shared library, an rpm installation (then removal) into scratch roots whose
# stand-in packages provide exactly each family's names, and a dpkg installation (then
# removal) on a sandboxed host that gives a working "morvel version".
source "$(dirname "$0")/lib/sandbox.bash"
BUILD=$(dirname "$MORVEL_STAGE")
OUT=$BUILD/package-test
WANT=$(sb_fixture scripts/package-files.txt)
NAMES=$SB_TEST_DIR/package_names.txt
STATIC=$(sed -n 's/^MORVEL_STATIC:BOOL=//p' "$BUILD/CMakeCache.txt")
FAMILIES=(el sles)

# cpack_stage GENERATOR [VAR=VALUE]: packages the staged tree into $OUT, with the same install
# rules as a plain cpack and without a full build.
cpack_stage() {
    local log=$OUT/cpack-$1${2:+-${2#*=}}.log
    (cd "$BUILD" && cpack -G "$1" -B "$OUT" -D CPACK_INSTALL_CMAKE_PROJECTS= \
        -D "CPACK_INSTALLED_DIRECTORIES=$MORVEL_STAGE/usr;/usr" ${2:+-D "$2"}) >"$log" 2>&1 ||
        sb_fail "cpack -G $1 $2 failed:"$'\n'"$(tail -n 20 "$log")"
}
# static_build: true in the static build that ships; a dynamic (sanitizer) build's packages
# name the shared libraries it needs and are not checked for what ships.
static_build() { [[ "$STATIC" == ON ]] || { echo "a dynamic build ($BUILD): not checked"; false; }; }
# extract PACKAGE DIR
extract() {
    mkdir -p "$2"
    case $1 in
        *.deb) dpkg-deb -x "$1" "$2" ;;
        *.rpm) (cd "$2" && rpm2cpio "$1" | cpio -idm --quiet) ;;
    esac
}

sb_case "cpack builds the .deb and one .rpm per family"
rm -rf "$OUT"
mkdir -p "$OUT"
cpack_stage DEB
DEB=$(ls "$OUT"/morvel_*.deb 2>/dev/null | head -n 1)
[[ -f "$DEB" ]] || sb_fail "no .deb in $OUT"
declare -A RPM
for fam in "${FAMILIES[@]}"; do
    cpack_stage RPM MORVEL_RPM_FAMILY=$fam
    RPM[$fam]=$OUT/morvel-3.3.2-1.$fam.x86_64.rpm
    [[ -f "${RPM[$fam]}" ]] || sb_fail "no ${RPM[$fam]##*/}"
done

sb_case "the .deb holds the product's files with their modes, and its control data"
dpkg-deb -c "$DEB" | awk '{ print $1, $2, $6 }' | sed 's|^\(.\{10\}\) \([^ ]*\) \./|\1 \2 /|' |
    grep -v '/$' | sort -k3 >"$SB_CASE/files"
cmp -s "$WANT" "$SB_CASE/files" ||
    sb_fail "file list differs:"$'\n'"$(diff "$WANT" "$SB_CASE/files")"
dpkg-deb -f "$DEB" Package Version Depends >"$SB_CASE/control"
grep -qx 'Package: morvel' "$SB_CASE/control" || sb_fail "package name"
grep -qx 'Version: 3.3.2' "$SB_CASE/control" || sb_fail "version"
mkdir -p "$SB_CASE/ctl"
dpkg-deb -e "$DEB" "$SB_CASE/ctl"
for s in postinst prerm postrm; do
    [[ -x "$SB_CASE/ctl/$s" ]] || sb_fail "maintainer script $s missing or not executable"
done

sb_case "each .rpm holds the same files with the same modes and scriptlets"
for fam in "${FAMILIES[@]}"; do
    rpm -qp --qf '[%{FILEMODES:perms} %{FILEUSERNAME}/%{FILEGROUPNAME} %{FILENAMES}\n]' "${RPM[$fam]}" |
        grep -v '^d' | sort -k3 >"$SB_CASE/rpm-files"
    cmp -s "$WANT" "$SB_CASE/rpm-files" ||
        sb_fail "$fam: rpm file list differs:"$'\n'"$(diff "$WANT" "$SB_CASE/rpm-files")"
    rpm -qp --scripts "${RPM[$fam]}" >"$SB_CASE/scripts"
    grep -q 'chmod 0700 /dumps' "$SB_CASE/scripts" || sb_fail "$fam: %post does not create /dumps"
    grep -q 'systemctl disable morvel_monitor.service' "$SB_CASE/scripts" || sb_fail "$fam: %preun does not disable the units"
done

sb_case "each package requires its family's multipath package and only names the family provides"
# check_requires FAMILY: requirement lines on stdin
check_requires() {
    local req
    while IFS= read -r req; do
        if [[ "$req" =~ ^rpmlib\(.*\)\ \<=\ ([0-9.]+)- ]]; then
            [[ $(printf '%s\n' "${BASH_REMATCH[1]}" 4.11 | sort -V | tail -n 1) == 4.11 ]] ||
                sb_fail "$1: [$req] needs an rpm newer than RHEL 7's 4.11"
        elif ! awk -v f="$1" '$1 == f { print $4 }' "$NAMES" | grep -qxF -- "$req"; then
            sb_fail "$1: the requirement [$req] is not a name that the family provides"
        fi
    done
}
if static_build; then
    dpkg-deb -f "$DEB" Depends | tr ',' '\n' | sed 's/^ *//; /^$/d' | tee "$SB_CASE/deb-requires" | check_requires deb
    grep -qx multipath-tools "$SB_CASE/deb-requires" || sb_fail "the .deb does not require multipath-tools"
    for fam in "${FAMILIES[@]}"; do
        rpm -qpR "${RPM[$fam]}" | tee "$SB_CASE/$fam-requires" | check_requires "$fam"
    done
    grep -qx device-mapper-multipath "$SB_CASE/el-requires" || sb_fail "el: no device-mapper-multipath"
    grep -qx multipath-tools "$SB_CASE/sles-requires" || sb_fail "sles: no multipath-tools"
fi

sb_case "the packaged programs are static and hardened: no interpreter, no dynamic section, RELRO"
if static_build; then
    for pkg in "$DEB" "${RPM[@]}"; do
        x=$SB_CASE/${pkg##*/}
        extract "$pkg" "$x"
        for b in morvel morvel_monitor; do
            ! readelf -lW "$x/usr/bin/$b" | grep -q INTERP || sb_fail "${pkg##*/}: $b has a program interpreter"
            readelf -d "$x/usr/bin/$b" | grep -q 'no dynamic section' || sb_fail "${pkg##*/}: $b is dynamic"
            readelf -lW "$x/usr/bin/$b" | grep -q GNU_RELRO || sb_fail "${pkg##*/}: $b has no read-only relocations"
        done
    done
fi

sb_case "the packaged programs answer in a root without any shared library: busybox and a fake multipath"
R=$SB_CASE/bare
WWID=36000aabbccdd0000000000000000001a
# bare ARGS...: runs the packaged morvel in the bare root (a private /dev/null bound in)
bare() {
    unshare -m -- /bin/sh -c 'r=$1; shift; mount --bind /dev/null "$r/dev/null" &&
        exec chroot "$r" /bin/env -i LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin /usr/bin/morvel "$@"' \
        sh "$R" "$@" >"$SB_CASE/stdout" 2>"$SB_CASE/stderr"
}
if static_build; then
    extract "$DEB" "$R"
    mkdir -p "$R"/{bin,sbin,dev/disk/by-path,dumps,tmp}
    : >"$R/dev/null"
    cp /bin/busybox "$R/bin/"
    for a in $(/bin/busybox --list); do [[ -e "$R/bin/$a" ]] || ln -s busybox "$R/bin/$a"; done
    cp "$(sb_fixture mpath/worked-example.multipath-ll)" "$R/capture"
    printf '#!/bin/sh\ncase "$*" in "-ll" | "-ll mpatha" | "-ll %s") cat /capture ;; *) exit 1 ;; esac\n' \
        "$WWID" >"$R/sbin/multipath"
    chmod 0755 "$R/sbin/multipath"
    for l in 0:sdb:3 1:sdd:4 0:sdc:5 1:sde:6; do
        IFS=: read -r fn dev port <<<"$l"
        ln -s "../../$dev" "$R/dev/disk/by-path/pci-0000:5e:00.$fn-fc-0x2200aabbccdd000$port-lun-1"
    done
    printf '{\n\t"disk":\t[{\n\t\t\t"wwid":\t"%s",\n\t\t\t"vdisk_name":\t"vd_sales_01"\n\t\t}]\n}' "$WWID" \
        >"$R/dumps/storage_config.json"
    libs=$(find "$R" \( -name '*.so' -o -name '*.so.*' -o -name 'ld-linux*' \) -print)
    [[ -z "$libs" ]] || sb_fail "the bare root holds shared libraries: $libs"
    for run in "-list_command:$SB_TEST_DIR/golden/frontend/list_command.out" \
        "version:$SB_TEST_DIR/golden/mgmt/version.out" \
        "query:$MORVEL_SRC/tests/golden/query_worked_example.out" \
        "query mpatha:$MORVEL_SRC/tests/golden/query_worked_example.out" \
        "query $WWID:$MORVEL_SRC/tests/golden/query_worked_example.out"; do
        # shellcheck disable=SC2086  # the command's words
        bare ${run%%:*} || sb_fail "morvel ${run%%:*} exited $?: $(cat "$SB_CASE/stderr")"
        cmp -s "${run#*:}" "$SB_CASE/stdout" ||
            sb_fail "morvel ${run%%:*} differs from ${run#*:}:"$'\n'"$(diff "${run#*:}" "$SB_CASE/stdout" | cat -A)"
    done
fi

sb_case "rpm installs each family's package where stand-ins provide exactly its names, and removes it"
# standins FAMILY DIR: builds the family's stand-in packages (package_names.txt) into DIR/RPMS.
# A file name is a copy of busybox; a provided path is a copy under /usr (the merged layout).
standins() {
    local pkg recipe names how name dest
    for pkg in $(awk -v f="$1" '$1 == f { print $2 }' "$NAMES" | sort -u); do
        recipe=$2/$pkg.rpmbuild
        printf 'Name: %s\nVersion: 0\nRelease: standin\nSummary: stand-in\nLicense: none\nAutoReqProv: no\n' "$pkg" >"$recipe"
        names=$(awk -v f="$1" -v p="$pkg" '$1 == f && $2 == p { print $3, $4 }' "$NAMES")
        printf '%%description\nstand-in\n%%install\n' >>"$recipe"
        while read -r how name; do
            case $how in
                file) dest=$name ;;
                provides) dest=/usr$name; sed -i "1a Provides: $name" "$recipe" ;;
                *) continue ;;
            esac
            printf 'mkdir -p %%{buildroot}%s\ncp /bin/busybox %%{buildroot}%s\n' "${dest%/*}" "$dest" >>"$recipe"
        done <<<"$names"
        printf '%%files\n' >>"$recipe"
        awk '$1 == "cp" { print substr($3, 13) }' "$recipe" >"$recipe.files"
        cat "$recipe.files" >>"$recipe"
        rpmbuild -bb --quiet --define "_topdir $2" --define '_build_id_links none' \
            --define '__os_install_post %{nil}' --define 'debug_package %{nil}' "$recipe" >>"$2/rpmbuild.log" 2>&1 ||
            sb_fail "$1: stand-in $pkg does not build:"$'\n'"$(tail -n 10 "$2/rpmbuild.log")"
    done
}
static_build && for fam in "${FAMILIES[@]}"; do
    root=$SB_CASE/$fam-root
    mkdir -p "$root/usr/bin" "$SB_CASE/$fam-standins"
    # the base system: the merged /usr of RHEL 7 and later, a plain /bin on SLES; its tools
    [[ $fam == el ]] && ln -s usr/bin "$root/bin" && ln -s usr/sbin "$root/sbin"
    cp /bin/busybox "$root/usr/bin/"
    for a in mkdir chmod rm; do ln -s busybox "$root/usr/bin/$a"; done
    standins "$fam" "$SB_CASE/$fam-standins"
    rpm --root "$root" --initdb
    rpm --root "$root" -i "$SB_CASE/$fam-standins"/RPMS/*/*.rpm 2>"$SB_CASE/err" ||
        sb_fail "$fam: the stand-ins do not install: $(cat "$SB_CASE/err")"
    other=el; [[ $fam == el ]] && other=sles
    ! rpm --root "$root" -i --test "${RPM[$other]}" 2>/dev/null ||
        sb_fail "$fam: the $other package installs too: its requirements are not checked"
    rpm --root "$root" -i "${RPM[$fam]}" 2>"$SB_CASE/err" ||
        sb_fail "$fam: rpm -i failed: $(grep -v 'Alien\|assuming' "$SB_CASE/err")"
    [[ -x "$root/usr/bin/morvel" && "$(stat -c %a "$root/dumps" 2>/dev/null)" == 700 ]] ||
        sb_fail "$fam: no morvel, or %post made no 0700 /dumps"
    rpm --root "$root" -e morvel 2>"$SB_CASE/err" || sb_fail "$fam: rpm -e failed: $(cat "$SB_CASE/err")"
    left=$(cd "$root" && find usr -path "*morvel*")
    [[ -z "$left" ]] || sb_fail "$fam: left after rpm -e: $left"
done

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
