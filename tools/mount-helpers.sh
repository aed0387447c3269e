# Sourced by the scripts that start the programs on a mount point.
#
#   wait_for_mount MOUNTPOINT [SECONDS [PID]]
#       0 once MOUNTPOINT is a FUSE mount; 1 after SECONDS (default 10) or
#       as soon as process PID has ended
#   lock_file_of BUILD_DIR MOUNTPOINT
#       the mount point's lock file, as the programs compute it
#   release_lock BUILD_DIR MOUNTPOINT
#       moves the lock file away and removes it, so that a FUSE 2 program
#       waiting for that ends at once

wait_for_mount() {
    local point=$1 seconds=${2:-10} pid=${3:-} i
    for ((i = 0; i < seconds * 10; ++i)); do
        grep -q " $point fuse" /proc/self/mounts && return 0
        [[ -n $pid ]] && ! kill -0 "$pid" 2>/dev/null && return 1
        sleep 0.1
    done
    grep -q " $point fuse" /proc/self/mounts
}

lock_file_of() {
    "$1/norra-brix-daemon" --lock-file "$2"
}

release_lock() {
    "$1/norra-brix-daemon" --remove-lock "$2"
}
