#!/usr/bin/env bash
# Builds the Debian package, checks its contents and dependencies, unpacks it
# into a throwaway root and runs the mount smoke tests against the programs
# found there. Prints the package's path last.
#
#   tools/package.sh [BUILD_DIR_WITH_TESTS]
set -euo pipefail
cd "$(dirname "$0")/.."

tests_dir=${1:-build}
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DNBF_TESTS=OFF >/dev/null
cmake --build build-pkg -j"$(nproc)"
(cd build-pkg && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$PWD"/build-pkg/norra-brix-fuse_*.deb)

fail() { echo "package check: $*" >&2; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
contents=$(dpkg-deb -c "$deb")
# The libraries under this release's names; the lock helper either carried
# (where no package ships it) or brought by fuse.
for needed in 'libfuse3-[0-9]+' 'libfuse2(t64)?'; do
  [[ ",$depends," =~ [,\ ]$needed[\ ,\(] ]] || fail "Depends lacks $needed: $depends"
done
if grep -q " ./usr/bin/ulockmgr_server\$" <<<"$contents"; then
  grep -q " ./usr/share/doc/norra-brix-fuse/ulockmgr_server.copyright\$" <<<"$contents" ||
    fail "the carried lock helper comes without its copyright file"
  [[ ! ",$depends," =~ [,\ ]fuse[\ ,\(] ]] || fail "carries the lock helper and still depends on fuse: $depends"
else
  [[ ",$depends," =~ [,\ ]fuse[\ ,\(] ]] || fail "Depends lacks fuse, which brings the lock helper: $depends"
fi
for path in usr/sbin/norra-brix-fuse usr/sbin/norra-brix-fuse2 usr/sbin/norra-brix-daemon \
            usr/share/man/man8/norra-brix-fuse.8 usr/share/man/man8/norra-brix-fuse2.8 \
            usr/share/man/man8/norra-brix-daemon.8; do
  grep -q " ./$path\$" <<<"$contents" || fail "missing $path"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for fuse in 3 2; do
  program=$root/usr/sbin/norra-brix-fuse; [[ $fuse == 2 ]] && program+=2
  "$tests_dir/tests/mount_tests" --gtest_filter='Attributes.*:Program.*:Startup.ServesThroughLauncher*' \
    --program="$program" --launcher="$root/usr/sbin/norra-brix-daemon" --fuse=$fuse >/dev/null ||
    fail "smoke test of the packaged $(basename "$program") failed"
done
echo "package check passed: $deb"
