#!/usr/bin/env bash
# The filters in the real OBS Studio, by hand-free automation (not part of
# CI; docs/obs.md shows the result):
#   1. installs OBS Studio, Xvfb, xdotool and ImageMagick when missing,
#   2. packs and installs kzr-effects from a build folder (default: build),
#   3. writes an OBS profile and a scene collection into a temporary home:
#      one scene with the test card as an image source carrying the Drain
#      filter, as a user's saved collection holds it,
#   4. starts obs under Xvfb, checks that its log lists kzr-effects.so among
#      the loaded modules and the filter on the source, and saves screenshots
#      of the preview, the filter's properties and the list of filters,
#   5. starts it again in German and saves the properties once more,
#   6. purges the package again (--keep leaves it installed).
#
#   sudo scripts/check-obs.sh [--keep] [BUILD_DIR]
#
# Screenshots go to docs/obs/*.png.  The clicks go to fixed places of OBS
# 29.0's default layout in a 1600x1000 window (Debian 12); other versions
# may need other places.  KZR_OBS_DISPLAY picks the X display number.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
keep=0
if [ "${1:-}" = "--keep" ]; then
  keep=1
  shift
fi
build=$(realpath "${1:-$root/build}")
shots=$root/docs/obs
package=kzr-effects
if [ "$(id -u)" -ne 0 ]; then
  echo "check-obs.sh installs packages: run it as root" >&2
  exit 1
fi

bash "$root/scripts/install-deps.sh" obs-studio xvfb x11-utils xdotool imagemagick ffmpeg libgl1-mesa-dri

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ "$keep" = 0 ]; then
    timeout 120 apt-get purge -y -qq "$package" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== packing and installing $package"
(cd "$build" && timeout 300 cpack -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
cp "$work"/cpack/${package}_*.deb "$work/"
DEBIAN_FRONTEND=noninteractive timeout 300 apt-get install --reinstall -y -qq "$work"/${package}_*.deb \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }

# The test card from the installed Python package, as a PNG.
/usr/bin/python3 -c "import kzrfx, sys
sys.stdout.buffer.write(kzrfx.test_card(1280, 720).tobytes())" |
  ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt rgba -s 1280x720 -i - "$work/card.png"

config=$work/home/.config/obs-studio
mkdir -p "$config/basic/profiles/KZR" "$config/basic/scenes" "$shots"
write_global() {  # write_global LANGUAGE
  cat >"$config/global.ini" <<EOF
[General]
FirstRun=false
LastVersion=486539266
Language=$1
[Basic]
ConfigOnNewProfile=false
Profile=KZR
ProfileDir=KZR
SceneCollection=KZR
SceneCollectionFile=KZR
EOF
}
# LastVersion (29.0.2) and ConfigOnNewProfile keep OBS from offering its
# auto-configuration wizard.
cat >"$config/basic/profiles/KZR/basic.ini" <<'EOF'
[General]
Name=KZR
[Video]
BaseCX=1280
BaseCY=720
OutputCX=1280
OutputCY=720
FPSType=0
FPSCommon=30
EOF
cat >"$config/basic/scenes/KZR.json" <<EOF
{
  "name": "KZR", "current_scene": "Scene", "current_program_scene": "Scene",
  "scene_order": [{"name": "Scene"}], "transitions": [],
  "sources": [
    {"id": "scene", "versioned_id": "scene", "name": "Scene",
     "settings": {"id_counter": 1, "items": [
       {"name": "Test card", "id": 1, "visible": true, "pos": {"x": 0.0, "y": 0.0},
        "scale": {"x": 1.0, "y": 1.0}, "rot": 0.0, "align": 5, "bounds_type": 0}]}},
    {"id": "image_source", "versioned_id": "image_source", "name": "Test card",
     "settings": {"file": "$work/card.png"},
     "filters": [{"id": "kzr_drain", "versioned_id": "kzr_drain", "name": "Drain",
                  "settings": {"degree": 20.0, "size": 0.9}}]}
  ]
}
EOF

# An X server already running on KZR_OBS_DISPLAY (with a 1600x1000 screen)
# is used as it is; otherwise an Xvfb of our own.
display=:${KZR_OBS_DISPLAY:-$((100 + RANDOM % 100))}
if ! xdpyinfo -display "$display" >/dev/null 2>&1; then
  Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  sleep 2
fi
export DISPLAY=$display HOME=$work/home LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=xcb

# window TITLE-PATTERN: waits up to 90 s for a visible window and prints its id.
window() {
  local i w
  for i in $(seq 90); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    if [ -n "$w" ]; then
      echo "$w"
      return 0
    fi
    sleep 1
  done
  echo "no window '$1' appeared" >&2
  return 1
}
# wait_log PATTERN: waits up to 180 s for the newest OBS log to show PATTERN.
wait_log() {
  local i log
  for i in $(seq 180); do
    log=$(ls -t "$config"/logs/*.txt 2>/dev/null | head -1 || true)
    if [ -n "$log" ] && grep -q "$1" "$log"; then
      return 0
    fi
    sleep 1
  done
  echo "OBS's log never showed '$1'" >&2
  return 1
}
click() {  # click WINDOW X Y: relative to the window
  xdotool mousemove --window "$1" "$2" "$3" click 1
  sleep 4
}

# run_obs LANGUAGE FILTERS-BUTTON-X SUFFIX: starts obs, opens the filters
# of the test card and saves the screenshots; the English run also saves the
# preview and the list of filters.
run_obs() {
  write_global "$1"
  obs --multi --disable-missing-files-check >"$work/obs-$1.out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  local main dialog
  main=$(window "^OBS 29")
  wait_log "Switched to scene"
  xdotool windowmove "$main" 0 0
  xdotool windowsize "$main" 1600 1000
  sleep 15  # the software renderer on a busy machine takes its time
  if [ "$1" = en-US ]; then
    import -window root "$shots/preview.png"
    echo "screenshot: docs/obs/preview.png"
  fi
  click "$main" 384 802   # the source in the Sources dock
  click "$main" "$2" 721  # Filters in the bar below the preview
  dialog=$(window "^(Filters for|Filter für)")
  sleep 10
  import -window "$dialog" "$shots/properties$3.png"
  echo "screenshot: docs/obs/properties$3.png"
  if [ "$1" = en-US ]; then
    click "$dialog" 26 698  # + below the filter list
    read -r x y w h < <(xdotool getwindowgeometry --shell "$dialog" |
      awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print x, y, w, h}')
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$shots/filter-list.png"
    echo "screenshot: docs/obs/filter-list.png"
    xdotool key Escape
  fi
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  rm -f "$config"/logs/*.txt.lock
}

echo "== OBS Studio in English"
run_obs en-US 372 ""
log=$(ls -t "$config"/logs/*.txt | tail -1)
sed -n '/Loaded Modules:/,/----/p' "$log" | grep -q "kzr-effects.so" ||
  { cat "$log"; echo "FAIL: the log does not list kzr-effects.so among the loaded modules"; exit 1; }
grep -q "filter: 'Drain' (kzr_drain)" "$log" ||
  { cat "$log"; echo "FAIL: the log does not show the Drain filter on the test card"; exit 1; }
echo "ok: $(basename "$log") lists kzr-effects.so as loaded and the Drain filter on the test card"
grep "\[kzr-effects\]" "$log" | sed 's/^/    /'

echo "== OBS Studio in German"
run_obs de-DE 393 "-de"
