#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while on the
# corpus in tests/fuzz/corpus. New inputs go to a scratch directory; pass
# --keep to add them to the corpus instead.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
keep=${2:-}
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNBF_FUZZ=ON -DNBF_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target command_line_fuzz temporary_name_fuzz inotify_scan_fuzz

for target in command_line temporary_name inotify_scan; do
  corpus=tests/fuzz/corpus/$target
  if [[ "$keep" == --keep ]]; then
    fresh=$corpus
  else
    fresh=$(mktemp -d)
  fi
  echo "fuzzing $target for ${seconds}s"
  build-fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    "$fresh" "$corpus" 2>&1 | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)|ERROR|SUMMARY' || true
  status=${PIPESTATUS[0]}
  [[ "$keep" == --keep ]] || rm -rf "$fresh"
  if [[ $status -ne 0 ]]; then
    echo "fuzz target $target failed" >&2
    exit 1
  fi
done
