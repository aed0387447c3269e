#!/usr/bin/env bash
# Profiles the serving process of one program under one workload: where its
# CPU time goes (perf, call graphs) and which system calls it makes per
# request (strace -c). Backing store and mirror live on a tmpfs in a private
# mount namespace, so the disk does not hide the request path.
#
#   sudo bench/profile.sh [BUILD_DIR] [PROGRAM] [WORKLOAD] [-- EXTRA PROGRAM OPTIONS]
#
# PROGRAM: norra-brix-fuse (default) or norra-brix-fuse2.
# WORKLOAD: stat (10,000 files created, stat'ed, listed, removed),
#           read (1 GiB sequential in 1 MiB blocks), write (the same, writing),
#           rand (4 KiB random reads and writes for 10 s), or all (default).
set -uo pipefail

build=$(realpath "${1:-build}")
program=${2:-norra-brix-fuse}
workload=${3:-all}
shift 3 2>/dev/null || shift $#
[[ "${1:-}" == "--" ]] && shift
extra=("$@")

if [[ -z "${NBF_PROFILE_INSIDE:-}" ]]; then
    for tool in perf strace fio; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
    done
    NBF_PROFILE_INSIDE=1 exec unshare -m --propagation private "$0" "$build" "$program" "$workload" -- "${extra[@]}"
fi

scratch=$(mktemp -d /tmp/nbf-profile-XXXXXX)
mount -t tmpfs -o size=4g tmpfs "$scratch"
mkdir -p "$scratch/varlib/brix" "$scratch/mnt" "$scratch/data"
mount --bind "$scratch/varlib" /var/lib

. "$(dirname "$0")/../tools/mount-helpers.sh"
PROCESS_CHECK_CALLER=qv "$build/$program" -u 0 -g 0 -f "$scratch/mnt" --allow-delete "${extra[@]}" &
server=$!
# The server ends with the unmount; the FUSE 2 program once its lock file
# is gone too.
stop() {
    umount "$scratch/mnt" 2>/dev/null || umount -l "$scratch/mnt"
    release_lock "$build" "$scratch/mnt"
    timeout 10 tail --pid=$server -f /dev/null || { echo "$program did not end; killed" >&2; kill -KILL $server; }
    wait $server
    umount -l /var/lib; umount -l "$scratch"; rmdir "$scratch"
}
trap stop EXIT
wait_for_mount "$scratch/mnt" 10 $server || { echo "$program did not mount" >&2; exit 1; }
here="$scratch/mnt$scratch/data"

run_workload() {
    case "$1" in
    stat) "$build/nbf-bench-meta" files "$here" 10000 >/dev/null ;;
    read)
        fio --name=prep --directory="$scratch/data" --rw=write --size=1g --bs=1M >/dev/null
        fio --name=prep --directory="$here" --rw=read --size=1g --bs=1M --ioengine=psync >/dev/null ;;
    write) fio --name=seq --directory="$here" --rw=write --size=1g --bs=1M --ioengine=psync >/dev/null ;;
    rand)
        fio --name=rand --directory="$here" --rw=randrw --size=256m --bs=4k --ioengine=psync \
            --time_based --runtime=10 >/dev/null ;;
    esac
    rm -rf "${scratch:?}/data/"*
}

for w in $([[ $workload == all ]] && echo stat read write rand || echo "$workload"); do
    echo "=== $program, $w: where the serving process spends its time"
    perf record -q -F 999 -g -p "$server" -o "$scratch/perf.data" 2>/dev/null &
    recorder=$!
    sleep 0.5
    run_workload "$w"
    kill -INT $recorder; wait $recorder
    perf report -i "$scratch/perf.data" --no-children --sort dso,symbol --stdio -g none 2>/dev/null |
        grep -E '^ +[0-9]' | head -20
    echo "=== $program, $w: system calls of the serving process"
    strace -c -f -p "$server" -o "$scratch/strace.txt" &
    tracer=$!
    sleep 0.5
    run_workload "$w"
    kill -INT $tracer; wait $tracer
    head -20 "$scratch/strace.txt"
done
