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
level=$(build/bin/fxhost bench hmirror --size 16x16 --runs 1 | sed -n '1s/.*cpu level \([0-9]*\).*/\1/p')
case $level in
  8) paths="per-pixel, SSE2 and AVX2" ;;
  *) paths="per-pixel and SSE2; no AVX2 here, its checks are skipped" ;;
esac
echo "== CPU level of this machine: $level; the differential tests run the $paths paths"
(cd build && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DKZR_SANITIZE=address,undefined -DKZR_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer (threaded effect and task runner)"
# oneTBB hands tasks to its workers inside its own library; Debian's copy is
# not instrumented, so ThreadSanitizer would see neither that hand-over nor the
# reuse of its task memory and would report races inside oneTBB.  The same
# version, built from Debian's source with ThreadSanitizer, is used instead.
tbb_tsan=$PWD/build-tsan/tbb
if [ ! -f "$tbb_tsan/install/.complete" ]; then
  tbb_src=$(bash scripts/tbb-source.sh "$tbb_tsan")
  cmake -S "$tbb_src" -B "$tbb_tsan/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTBB_SANITIZE=thread \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBBMALLOC_BUILD=OFF -DTBB_STRICT=OFF \
    -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON -DTBB_ENABLE_IPO=OFF >/dev/null
  cmake --build "$tbb_tsan/build" --target tbb -j "$jobs" >/dev/null
  rm -rf "$tbb_tsan/install"
  cmake --install "$tbb_tsan/build" --prefix "$tbb_tsan/install" >/dev/null
  touch "$tbb_tsan/install/.complete"
fi
build build-tsan -DKZR_SANITIZE=thread -DKZR_BUILD_BENCH=OFF -DTBB_DIR="$tbb_tsan/install/lib/cmake/TBB"
# ldd's output is taken whole first: under pipefail, grep -q leaving at the first
# match can end ldd with SIGPIPE and fail the check on a good build.
tsan_libs=$(ldd build-tsan/bin/KZR_PlugIn_6.so)
if ! grep -q "$tbb_tsan/install/lib/libtbb" <<<"$tsan_libs"; then
  echo "the ThreadSanitizer build does not load the instrumented oneTBB from $tbb_tsan/install" >&2
  exit 1
fi
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
