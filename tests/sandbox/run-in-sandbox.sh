#!/bin/bash
# Runs a command as root inside a private mount namespace whose root is a throw-away
# overlay of the host's root. Inside, /dumps does not exist until the program makes it,
# /sys, /dev, /tmp and /run are fresh tmpfs trees (with /dev/null and friends bound in),
# and every write (to /etc, /usr/bin, ...) lands in the overlay and vanishes afterwards.
#
#   run-in-sandbox.sh [--setup SCRIPT] [--export DIR] [--bind DIR]... [--] COMMAND [ARGS...]
#
# --setup SCRIPT  is run (by bash, inside the sandbox root, before COMMAND) to lay out fake
#                 trees: /sys/block, /dev/disk/by-path, /etc files, fake tools ...
# --export DIR    a host directory that is bound at /sandbox-export inside, for results.
# --bind DIR      a host directory that is bound at its own path inside, writable.
# The working directory is kept.
#
# The overlay of / shows the root filesystem only, and /tmp and /run are fresh inside, so a
# checkout under /tmp or on a filesystem of its own would vanish. Bound in at their own paths,
# writable, are therefore: the source tree holding this script, the working directory, every
# cmake build tree (a folder with CMakeCache.txt) that holds the working directory or a path
# argument of COMMAND, and the --bind folders. Writes there reach the host. System folders
# (/etc, /usr, /proc, /sys, /dev, /dumps, ...) and / itself are never bound.
set -euo pipefail

if [[ "${MORVEL_SANDBOX_INNER:-}" != 1 ]]; then
    [[ $(id -u) == 0 ]] || { echo "run-in-sandbox: needs root" >&2; exit 77; }
    top=$(mktemp -d /tmp/morvel-sandbox.XXXXXX)
    set +e
    MORVEL_SANDBOX_INNER=1 MORVEL_SANDBOX_TOP="$top" unshare --mount --propagation private "$0" "$@"
    rc=$?
    set -e
    rmdir "$top" 2>/dev/null || true
    exit "$rc"
fi

setup=""
export_dir=""
binds=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --setup) setup="$2"; shift 2 ;;
        --export) export_dir="$2"; shift 2 ;;
        --bind) binds+=("$2"); shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[[ $# -gt 0 ]] || { echo "run-in-sandbox: no command" >&2; exit 2; }

T="$MORVEL_SANDBOX_TOP"
mount -t tmpfs -o mode=0755 morvel-sandbox "$T"
mkdir -p "$T/upper" "$T/work" "$T/root"
mount -t overlay morvel-root -o "lowerdir=/,upperdir=$T/upper,workdir=$T/work" "$T/root"
R="$T/root"

mount -t proc proc "$R/proc"
mount -t tmpfs -o mode=0755 sys "$R/sys"
mkdir -p "$R/sys/block" "$R/sys/class"
mount -t tmpfs -o mode=0755 dev "$R/dev"
for n in null zero full random urandom tty; do
    if [[ -e /dev/$n ]]; then
        touch "$R/dev/$n"
        mount --bind "/dev/$n" "$R/dev/$n"
    fi
done
mkdir -p "$R/dev/pts" "$R/dev/shm" "$R/dev/disk/by-path"
ln -s /proc/self/fd "$R/dev/fd"
ln -s /proc/self/fd/0 "$R/dev/stdin"
ln -s /proc/self/fd/1 "$R/dev/stdout"
ln -s /proc/self/fd/2 "$R/dev/stderr"
mount -t tmpfs -o mode=1777 tmp "$R/tmp"
mount -t tmpfs -o mode=0755 run "$R/run"
# Nothing of the host's /dumps is visible inside.
rm -rf "$R/dumps"
if [[ -n "$export_dir" ]]; then
    mkdir -p "$R/sandbox-export"
    mount --bind "$export_dir" "$R/sandbox-export"
fi

# bindable DIR: a folder of the host that may be bound in (not / and no system folder; /tmp
# and /run themselves would hide the fresh trees).
bindable() {
    case "$1" in
        / | /tmp | /run | /var | /home | /srv | /mnt | /opt | /root | /media) return 1 ;;
        /proc | /proc/* | /sys | /sys/* | /dev | /dev/* | /dumps | /dumps/* | /etc | /etc/* | \
            /usr | /usr/* | /boot | /boot/* | /bin | /bin/* | /sbin | /sbin/* | /lib | /lib/* | \
            /lib32 | /lib32/* | /lib64 | /lib64/* | /libx32 | /libx32/*) return 1 ;;
    esac
    [[ -d "$1" ]]
}
# build_tree PATH: the nearest folder at or above PATH that holds a CMakeCache.txt.
build_tree() {
    local d=$1
    [[ -d "$d" ]] || d=$(dirname "$d")
    while [[ "$d" != / ]]; do
        [[ -f "$d/CMakeCache.txt" ]] && { printf '%s\n' "$d"; return 0; }
        d=$(dirname "$d")
    done
    return 1
}
cwd=$(pwd)
want=("$(cd "$(dirname "$0")/../.." && pwd -P)" "$(pwd -P)" "${binds[@]}")
for a in "$cwd" "$@"; do
    [[ "$a" == /* && -e "$a" ]] || continue
    b=$(build_tree "$(realpath "$a")") && want+=("$b")
done
bound=()
while IFS= read -r d; do
    bindable "$d" || continue
    for b in "${bound[@]}"; do
        [[ "$d/" == "$b/"* ]] && continue 2
    done
    mkdir -p "$R$d"
    mount --rbind "$d" "$R$d"
    bound+=("$d")
done < <(for d in "${want[@]}"; do realpath -e "$d" 2>/dev/null; done | LC_ALL=C sort -u)

if [[ -n "$setup" ]]; then
    chroot "$R" /bin/bash -c 'cd "$1" && bash "$2"' setup "$cwd" "$setup"
fi
exec chroot "$R" /bin/bash -c 'cd "$1" && shift && exec "$@"' run "$cwd" "$@"
