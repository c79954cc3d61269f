#!/usr/bin/env bash
# The effects in the real editors, by hand-free automation (not part of CI;
# docs/editors.md shows the result):
#   1. installs Kdenlive, Shotcut, Xvfb, xdotool and ImageMagick when missing,
#   2. packs and installs kzr-effects from a build folder (default: build),
#   3. starts Shotcut under Xvfb in English with a project holding one clip,
#      selects the clip, searches the filters for "kzr", adds the drain and
#      saves screenshots,
#   4. starts Shotcut again in German, adds the drain (Abfluss), drags its
#      on-video cross, keyframes its Degree (Stärke) and saves the project,
#   5. starts Kdenlive under Xvfb with a project whose clip carries the drain,
#      types Degree values, adds a keyframe, saves the project and takes
#      screenshots of the effect stack and of the effects' own category,
#   6. purges the package again (--keep leaves it installed).
#
#   sudo scripts/check-editors.sh [--keep] [BUILD_DIR]
#
# Screenshots go to docs/editors/*.png, the projects the editors saved to
# tests/editors/data/ (tests/editors/test_saved_projects.py renders them).
# The clicks go to fixed places of the editors' default layouts at a
# 1600x1000 screen (Kdenlive 22.12, Shotcut 22.12 of Debian 12); other
# versions may need other places.  Shotcut draws its on-video controls only
# with QSG_NO_DEPTH_BUFFER=1 under Mesa's software renderer (without it,
# none of them, its own included, appears on this setup).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
keep=0
if [ "${1:-}" = "--keep" ]; then
  keep=1
  shift
fi
build=$(realpath "${1:-$root/build}")
shots=$root/docs/editors
saved=$root/tests/editors/data
package=kzr-effects
if [ "$(id -u)" -ne 0 ]; then
  echo "check-editors.sh installs packages: run it as root" >&2
  exit 1
fi

bash "$root/scripts/install-deps.sh" kdenlive shotcut xvfb xdotool imagemagick dbus ffmpeg

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  stop_editors 2>/dev/null || true
  kill "${pids[0]:-}" 2>/dev/null || true
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

mkdir -p "$shots" "$saved"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720 -frames:v 1 -vf format=rgba \
  "$work/source.png"

display=${KZR_XVFB_DISPLAY:-:$((90 + RANDOM % 100))}  # KZR_XVFB_DISPLAY=:NN picks one
Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
sleep 2
export DISPLAY=$display

shot() {  # shot NAME: the whole screen into docs/editors/NAME.png
  import -window root "$shots/$1.png"
  echo "screenshot: docs/editors/$1.png"
}
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
  echo "no window named $1 appeared" >&2
  return 1
}
click() {  # click X Y, then a pause for the editor to react
  xdotool mousemove "$1" "$2" click 1
  sleep "${3:-2}"
}
drag() {  # drag X0 Y0 X1 Y1: the left button held over twenty steps
  local i
  xdotool mousemove "$1" "$2"
  sleep 0.5
  xdotool mousedown 1
  for i in $(seq 20); do
    xdotool mousemove $(($1 + ($3 - $1) * i / 20)) $(($2 + ($4 - $2) * i / 20))
    sleep 0.05
  done
  sleep 0.5
  xdotool mouseup 1
  sleep 3
}
typein() {  # typein X Y TEXT: a double click into a number field, its text replaced
  xdotool mousemove "$1" "$2" click --repeat 2 1
  sleep 1
  xdotool key ctrl+a
  xdotool type "$3"
  xdotool key Return
  sleep 2
}
# keyframed FILE PROPERTY: the saved project holds keyframes for PROPERTY.
keyframed() {
  grep -q "<property name=\"$2\">[^<]*=[^<]*;[^<]*=" "$1" ||
    { echo "the project $1 holds no keyframes for $2: a click missed" >&2; return 1; }
}
# editor HOME COMMAND...: starts an editor with its own home folder.
editor() {
  local home=$1
  shift
  mkdir -p "$home"
  chmod 700 "$home"
  HOME=$home XDG_RUNTIME_DIR=$home XDG_CONFIG_HOME=$home/.config timeout 600 "$@" \
    >"$home.log" 2>&1 &
  pids+=($!)
}
descendants() {  # descendants PID: the processes below PID, deepest first
  local child
  for child in $(pgrep -P "$1" || true); do
    descendants "$child"
    echo "$child"
  done
}
stop_editors() {  # ends the editors started so far with everything they started
  local pid tree=()
  for pid in "${pids[@]:1}"; do
    tree+=($(descendants "$pid") "$pid")
  done
  for pid in "${tree[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  sleep 3
  for pid in "${tree[@]}"; do
    kill -9 "$pid" 2>/dev/null || true
  done
  pids=("${pids[0]}")
}

# ---- Shotcut -------------------------------------------------------------------
# One second of the still image (25 frames), so that the saved projects
# render quickly in the tests.
cat >"$work/shotcut.mlt" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<mlt LC_NUMERIC="C" version="7.12.0" title="Shotcut version 22.12.21" producer="main_bin">
  <profile description="HD 720p 25 fps" width="1280" height="720" progressive="1"
    sample_aspect_num="1" sample_aspect_den="1" display_aspect_num="16" display_aspect_den="9"
    frame_rate_num="25" frame_rate_den="1" colorspace="709"/>
  <playlist id="main_bin">
    <property name="xml_retain">1</property>
  </playlist>
  <producer id="producer0" in="0" out="24">
    <property name="length">25</property>
    <property name="resource">source.png</property>
    <property name="mlt_service">qimage</property>
    <property name="shotcut:caption">source.png</property>
  </producer>
  <playlist id="playlist0">
    <property name="shotcut:video">1</property>
    <property name="shotcut:name">V1</property>
    <entry producer="producer0" in="0" out="24"/>
  </playlist>
  <tractor id="tractor0" title="Shotcut version 22.12.21" in="0" out="24">
    <property name="shotcut">1</property>
    <track producer="playlist0"/>
  </tractor>
</mlt>
EOF

# shotcut_start SUFFIX TAB_X [env assignments...]: Shotcut on its own copy of
# the project, the clip selected, the Filters tab (at TAB_X, where the
# language puts it) open and the list of filters searched for "kzr".  (Keys
# typed anywhere else act as Shotcut's shortcuts and may change the project.)
shotcut_start() {
  local suffix=$1 tab=$2 w
  shift 2
  echo "== Shotcut$suffix"
  cp "$work/shotcut.mlt" "$work/shotcut$suffix.mlt"
  editor "$work/shotcut-home$suffix" env QSG_NO_DEPTH_BUFFER=1 "$@" shotcut "$work/shotcut$suffix.mlt"
  w=$(window "Shotcut")
  sleep 8
  xdotool windowmove "$w" 0 0 windowsize "$w" 1600 1000
  sleep 3
  click 150 880 1     # the clip in the timeline
  click "$tab" 708    # the Filters tab
  click 21 288        # "+": the list of filters
  xdotool type --delay 150 "kzr"
  sleep 3
}
shotcut_start "-en" 103 LANG=C.UTF-8
shot shotcut-list
click 75 236 4        # the second entry: Drain
shot shotcut-filter
stop_editors

# In German the list starts with Abfluss (the drain).  Its cross starts at
# the centre of the picture (617..1267 x 170..536 on the screen) and is
# dragged to about (0.25, 0.3) of the frame; Stärke (Degree) gets keyframes,
# 5 (the default) at the first frame and 40 at frame 20.
shotcut_start "-de" 159 LANG=de_DE.UTF-8 LANGUAGE=de
click 81 206 4        # Abfluss
shot shotcut-filter-de
drag 942 353 780 280
shot shotcut-drag-de
click 556 348         # the keyframe button of Stärke
typein 689 675 "00:00:00:20"   # the player's position
typein 440 348 "40"            # Stärke at frame 20
xdotool key ctrl+s
sleep 3
shot shotcut-keyframes-de
keyframed "$work/shotcut-de.mlt" Degree
cp "$work/shotcut-de.mlt" "$saved/shotcut-drain.mlt"
echo "saved: tests/editors/data/shotcut-drain.mlt"
grep -i "kzr_.*\(error\|warning\)\|qml.*kzr" "$work/shotcut-home-de.log" || true
stop_editors

# ---- Kdenlive ------------------------------------------------------------------
# The package has given the effects their own category in Kdenlive's
# category file, so Kdenlive starts with an empty home folder.
khome=$work/kdenlive-home

# A project as Kdenlive 22.12 saves one: the clip in the bin and on track
# V1, the drain on the timeline clip (Degree 5, Size 1, centre 0.4, 0.5).
cat >"$work/kdenlive.kdenlive" <<EOF
<?xml version='1.0' encoding='utf-8'?>
<mlt LC_NUMERIC="C" producer="main_bin" version="7.12.0" root="$work">
 <profile frame_rate_num="25" sample_aspect_num="1" display_aspect_den="9" colorspace="709"
   progressive="1" description="HD 720p 25 fps" display_aspect_num="16" frame_rate_den="1"
   width="1280" height="720" sample_aspect_den="1"/>
 <producer id="producer0" in="00:00:00.000" out="00:00:00.960">
  <property name="length">25</property>
  <property name="eof">pause</property>
  <property name="resource">$work/source.png</property>
  <property name="ttl">25</property>
  <property name="aspect_ratio">1</property>
  <property name="meta.media.progressive">1</property>
  <property name="seekable">1</property>
  <property name="meta.media.width">1280</property>
  <property name="meta.media.height">720</property>
  <property name="mlt_service">qimage</property>
  <property name="kdenlive:clipname">source.png</property>
  <property name="kdenlive:clip_type">5</property>
  <property name="kdenlive:id">2</property>
 </producer>
 <playlist id="main_bin">
  <property name="kdenlive:docproperties.version">1.04</property>
  <property name="kdenlive:docproperties.profile">atsc_720p_25</property>
  <property name="xml_retain">1</property>
  <entry producer="producer0" in="00:00:00.000" out="00:00:00.960"/>
 </playlist>
 <producer id="black_track" in="00:00:00.000" out="00:00:00.960">
  <property name="length">2147483647</property>
  <property name="eof">continue</property>
  <property name="resource">black</property>
  <property name="aspect_ratio">1</property>
  <property name="mlt_service">color</property>
  <property name="set.test_audio">0</property>
 </producer>
 <producer id="producer1" in="00:00:00.000" out="00:00:00.960">
  <property name="length">25</property>
  <property name="resource">$work/source.png</property>
  <property name="mlt_service">qimage</property>
  <property name="kdenlive:id">2</property>
 </producer>
 <playlist id="playlist0">
  <property name="kdenlive:track_name">V1</property>
  <entry producer="producer1" in="00:00:00.000" out="00:00:00.960">
   <property name="kdenlive:id">2</property>
   <filter id="filter0">
    <property name="mlt_service">frei0r.kzr_drain</property>
    <property name="kdenlive_id">frei0r.kzr_drain</property>
    <property name="Degree">0.1</property>
    <property name="Size">1</property>
    <property name="Inverse">0</property>
    <property name="X">0.4</property>
    <property name="Y">0.5</property>
    <property name="kdenlive:collapsed">0</property>
   </filter>
  </entry>
 </playlist>
 <playlist id="playlist1"/>
 <tractor id="tractor0" in="00:00:00.000" out="00:00:00.960">
  <property name="kdenlive:trackheight">67</property>
  <property name="kdenlive:timeline_active">1</property>
  <property name="kdenlive:collapsed">0</property>
  <track hide="audio" producer="playlist0"/>
  <track hide="audio" producer="playlist1"/>
 </tractor>
 <tractor id="maintractor" in="00:00:00.000" out="00:00:00.960">
  <property name="kdenlive:projectTractor">1</property>
  <track producer="black_track"/>
  <track producer="tractor0"/>
 </tractor>
</mlt>
EOF

echo "== Kdenlive"
editor "$khome" dbus-run-session -- kdenlive "$work/kdenlive.kdenlive"
w=$(window "Kdenlive")
sleep 10
xdotool windowmove "$w" 0 0 windowsize "$w" 1600 1000
sleep 3
click 1300 560 0.5    # the empty track, then the timeline zoomed in five steps
for i in 1 2 3 4 5; do
  xdotool key ctrl+plus
  sleep 0.5
done
click 185 560 1       # the clip on track V1 (its first frames)
click 1362 951 3      # the Effect/Composition Stack tab
typein 1560 579 "12.5"         # Degree at the first frame
shot kdenlive-effect
click 1576 510        # the effect's keyframe ruler near the clip's end (frame 23)
click 1261 549        # "Add keyframe"
typein 1560 579 "40"           # Degree there
typein 1560 639 "0.6"          # Position X there
shot kdenlive-keyframes
xdotool key ctrl+s
sleep 3
keyframed "$work/kdenlive.kdenlive" Degree
cp "$work/kdenlive.kdenlive" "$saved/kdenlive-drain.kdenlive"
echo "saved: tests/editors/data/kdenlive-drain.kdenlive"
click 213 392 2       # the Effects tab of the bin area
click 90 270 2        # the "KZR System PlugIn 6" category: open it
shot kdenlive-list
stop_editors

echo "done: screenshots in $shots, projects in $saved"
