#!/usr/bin/env bash
# Runs stress-ng's filesystem stressors through a mount of each program,
# with --allow-delete, and prints one line per program and stressor.
#
#   sudo tools/stress-ng.sh [BUILD_DIR] [SECONDS_PER_STRESSOR] [-- EXTRA PROGRAM OPTIONS]
#
# Everything happens in a private mount namespace: the mirror, the lock
# directory (a scratch directory bound over /var/lib) and the backing
# directory live under one temporary directory that is removed at the end.
# Exit status 0 when every stressor passed on both programs.
set -uo pipefail

build=$(realpath "${1:-build}")
seconds=${2:-20}
shift 2 2>/dev/null || shift $#
[[ "${1:-}" == "--" ]] && shift
extra=("$@")
stressors=(${NBF_STRESSORS:-hdd dir rename link xattr flock lockf fallocate seek})

if [[ -z "${NBF_STRESS_NG_INSIDE:-}" ]]; then
    command -v stress-ng >/dev/null || { echo "stress-ng is not installed" >&2; exit 2; }
    [[ $(id -u) == 0 ]] || { echo "run as root" >&2; exit 2; }
    NBF_STRESS_NG_INSIDE=1 exec unshare -m --propagation private "$0" "$build" "$seconds" -- "${extra[@]}"
fi

. "$(dirname "$0")/mount-helpers.sh"
scratch=$(mktemp -d /tmp/nbf-stress-ng-XXXXXX)
chmod 755 "$scratch"
mkdir -p "$scratch/varlib/brix" "$scratch/mnt" "$scratch/data"
mount --bind "$scratch/varlib" /var/lib

launcher_pid=
program_pid=
# Each stressor gets a fresh mount; a stressor that hung leaves requests
# that only ending the serving process answers (with ENOTCONN).
start_mount() {
    "$build/norra-brix-daemon" "$build/$1" -u 0 -g 0 -f "$scratch/mnt" --allow-delete "${extra[@]}" \
        2>>"$scratch/$1.stderr" &
    launcher_pid=$!
    wait_for_mount "$scratch/mnt" 10 "$launcher_pid"
    local mounted=$?
    program_pid=$(pgrep -P "$launcher_pid")
    return $mounted
}
# The launcher unmounts and releases the lock on SIGTERM, and returns its
# program's status; a program that has not ended after 5 s is killed, and
# said so.
stop_mount() {
    if [[ -n "$launcher_pid" ]]; then
        kill -TERM "$launcher_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$launcher_pid" 2>/dev/null || break; sleep 0.1; done
        if kill -0 "$launcher_pid" 2>/dev/null; then
            echo "$1: the program did not end on SIGTERM; killed"
            [[ -n "$program_pid" ]] && kill -KILL "$program_pid" 2>/dev/null
            kill -KILL "$launcher_pid" 2>/dev/null
        fi
        wait "$launcher_pid" 2>/dev/null
        launcher_pid=
        program_pid=
    fi
    while umount -l "$scratch/mnt" 2>/dev/null; do :; done
    release_lock "$build" "$scratch/mnt" 2>/dev/null
}
trap 'stop_mount; umount -l /var/lib; rm -rf "$scratch"' EXIT

failures=0
for program in ${NBF_PROGRAMS:-norra-brix-fuse norra-brix-fuse2}; do
    for stressor in "${stressors[@]}"; do
        if ! start_mount "$program"; then
            echo "$program: did not mount: $(cat "$scratch/$program.stderr")"
            failures=$((failures + 1))
            stop_mount "$program"
            continue
        fi
        work="$scratch/data/$program-$stressor"
        mkdir -p "$work"
        log="$scratch/$program-$stressor.log"
        timeout -k 10 $((seconds + 60)) stress-ng "--$stressor" 2 --timeout "${seconds}s" --verify \
            --temp-path "$scratch/mnt$work" --metrics-brief >"$log" 2>&1
        status=$?
        ops=$(awk -v s="$stressor" '$4 == s && $5 ~ /^[0-9]+$/ { print $5 }' "$log" | head -1)
        if [[ $status == 0 ]]; then
            echo "$program $stressor: passed (${ops:-?} bogo ops in ${seconds} s)"
        else
            failures=$((failures + 1))
            [[ $status == 124 || $status == 137 ]] && echo "$program $stressor: FAILED (hung past its time)" ||
                echo "$program $stressor: FAILED (status $status)"
            grep -E "fail|error|FAIL" "$log" | head -5 | sed 's/^/    /'
        fi
        stop_mount "$program"
        rm -rf "$work"
    done
done
exit $((failures > 0))
