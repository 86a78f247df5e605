#!/bin/bash
# Fetches and unpacks Debian's own cjson source package into a build folder, for the static
# programs (Debian ships no static cJSON library). apt runs with a private sources list,
# lists and cache under DEST: the machine's apt configuration and state are not changed.
# The source lines use the Debian archive that the machine's own apt already uses, so the
# package comes from the same suite and is checked against the same archive keys.
#
#   scripts/fetch-cjson-source.sh DEST
#
# Prints the unpacked source folder (DEST/src/cjson-VERSION) on its last line. Idempotent:
# an unpacked source already in DEST is used as it is.
set -euo pipefail
dest=${1:?usage: fetch-cjson-source.sh DEST}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

found=$(find "$dest/src" -maxdepth 2 -path '*/cjson-*/cJSON.c' 2>/dev/null | sort | tail -n 1 || true)
if [[ -n "$found" ]]; then
    dirname "$found"
    exit 0
fi

apt_dir=$dest/apt
rm -rf "$apt_dir" "$dest/src"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$dest/src"

# The Debian archives that apt already reads binary packages from ("URI suite/main" in the
# policy listing), as deb-src lines. The security archive carries fixed versions, so it stays.
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
apt-cache policy 2>/dev/null |
    awk '$1 ~ /^[0-9]+$/ && $2 ~ /^https?:/ && $3 ~ /\/main$/ && $5 == "Packages" {
            split($3, sc, "/"); print $2, sc[1] }' |
    sort -u | while read -r uri suite; do
        echo "deb-src [signed-by=$keyring] $uri $suite main"
    done >"$apt_dir/sources.list"
if [[ ! -s "$apt_dir/sources.list" ]]; then
    echo "fetch-cjson-source: apt reads from no Debian archive on this machine" >&2
    exit 1
fi

apt_opts=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root"
    -o "Debug::NoLocking=1"
)
apt-get -q "${apt_opts[@]}" update >"$apt_dir/update.log" 2>&1 ||
    { cat "$apt_dir/update.log" >&2; exit 1; }
(cd "$dest/src" && apt-get -q "${apt_opts[@]}" source cjson) >"$apt_dir/source.log" 2>&1 ||
    { cat "$apt_dir/source.log" >&2; exit 1; }

found=$(find "$dest/src" -maxdepth 2 -path '*/cjson-*/cJSON.c' | sort | tail -n 1)
[[ -n "$found" ]] || { echo "fetch-cjson-source: the source package holds no cJSON.c" >&2; exit 1; }
dirname "$found"
