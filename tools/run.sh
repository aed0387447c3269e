#!/usr/bin/env bash
# Builds the programs and mounts a mirror of the host's tree through the
# stand-in launcher, in the foreground, serving as the invoking user, with
# the program's recommended options (tools/recommended-options). Served as
# root, the mirror is for root alone: with allow_other every local user
# would act through it with root's rights wherever a race lets them (see
# README, Known limits), so that option comes only when asked for after --.
# Ctrl-C unmounts and exits.
#
#   sudo tools/run.sh [MOUNTPOINT] [-- EXTRA PROGRAM OPTIONS]
# NBF_PROGRAM=norra-brix-fuse2 runs the FUSE 2 program instead.
set -euo pipefail
cd "$(dirname "$0")/.."

mountpoint=${1:-/tmp/norra-brix-mirror}
shift || true
[[ "${1:-}" == "--" ]] && shift
mkdir -p "$mountpoint"
user=${SUDO_UID:-$(id -u)}
group=${SUDO_GID:-$(id -g)}
program=${NBF_PROGRAM:-norra-brix-fuse}
read -r -a options < <(awk -v p="$program" '$1 == p { $1 = ""; print }' tools/recommended-options)
audience=
if [[ $user == 0 ]]; then
    options=("${options[@]//allow_other,/}")
    audience=" for root alone (add -- -o allow_other to let other users in)"
fi

echo "mirroring / at $mountpoint as $user:$group with $program ${options[*]}${*:+ $*}$audience; Ctrl-C ends it"
bash tools/install-deps.sh --build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target norra-brix-fuse norra-brix-fuse2 norra-brix-daemon >/dev/null

# The lock directory goes inside /var/lib/brix, which the Debian package
# creates; a machine without the package has none.
[[ -d /var/lib/brix ]] || install -d -m 0755 /var/lib/brix

# A second instance would only fail at its lock step (and the FUSE 2 program
# would then wait for the other's lock file to go): say so at once.
. tools/mount-helpers.sh
lock=$(lock_file_of build "$mountpoint")
if [[ -e "$lock" ]] && ! flock -n "$lock" true; then
    echo "run.sh: another instance holds $lock, the lock of $mountpoint: end that instance first" >&2
    exit 1
fi

errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
exec 3>&1
set +e
# Standard error is shown and kept; tee outlives the Ctrl-C that ends the run.
build/norra-brix-daemon "build/$program" -u "$user" -g "$group" -f "$mountpoint" "${options[@]}" "$@" \
    2>&1 >&3 3>&- | (trap '' INT; exec tee "$errors" >&2)
status=${PIPESTATUS[0]}
set -e
if grep -qx 'check_lockfile failed' "$errors"; then
    echo "run.sh: the lock step failed: another instance may serve $mountpoint, or $lock cannot be created (is /var/lib/brix/.lock a directory that root can write?)" >&2
fi
exit "$status"
