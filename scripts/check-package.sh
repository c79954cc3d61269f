#!/usr/bin/env bash
# The Debian package end to end:
#   1. packs kzr-effects with CPack from a build folder (default: build),
#   2. compares its file list (dpkg-deb -c) with tests/editors/package-contents.txt,
#   3. installs it with apt-get, then, with no FREI0R_PATH, MLT_*, GEGL_PATH
#      or LD_LIBRARY_PATH in the environment: melt and ffmpeg render through
#      the installed plug-ins and gegl through the installed GEGL operations,
#      byte for byte what the installed fxhost renders, and /usr/bin/fxhost
#      lists the ten effects; libobs finds the OBS plug-in in its own module
#      folders and renders through it; Kdenlive's category file (or a
#      stand-in where Kdenlive is not installed) is diverted and holds the
#      effects' group besides all of Kdenlive's own,
#   4. removes it with apt-get, checks that none of its files remain and
#      that Kdenlive's category file is back as it was, and purges what dpkg
#      keeps of it.
#
#   scripts/check-package.sh [--contents-only] [BUILD_DIR]
#
# Steps 3 and 4 need root (they are skipped with a message otherwise, exit
# 77); --contents-only stops after step 2.  Every step has a time limit;
# the whole check takes well under three minutes on a built tree, plus up to
# ten minutes per apt-get call waiting for another apt or dpkg to finish.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
contents_only=0
if [ "${1:-}" = "--contents-only" ]; then
  contents_only=1
  shift
fi
build=$(realpath "${1:-$root/build}")
expected=$root/tests/editors/package-contents.txt
package=kzr-effects

if [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "FAIL: $build is not a configured build folder (no CPackConfig.cmake);" \
       "configure it with cmake -S . -B $build first" >&2
  exit 1
fi

work=$(mktemp -d)
chmod 755 "$work"  # apt-get reads the package as the _apt user
# apt-get waits for another apt-get or dpkg holding the lock instead of failing.
apt_get() { timeout 900 apt-get -o DPkg::Lock::Timeout=600 "$@"; }
installed=0
rc=/usr/share/kdenlive/kdenliveeffectscategory.rc
standin=0
cleanup() {
  if [ "$installed" = 1 ]; then
    apt_get purge -y -qq "$package" >/dev/null 2>&1 || true
  fi
  if [ "$standin" = 1 ]; then
    rm -f "$rc"
    rmdir /usr/share/kdenlive 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# ---- 1. the package ----------------------------------------------------------
echo "== packing $package in $build"
(cd "$build" && timeout 150 cpack -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; echo "FAIL: cpack failed"; exit 1; }
deb=$(ls "$work"/cpack/${package}_*.deb)
cp "$deb" "$work/"
deb=$work/$(basename "$deb")
echo "ok: $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# ---- 2. its contents ---------------------------------------------------------
# Lines of the expected list that end in "/*" stand for anything below that
# folder (the documentation, which grows with the project).
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | sort >"$work/actual.txt"
grep -v '^#' "$expected" | sed '/^$/d' | sort >"$work/expected.txt"
cp "$work/actual.txt" "$work/folded.txt"
while IFS= read -r glob; do
  prefix=${glob%/\*}
  awk -v p="$prefix/" -v g="$glob" 'index($0, p) == 1 { print g; next } { print }' \
    "$work/folded.txt" | sort -u >"$work/folded.tmp"
  mv "$work/folded.tmp" "$work/folded.txt"
done < <(grep '/\*$' "$work/expected.txt")
if diff -u "$work/expected.txt" "$work/folded.txt" >"$work/contents.diff"; then
  echo "ok: package contents match $(basename "$expected") ($(wc -l <"$work/actual.txt") entries)"
else
  fail "package contents differ from $expected (- expected, + packed):"
  grep '^[-+][^-+]' "$work/contents.diff" || true
fi
for must in /usr/share/doc/$package/docs/editors.md /usr/share/doc/$package/docs/obs.md \
  /usr/lib/x86_64-linux-gnu/obs-plugins/kzr-effects.so \
  /usr/share/obs/obs-plugins/kzr-effects/locale/de-DE.ini; do
  grep -qx "$must" "$work/actual.txt" || fail "$must is not in the package"
done
if [ "$contents_only" = 1 ]; then
  [ "$failures" -eq 0 ] && exit 0 || exit 1
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing the package needs root (run this script as root)"
  exit 77
fi

# ---- 3. installed --------------------------------------------------------------
echo "== installing with apt-get"
# Without Kdenlive, a stand-in of its category file shows what the package
# does to it (what happens when Kdenlive comes or goes later, the trigger,
# is described in docs/editors.md).
if [ -e "$rc.distrib" ]; then  # diverted by an earlier install of the package
  cp "$rc.distrib" "$work/rc.before"
else
  if [ ! -e "$rc" ]; then
    mkdir -p "$(dirname "$rc")"
    printf '<data name="effects">\n<group list="mirror"><text>Transform</text></group>\n</data>\n' >"$rc"
    standin=1
  fi
  cp "$rc" "$work/rc.before"
fi
export DEBIAN_FRONTEND=noninteractive
apt_get install --reinstall -y -qq "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; echo "FAIL: apt-get install failed"; exit 1; }
installed=1
dpkg-query -W -f='${Status}\n' "$package" | grep -q "install ok installed" ||
  fail "dpkg does not report $package as installed"

# The programs run with an environment of PATH and HOME only, so nothing but
# the installed files can lead them to the plug-ins and the module.
clean() {
  env -i PATH=/usr/bin:/bin HOME="$work/home" timeout 60 "$@"
}
mkdir -p "$work/home"
cd "$work"

rgba() {  # decodes images into one stream of RGBA bytes
  local f
  for f in "$@"; do
    clean ffmpeg -nostdin -v error -i "$f" -f rawvideo -pix_fmt rgba -
  done
}
same() {  # same LABEL A B
  if cmp -s "$2" "$3"; then
    echo "ok: $1"
  else
    fail "$1: $(cmp -l "$2" "$3" 2>/dev/null | wc -l) of $(stat -c %s "$2") bytes differ"
  fi
}

[ -x /usr/bin/fxhost ] || fail "/usr/bin/fxhost is missing"
clean /usr/bin/fxhost list >list.txt 2>&1 || { cat list.txt; fail "fxhost list failed"; }
listed=$(grep -cE '^(hmirror|hsqueeze|hstretch|vstretch|tristretch|doublefisheye|drain|laser|square|sshape) ' list.txt || true)
[ "$listed" = 10 ] && echo "ok: /usr/bin/fxhost list shows the 10 effects" ||
  fail "/usr/bin/fxhost list shows $listed of 10 effects"
grep -q "language ENU: /usr/lib/kzr/KZR_PlugIn_6_ENU.DLL" list.txt ||
  fail "fxhost did not use the installed English texts: $(head -1 list.txt)"
clean /usr/bin/fxhost list --lang DEU >list-de.txt 2>&1 || true
grep -q "^drain  *Abfluss" list-de.txt && echo "ok: fxhost list --lang DEU shows the German names" ||
  fail "fxhost list --lang DEU shows no German names: $(head -3 list-de.txt)"

# FFmpeg: two frames through kzr_drain, Degree 0.265*50 = 13.25 (divided by
# the top of its range), Size 0.75 and Position (0.375, 0.625) as themselves,
# Inverse on.
clean ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 2 \
  -vf format=rgba src_%d.png
if clean ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 2 \
     -vf 'format=rgba,frei0r=kzr_drain:0.265|0.75|y|0.375|0.625' -f rawvideo -pix_fmt rgba \
     ffmpeg.rgba 2>ffmpeg.log; then
  for i in 1 2; do
    clean /usr/bin/fxhost render drain "src_$i.png" -o "ref_$i.png" -q \
      --set Degree=13.25 --set Size=0.75 --set Inverse=1 --set Position=0.375,0.625
  done
  rgba ref_1.png ref_2.png >ref.rgba
  same "ffmpeg -vf frei0r=kzr_drain with the installed plug-in, 2 frames" ffmpeg.rgba ref.rgba
else
  cat ffmpeg.log
  fail "ffmpeg could not use the installed kzr_drain"
fi

# melt: one frame through frei0r.kzr_square, Degree 0.07525 and Position
# (0.35, 0.575), each as itself.  A profile of the image's size keeps melt
# from scaling the frame; pixbuf reads the image (qimage, MLT's first choice,
# fails without an X display, and the fallback from it is not reliable).
clean melt -query filter=frei0r.kzr_square >query.txt 2>&1 || true
grep -q "identifier: frei0r.kzr_square" query.txt && echo "ok: melt -query finds frei0r.kzr_square" ||
  fail "melt does not know frei0r.kzr_square: $(tail -3 query.txt)"
cat >profile.txt <<'PROFILE'
description=320x240 25 fps
frame_rate_num=25
frame_rate_den=1
width=320
height=240
progressive=1
sample_aspect_num=1
sample_aspect_den=1
display_aspect_num=4
display_aspect_den=3
colorspace=709
PROFILE
if clean melt -silent -profile "$work/profile.txt" pixbuf:src_1.png out=0 \
     -filter frei0r.kzr_square Degree=0.07525 X=0.35 Y=0.575 \
     -consumer avformat:melt_%d.png vcodec=png pix_fmt=rgba real_time=0 >melt.log 2>&1 &&
   [ -f melt_1.png ]; then
  clean /usr/bin/fxhost render square src_1.png -o mref.png -q \
    --set Degree=0.07525 --set Position=0.35,0.575
  rgba melt_1.png >melt.rgba
  rgba mref.png >mref.rgba
  same "melt frei0r.kzr_square with the installed plug-in, 1 frame" melt.rgba mref.rgba
else
  cat melt.log
  fail "melt could not render through the installed frei0r.kzr_square"
fi

# GEGL: the installed operations lie where Debian's GEGL looks (no GEGL_PATH),
# and kzr:drain renders what the installed fxhost renders.
if command -v gegl >/dev/null; then
  clean gegl --list-all >gegl-ops.txt 2>&1 || true
  found=$(grep -c '^kzr:' gegl-ops.txt || true)
  [ "$found" = 10 ] && echo "ok: gegl finds the 10 installed kzr: operations" ||
    fail "gegl finds $found of the 10 installed kzr: operations: $(grep -v '^gegl:' gegl-ops.txt | head -3)"
  if clean gegl src_1.png -- kzr:drain degree=13.25 size=0.75 inverse=true x=0.375 y=0.625 \
       gegl:png-save bitdepth=8 path=gegl.png >gegl.log 2>&1; then
    clean /usr/bin/fxhost render drain src_1.png -o gref.png -q \
      --set Degree=13.25 --set Size=0.75 --set Inverse=1 --set Position=0.375,0.625
    rgba gegl.png >gegl.rgba
    rgba gref.png >gref.rgba
    same "gegl kzr:drain with the installed extension" gegl.rgba gref.rgba
  else
    cat gegl.log
    fail "gegl could not render through the installed kzr:drain"
  fi
else
  echo "SKIP: gegl is not installed; the installed GEGL operations are not run"
fi

# The Python package from the interpreter's own dist-packages, and the frame
# it renders equals the installed fxhost's.
if clean python3 -B -c "import kzrfx, numpy, sys
fx = kzrfx.Effect('drain', 160, 90, degree=20)
sys.stdout.buffer.write(fx(kzrfx.test_card(160, 90)).tobytes())" >py.rgba 2>py.log; then
  clean /usr/bin/fxhost render drain --size 160x90 --set P1=20 -o pref.png >/dev/null 2>&1 ||
    fail "fxhost could not render the Python comparison frame"
  rgba pref.png >pref.rgba
  same "python3 imports the installed kzrfx and renders what fxhost renders" py.rgba pref.rgba
else
  cat py.log
  fail "python3 could not import and run the installed kzrfx"
fi

# OBS Studio: libobs (headless on Xvfb, as kzr_obs_bench --installed runs it)
# finds kzr-effects in its module folders, the plug-in loads the installed
# module and its English texts, and a few frames go through the drain.
if [ -x "$build/bin/kzr_obs_bench" ] && command -v xvfb-run >/dev/null; then
  if clean xvfb-run -a "$build/bin/kzr_obs_bench" --installed --frames 5 320x180 drain \
       >obs.log 2>&1 && grep -q "^320x180 *drain .* Drain$" obs.log; then
    echo "ok: libobs loads the installed kzr-effects and renders through the Drain filter"
  else
    cat obs.log
    fail "libobs could not load or run the installed kzr-effects"
  fi
else
  echo "skipped: the OBS check needs $build/bin/kzr_obs_bench and xvfb-run"
fi

# Kdenlive's category file: diverted by the package, and written as
# Kdenlive's copy with the effects' group added.
divertedBy=$(dpkg-divert --listpackage "$rc")
[ "$divertedBy" = "$package" ] || fail "$rc is diverted by '$divertedBy', not by $package"
if grep 'frei0r\.kzr_drain' "$rc" >/dev/null &&
   sed '/<group list="frei0r\.kzr_/,/<\/group>/d' "$rc" | cmp -s - "$work/rc.before"; then
  echo "ok: Kdenlive's category file holds the effects' group and all of its own"
else
  fail "$rc is not Kdenlive's copy with the effects' group: $(diff "$work/rc.before" "$rc" | head -5)"
fi

# ---- 4. removed ------------------------------------------------------------------
echo "== removing with apt-get"
apt_get remove -y -qq "$package" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get remove failed"; }
installed=0
if dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep "installed" >/dev/null; then
  fail "dpkg still reports $package: $(dpkg-query -W -f='${Status}' "$package")"
fi
# dpkg's output is read whole (no grep -q), so a SIGPIPE cannot hide a match.
# The folder of a stand-in category file is left (not empty) and listed
# with its parents.
listed=$(dpkg -L "$package" 2>/dev/null | grep '^/' || true)
[ "$standin" = 0 ] || listed=$(grep -vx -e /usr -e /usr/share -e /usr/share/kdenlive <<<"$listed" || true)
if [ -n "$listed" ]; then
  fail "dpkg -L $package still lists files: $(head -3 <<<"$listed")"
else
  echo "ok: dpkg -L $package lists no files"
fi
left=0
while IFS= read -r path; do
  case $path in
    /usr | /usr/bin | /usr/lib | /usr/share | /usr/share/doc | /usr/lib/frei0r-1 | \
      /usr/share/kdenlive | /usr/share/kdenlive/effects | /usr/share/shotcut | \
      /usr/share/shotcut/qml | /usr/share/shotcut/qml/filters | /usr/lib/x86_64-linux-gnu | \
      /usr/lib/x86_64-linux-gnu/obs-plugins | /usr/share/obs | /usr/share/obs/obs-plugins) continue ;;  # shared folders
  esac
  # A folder another installed package owns too (the interpreter's
  # dist-packages, for one) stays.
  if [ -d "$path" ] && [ ! -L "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; then
    continue
  fi
  if [ -e "$path" ] || [ -L "$path" ]; then
    echo "left behind: $path"
    left=$((left + 1))
  fi
done <"$work/actual.txt"
[ "$left" = 0 ] && echo "ok: nothing of $package remains" || fail "$left paths remain after removal"
if cmp -s "$rc" "$work/rc.before" && ! dpkg-divert --listpackage "$rc" | grep . >/dev/null; then
  echo "ok: Kdenlive's category file is back as it was, not diverted"
else
  fail "$rc is not back as it was after removal (diverted by: $(dpkg-divert --listpackage "$rc"))"
fi
# dpkg keeps the maintainer scripts after a removal until the package is
# purged.
apt_get purge -y -qq "$package" >/dev/null 2>&1 || fail "apt-get purge failed"
if dpkg-query -W "$package" >/dev/null 2>&1; then
  fail "dpkg still knows $package after purging: $(dpkg-query -W -f='${Status}' "$package")"
fi

[ "$failures" -eq 0 ]
