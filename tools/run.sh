#!/usr/bin/env bash
# Builds the programs and mounts a mirror of the host's tree through the
# stand-in launcher, in the foreground, serving as the invoking user.
# Ctrl-C unmounts and exits.
#
#   sudo tools/run.sh [MOUNTPOINT] [-- EXTRA PROGRAM OPTIONS]
# NBF_PROGRAM=norra-brix-fuse2 runs the FUSE 2 program instead.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target norra-brix-fuse norra-brix-fuse2 norra-brix-daemon

mountpoint=${1:-/tmp/norra-brix-mirror}
shift || true
[[ "${1:-}" == "--" ]] && shift
mkdir -p "$mountpoint"
user=${SUDO_UID:-$(id -u)}
group=${SUDO_GID:-$(id -g)}
program=${NBF_PROGRAM:-norra-brix-fuse}

echo "mirroring / at $mountpoint as $user:$group with $program; Ctrl-C ends it"
exec build/norra-brix-daemon "build/$program" -u "$user" -g "$group" -f "$mountpoint" "$@"
