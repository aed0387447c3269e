#!/usr/bin/env bash
# Checks the README's run command as a new user meets it: on a machine
# without /var/lib/brix (a scratch directory bound over /var/lib, in a
# private mount namespace), each program mounts the mirror, serves it, and
# ends with status 0 on Ctrl-C (SIGINT to the command's process group). A
# second run on a mount point already served, and a run whose lock
# directory cannot be made, fail and say why.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z "${NBF_CHECK_RUN_INSIDE:-}" ]]; then
    NBF_CHECK_RUN_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi
scratch=$(mktemp -d /tmp/nbf-check-run-XXXXXX)
chmod 755 "$scratch"
mkdir "$scratch/varlib" "$scratch/mnt" "$scratch/host-varlib"
# run.sh asks dpkg what is installed: it reads the host's database here,
# through a read-only view, while /var/lib is the empty scratch directory.
mount --bind /var/lib "$scratch/host-varlib"
mount -o remount,bind,ro "$scratch/host-varlib"
export DPKG_ADMINDIR=$scratch/host-varlib/dpkg
mount --bind "$scratch/varlib" /var/lib
cleanup() {
    while umount -l "$scratch/mnt" 2>/dev/null; do :; done
    umount -l /var/lib
    # Never remove anything while the host's /var/lib shows inside.
    umount -l "$scratch/host-varlib" && rm -rf "$scratch"
}
trap cleanup EXIT

. tools/mount-helpers.sh
fail() { echo "run command check: $*" >&2; exit 1; }
mounted() { grep -q " $scratch/mnt fuse" /proc/self/mounts; }
# A run that must end at once with status 1 and this hint.
expect_refusal() {
    local status=0
    NBF_PROGRAM=${program:-norra-brix-fuse} timeout 120 bash tools/run.sh "$scratch/mnt" >"$scratch/refused.out" 2>&1 ||
        status=$?
    [[ $status == 1 ]] && grep -q "$1" "$scratch/refused.out" || fail "$2: status $status, $(cat "$scratch/refused.out")"
}

for program in norra-brix-fuse norra-brix-fuse2; do
    rm -rf /var/lib/brix
    # Its own session, so that the SIGINT below reaches what a terminal's
    # Ctrl-C reaches, and nothing else.
    NBF_PROGRAM=$program setsid bash tools/run.sh "$scratch/mnt" >"$scratch/$program.out" 2>&1 &
    run=$!
    wait_for_mount "$scratch/mnt" 60 $run || fail "$program did not mount: $(cat "$scratch/$program.out")"
    # Served as root, for root alone.
    grep "^mirroring" "$scratch/$program.out" | grep -q "as 0:0 .* for root alone" ||
        fail "$program: the first line does not say the mirror is root's alone: $(cat "$scratch/$program.out")"
    ! grep " $scratch/mnt fuse" /proc/self/mounts | grep -q allow_other || fail "$program lets other users in"
    cmp -s "$scratch/mnt/etc/os-release" /etc/os-release || fail "$program does not mirror /etc/os-release"

    expect_refusal "another instance holds" "a second $program on the same mount point"

    kill -INT -- -$run
    status=0
    timeout 30 tail --pid=$run -f /dev/null || fail "$program did not end on Ctrl-C"
    wait $run || status=$?
    [[ $status == 0 ]] || fail "$program ended with status $status: $(cat "$scratch/$program.out")"
    ! mounted || fail "$program left its mount behind"
done
rm -rf /var/lib/brix
mkdir /var/lib/brix
touch /var/lib/brix/.lock
program=norra-brix-fuse expect_refusal "the lock step failed" "a lock directory that is a file"
echo "run command check passed"
