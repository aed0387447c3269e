#!/usr/bin/env bash
# Builds and runs every test: a normal build, its Debian package and the
# run command, then a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the concurrency tests under
# ThreadSanitizer, then each fuzz target briefly, then the benchmark in its
# quick mode, and last the normal suite again on Debian 13
# (tools/check-debian13.sh). NBF_TEST_SCOPE=normal runs only the normal
# build, its package and the run command (what the Debian 13 check runs).
# Needs root (the mount tests mount FUSE file systems in private mount
# namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

scope=${NBF_TEST_SCOPE:-all}
if [[ $scope == normal ]]; then bash tools/install-deps.sh --normal; else bash tools/install-deps.sh; fi
jobs=$(nproc)

build() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

check() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@")
}

build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
check build
# The Debian package: contents, dependencies, and its programs on real mounts.
bash tools/package.sh build
# The README's run command, for each program, on a machine without /var/lib/brix.
bash tools/check-run.sh
[[ $scope == normal ]] && exit 0

build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DNBF_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  check build-sanitize

# Any thread-sanitizer report fails the run.
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNBF_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:exitcode=66:suppressions=$PWD/tests/tsan.supp \
  check build-tsan -R 'Stress|FileIO|Listing'

bash tools/fuzz.sh "${NBF_FUZZ_SECONDS:-15}"

# The benchmark in its quick mode, so that it keeps working; it asserts
# nothing about speed.
python3 bench/run.py --quick --csv "$(mktemp --suffix=.csv)"

# The normal suite, the package and the run command once more, from a fresh
# clone in a Debian 13 root.
bash tools/check-debian13.sh
