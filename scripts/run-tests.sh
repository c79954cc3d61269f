#!/usr/bin/env bash
# Installs what is needed, builds and runs every test: the normal build, an
# AddressSanitizer+UndefinedBehaviorSanitizer build, a ThreadSanitizer build
# of the threaded parts, and a compile check with clang.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== normal build"
build build
(cd build && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DKZR_SANITIZE=address,undefined -DKZR_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer (threaded effect and task runner)"
build build-tsan -DKZR_SANITIZE=thread -DKZR_BUILD_BENCH=OFF
tsan_tests=$(cat tests/tsan-tests.txt)
(cd build-tsan && ctest --output-on-failure -j "$jobs" -R "$tsan_tests")

echo "== libFuzzer: the module's host interface and the frei0r plug-ins, ${KZR_FUZZ_SECONDS:-120} s each"
bash scripts/run-fuzz.sh "${KZR_FUZZ_SECONDS:-120}"

echo "== clang compile check"
CXX=clang++ build build-clang -DKZR_BUILD_BENCH=OFF

echo "== Debian package: pack, install, render through melt and FFmpeg, remove"
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/check-package.sh build
else
  echo "skipped: installing the package needs root (run scripts/check-package.sh as root)"
fi
