#!/usr/bin/env bash
# The kzr: GEGL operations through the gegl command line, byte for byte
# against fxhost render: every effect with other than its default values on
# an odd-sized picture with an alpha ramp, two effects on a 5000x3000 picture
# (many of GEGL's tiles), and values outside the ranges, infinities and NaN
# (clamped by the properties' ranges, NaN ignored, never a crash).
#
#   tests/gegl/gegl_ops.sh OP_DIR FXHOST GEGL_SYSTEM_DIR [SANITIZERS]
#
# OP_DIR holds kzr-effects.so, GEGL_SYSTEM_DIR GEGL's own extensions (the
# PNG loader and saver).  SANITIZERS (address,undefined) preloads their
# runtimes into gegl, which is not instrumented; leaks are not checked there
# (GEGL keeps its caches to the end).  Exits 77 when gegl or ffmpeg is
# missing, or for other sanitizers.
set -euo pipefail
opdir=$(realpath "$1") fxhost=$(realpath "$2") sysdir=$3 sanitize=${4:-}
for tool in gegl ffmpeg; do
  command -v "$tool" >/dev/null ||
    { echo "SKIP: $tool is not installed (Debian packages gegl and ffmpeg)"; exit 77; }
done
export GEGL_PATH="$opdir:$sysdir"
preload=()
if [ -n "$sanitize" ]; then
  for s in ${sanitize//,/ }; do
    case $s in
      address) preload+=("$(gcc -print-file-name=libasan.so)") ;;
      undefined) preload+=("$(gcc -print-file-name=libubsan.so)") ;;
      *) echo "SKIP: no runtime of the $s sanitizer to preload into gegl"; exit 77 ;;
    esac
  done
fi
run_gegl() {
  LD_PRELOAD="${preload[*]:-}" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 timeout 120 gegl "$@"
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

run_gegl --list-all >ops.txt
listed=$(grep -cE '^kzr:(hmirror|hsqueeze|hstretch|vstretch|tristretch|doublefisheye|drain|laser|square|sshape)$' ops.txt || true)
[ "$listed" = 10 ] && echo "ok: gegl lists the 10 kzr: operations" ||
  fail "gegl lists $listed of the 10 kzr: operations"

ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=641x479 -frames:v 1 \
  -vf "format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='40+200*X/W'" odd.png
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=5000x3000 -frames:v 1 -pix_fmt rgba big.png

rgba() { ffmpeg -nostdin -v error -i "$1" -f rawvideo -pix_fmt rgba -; }

# Two gegl:invert-gamma in front (exact on 8-bit pixels, together a no-op)
# make the input a computed one that GEGL renders only where asked: an
# operation asking for less than its whole input would see the rest blank.
# picture | effect | gegl properties | fxhost --set values for the same picture
while IFS='|' read -r picture effect props sets; do
  [[ -z $picture || $picture == \#* ]] && continue
  label="kzr:$effect ${props:-(defaults)} on $picture.png"
  # shellcheck disable=SC2086  # the properties are words
  if ! run_gegl "$picture.png" -- gegl:invert-gamma gegl:invert-gamma "kzr:$effect" $props \
       gegl:png-save bitdepth=8 path=gegl.png >gegl.log 2>&1; then
    fail "$label: gegl failed: $(tail -3 gegl.log)"
    continue
  fi
  args=()
  for s in $sets; do args+=(--set "$s"); done
  "$fxhost" render "$effect" "$picture.png" -o ref.png --force -q "${args[@]}"
  if cmp -s <(rgba gegl.png) <(rgba ref.png); then
    echo "ok: $label"
  else
    fail "$label differs from fxhost render ${sets:-(defaults)}"
  fi
done <<'CASES'
odd|hmirror|inverse=true x-offset=0.3|Inverse=1 XOffset=0.3
odd|hsqueeze|degree=0.07 size=0.3 x=0.35 y=0.6|Degree=0.07 Size=0.3 Position=0.35,0.6
odd|hstretch|degree=0.05 size=0.4 inverse=true x-offset=0.7|Degree=0.05 Size=0.4 Inverse=1 XOffset=0.7
odd|vstretch|degree=0.03 size=0.5 y-offset=0.3|Degree=0.03 Size=0.5 YOffset=0.3
odd|tristretch|degree=0.08 size=0.6 inverse=true x=0.4 y=0.7|Degree=0.08 Size=0.6 Inverse=1 Position=0.4,0.7
odd|doublefisheye|degree=0.05 inverse=true size=3 x=0.6 y=0.35|Degree=0.05 Inverse=1 Size=3 Position=0.6,0.35
odd|drain|degree=20 size=0.75 inverse=true x=0.4 y=0.55|Degree=20 Size=0.75 Inverse=1 Position=0.4,0.55
odd|laser|percentage=0.25 x=0.3 y=0.6|Percentage=0.25 Position=0.3,0.6
odd|square|degree=0.06 x=0.6 y=0.4|Degree=0.06 Position=0.6,0.4
odd|sshape|degree=0.03 size=0.5 inverse=true|Degree=0.03 Size=0.5 Inverse=1
odd|drain||
big|drain|degree=30 x=0.45|Degree=30 Position=0.45,0.5
big|hstretch|degree=0.04 x-offset=0.6|Degree=0.04 XOffset=0.6
# Outside the ranges: clamped to them; NaN keeps the value before it.
odd|drain|degree=1000 size=0 x=-2 y=7|Degree=50 Size=0.5 Position=0,1
odd|laser|percentage=inf y=-inf|Percentage=1 Position=0.5,0
odd|square|degree=nan x=1e300|Position=0.8,0.5
odd|hmirror|inverse=maybe x-offset=nan|
CASES

[ "$failures" -eq 0 ]
