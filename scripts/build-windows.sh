#!/usr/bin/env bash
# Cross-builds the Windows x64 DLL with mingw-w64 and runs its tests under Wine.
#
#   bash scripts/build-windows.sh [BUILD_DIR]      (default: build-win)
#
# Installs the cross compilers, Wine and GoogleTest's sources when missing
# (as root), fetches Debian's oneTBB source package and builds its tbb library
# for Windows into BUILD_DIR/tbb (kept there as a cache), configures and
# builds this project with cmake/mingw-w64-x86_64.cmake and runs ctest, whose
# programs run through Wine in a prefix of the build's own (BUILD_DIR/wine).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath -m "${1:-build-win}")
jobs=$(nproc)

# Runs a command with its output in a log file, shown only when it fails.
logged() {
  local log=$1; shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "failed: $* (whole output in $log)" >&2
    return 1
  fi
}

bash scripts/install-deps.sh cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools \
  binutils-mingw-w64-x86-64 wine wine64 googletest xz-utils patch

# ---- oneTBB for Windows, from Debian's source package -------------------------
# Debian has no mingw build of oneTBB; its source package is the same version
# as the machine's libtbb-dev.
tbb=$build/tbb
if [ ! -f "$tbb/install/.complete" ]; then
  echo "== oneTBB for Windows (once per build folder)"
  src=$(bash scripts/tbb-source.sh "$tbb")
  logged "$tbb/build.log" cmake -S "$src" -B "$tbb/build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBBMALLOC_BUILD=OFF -DTBB_STRICT=OFF \
    -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON -DTBB_ENABLE_IPO=OFF
  logged "$tbb/build.log" cmake --build "$tbb/build" --target tbb -j "$jobs"
  rm -rf "$tbb/install"
  mkdir -p "$tbb/install/bin" "$tbb/install/lib"
  cp -r "$src/include" "$tbb/install/include"
  find "$tbb/build" -name 'libtbb12.dll' -exec cp {} "$tbb/install/bin/" \;
  find "$tbb/build" -name 'libtbb12.dll.a' -exec cp {} "$tbb/install/lib/" \;
  touch "$tbb/install/.complete"
fi

# ---- The DLL, and its tests under Wine -------------------------------------------
# A Wine prefix of the build's own, made before anything runs in it (the text
# table generator during the build, the tests); CMAKE_CROSSCOMPILING_EMULATOR
# in cmake/mingw-w64-x86_64.cmake uses the same one.
export WINEPREFIX=$build/wine WINEDEBUG=-all
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Wine prefix $WINEPREFIX"
  logged "$build/wineboot.log" wineboot --init
  wineserver --wait
fi

echo "== Windows build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKZR_TBB_ROOT="$tbb/install" -DKZR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"

echo "== Windows tests under Wine"
# A Wine client can lose its wineserver while another test's server shuts
# down ("recvmsg: Connection reset by peer"); such a start-up failure is run
# again.  The tests themselves are deterministic, so a real failure repeats.
(cd "$build" && ctest --output-on-failure -j "$jobs" --repeat until-pass:3)
