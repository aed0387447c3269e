#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the build and test
# dependencies is missing, on Debian 12 or 13. Needs root.
#
#   tools/install-deps.sh [--build|--normal|--bench]
# --build installs what building and running the programs needs (the run
# command); --normal adds what the normal test suite needs, --bench that and
# what the benchmark needs, and without any, what the sanitizer, fuzz,
# benchmark and stress runs need too.
#
# Record locks through the mounts go through libulockmgr, which starts the
# helper ulockmgr_server. Debian 12 ships it in the package fuse; no Debian
# 13 package does, so there it is built from the release's own source of
# the library (the source package of the one that holds libulockmgr) and
# installed in /usr/local/bin, on every launcher's usual PATH, with that
# source's copyright file in /usr/local/share/doc/ulockmgr-server.
set -euo pipefail
. "$(dirname "$0")/apt-archive.sh"

release=$(. /etc/os-release && echo "${VERSION_ID:-}")
packages=(g++ cmake make pkg-config libfuse3-dev libfuse-dev)
[[ ${1:-} == --build ]] || packages+=(dpkg-dev file libgtest-dev binutils git sqlite3 rsync tar python3 strace acl)
[[ ${1:-} == --bench ]] && packages+=(fio bindfs)
[[ -n ${1:-} ]] || packages+=(clang libclang-rt-dev fio bindfs stress-ng linux-perf)
[[ $release == 12 ]] && packages+=(fuse)

apt_get() {
  # One retry: a download from the archive fails now and then.
  DEBIAN_FRONTEND=noninteractive apt-get "$@" || { sleep 5; DEBIAN_FRONTEND=noninteractive apt-get "$@"; } || {
    echo "install-deps: apt-get $1 failed with the machine's apt sources:" >&2
    apt_sources | sed 's/^/  /' >&2
    return 1
  }
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ! PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin command -v ulockmgr_server >/dev/null; then
  library=$(dpkg-query -S 'libulockmgr.so.*' | head -1 | cut -d: -f1)
  source=$(dpkg-query -W -f='${source:Package}' "$library")
  version=$(dpkg-query -W -f='${source:Version}' "$library")
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(debian_archive)
  echo "building ulockmgr_server from the source package $source $version ($suite)"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chown _apt "$work" 2>/dev/null || chmod 0755 "$work"  # apt's own user downloads into it
  echo "deb-src $mirror $suite main" >"$work/sources.list"
  mkdir -p "$work/lists/partial"
  apt_src=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
           -o Dir::State::Lists="$work/lists")
  apt_get "${apt_src[@]}" update -qq
  # The source package of that name (Debian 13's binary package fuse comes
  # from fuse3). Where the archive lacks its Debian part, the upstream
  # tarball that the release's signed index names for it, checked against
  # that index (the one Debian patch to the helper only renames a function
  # that newer C libraries have; the strict build below needs neither).
  if ! (cd "$work" && apt-get "${apt_src[@]}" source -qq --only-source "$source=$version" >/dev/null 2>&1); then
    record=$(apt-cache "${apt_src[@]}" showsrc --only-source "$source" |
             awk -v v="$version" '$1 == "Version:" { keep = $2 == v } keep')
    directory=$(awk '$1 == "Directory:" { print $2; exit }' <<<"$record")
    read -r sha256 _ tarball <<<"$(awk '/^Checksums-Sha256:/ { on = 1; next }
        on && /^ / && $3 ~ /orig\.tar\.[a-z0-9]+$/ { print; exit } /^[^ ]/ { on = 0 }' <<<"$record")"
    [[ -n ${tarball:-} ]] || { echo "install-deps: no source of $source $version in the archive" >&2; exit 1; }
    /usr/lib/apt/apt-helper download-file "$mirror/$directory/$tarball" "$work/$tarball" "SHA256:$sha256" >/dev/null
    tar -xf "$work/$tarball" -C "$work"
  fi
  tree=$(find "$work" -maxdepth 3 -path '*/util/ulockmgr_server.c' -printf '%h\n' | head -1)
  [[ -n $tree ]] || { echo "install-deps: no util/ulockmgr_server.c in the $source source" >&2; exit 1; }
  cc -O2 -Wall -std=c99 -D_POSIX_C_SOURCE=200809L -o "$work/ulockmgr_server" "$tree/ulockmgr_server.c" -pthread
  install -D -m 0755 "$work/ulockmgr_server" /usr/local/bin/ulockmgr_server
  # The binary package's copyright file is its source package's.
  install -D -m 0644 "/usr/share/doc/$library/copyright" /usr/local/share/doc/ulockmgr-server/copyright
fi
