#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build folder build-fuzz, or $2)
# and runs each for SECONDS (default 120) from the saved corpus in fuzz/corpus.
# New inputs go to a scratch folder; a finding stops the run with a non-zero
# exit and leaves the input that reproduces it in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
dir=${2:-build-fuzz}
CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKZR_FUZZ=ON \
  -DKZR_BUILD_TESTS=OFF -DKZR_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target kzr_fuzz_module kzr_fuzz_frei0r kzr_fuzz_picture
# The sanitizer runtime is a shared library here and must come first; it is
# preloaded into the fuzzers only (other programs under it, mktemp for one,
# fail on their own leak reports at exit).
asan_runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
mkdir -p "$dir/findings"
for target in module frei0r picture; do
  scratch=$(mktemp -d)
  echo "== fuzzing $target for $seconds s"
  log="$dir/fuzz-$target.log"
  status=0
  LD_PRELOAD=$asan_runtime "$dir/bin/kzr_fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$target-" "$scratch" "fuzz/corpus/$target" >"$log" 2>&1 ||
    status=$?
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|ERROR|SUMMARY' \
    "$log" || true
  rm -rf "$scratch"
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    echo "fuzzer $target found a fault (exit $status); input saved in $dir/findings/" >&2
    exit 1
  fi
done
