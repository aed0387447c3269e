#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the build and test
# dependencies is missing. Needs root.
set -euo pipefail

packages=(g++ clang libclang-rt-14-dev cmake make pkg-config dpkg-dev libgtest-dev libfuse3-dev libfuse-dev fuse binutils git sqlite3 rsync tar python3 fio bindfs strace stress-ng linux-perf)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
