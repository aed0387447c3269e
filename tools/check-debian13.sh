#!/usr/bin/env bash
# Runs, in a Debian 13 root on this machine, what a new user of Debian 13
# does: from a fresh clone of this repository, the README's test command's
# normal suite (build, every test, the package and the run command), then
# the package installed with apt, whose programs pass the smoke, record-lock
# and SQLite tests with nothing but the package's own lock helper. It runs
# on this machine's kernel; where that kernel offers passthrough of open
# files, norra-brix-fuse's tests run with it, and the check says so (a
# passthrough that stays off fails the suite's test of it).
#
#   tools/check-debian13.sh
#   tools/check-debian13.sh --bench [BENCHMARK OPTIONS]
# --bench runs the benchmark there instead (bench/run.py): the programs
# built as usual, beside norra-brix-fuse built without passthrough.
# The root (NBF_DEBIAN13_ROOT, default /var/cache/norra-brix/debian13) is
# made with debootstrap once and reused. Everything mounted for the check
# lives in a mount namespace of its own and goes with it. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

root=${NBF_DEBIAN13_ROOT:-/var/cache/norra-brix/debian13}

if [[ -z "${NBF_DEBIAN13_INSIDE:-}" ]]; then
    command -v debootstrap >/dev/null ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
    if [[ ! -e "$root/.nbf-ready" ]]; then
        . tools/apt-archive.sh
        mirror=$(debian_archive)
        echo "making a Debian 13 root in $root"
        rm -rf "$root"
        mkdir -p "$root"
        # One retry: a download from the archive fails now and then.
        debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.log" 2>&1 ||
            { sleep 5; rm -rf "$root"; mkdir -p "$root"; debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.log" 2>&1; } ||
            { tail -20 "$root.log" >&2; exit 1; }
        touch "$root/.nbf-ready"
    fi
    rm -rf "$root/root/norra-brix-fuse"
    git clone -q . "$root/root/norra-brix-fuse"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    NBF_DEBIAN13_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

# A mount point of its own: the tests make every mount below the root private.
mount --bind "$root" "$root"
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"
start=$(date +%s)
inside() {
    chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -euo pipefail -c \
        'cd /root/norra-brix-fuse; . /etc/os-release; echo "Debian $VERSION_ID ($VERSION_CODENAME): $(uname -r)"; '"$1" \
        bash "${@:2}"
}

if [[ ${1:-} == --bench ]]; then
    inside '
    bash tools/install-deps.sh --bench
    for dir in build build-nopassthrough; do
        cmake -S . -B $dir -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNBF_TESTS=OFF \
              -DNBF_PASSTHROUGH=$([[ $dir == build ]] && echo ON || echo OFF) >/dev/null
        cmake --build $dir -j"$(nproc)" >/dev/null
    done
    python3 bench/run.py --baseline build-nopassthrough --baseline-label "no passthrough" \
        --baseline-programs fuse3 "$@"' "${@:2}"
    exit
fi

inside '
    NBF_TEST_SCOPE=normal bash tools/test.sh
    # The suite fails where the kernel offers passthrough and it stays off;
    # say which it was.
    recommended=$(ctest --test-dir build -R "^mount.fuse3.Recommended$" -V)
    if grep -q "OK \] Recommended.OpenFilesPassThroughWhereOffered" <<<"$recommended"; then
        echo "passthrough: on (norra-brix-fuse, libfuse $(pkg-config --modversion fuse3), Linux $(uname -r)); its mount tests ran with it"
    else
        echo "passthrough: not offered here (libfuse $(pkg-config --modversion fuse3), Linux $(uname -r))"
    fi
    deb=$(ls "$PWD"/build-pkg/norra-brix-fuse_*.deb)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
    for fuse in 3 2; do
        program=/usr/sbin/norra-brix-fuse; [[ $fuse == 2 ]] && program+=2
        # Without /usr/local/bin: the lock helper must be the package'"'"'s.
        PATH=/usr/sbin:/usr/bin:/sbin:/bin build/tests/mount_tests \
            --gtest_filter="Attributes.*:Startup.ServesThroughLauncher*:FileIO.RecordLocks*:FileIO.FlockConflicts*:Clients.Sqlite*" \
            --program=$program --launcher=/usr/sbin/norra-brix-daemon --fuse=$fuse >/dev/null ||
            { echo "the installed $(basename $program) failed its checks" >&2; exit 1; }
    done
    dpkg -s norra-brix-fuse | grep -E "^(Version|Depends):"
    apt-get remove -y -qq norra-brix-fuse >/dev/null
'
echo "Debian 13 check passed in $(( $(date +%s) - start )) s"
