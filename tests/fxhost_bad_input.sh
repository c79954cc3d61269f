#!/usr/bin/env bash
# fxhost against bad input and a hostile system: damaged images and videos,
# output folders that are missing, read-only or full, ffmpeg failing at start
# or killed mid-stream, and Ctrl-C mid-render.  Every case must end with a
# non-zero exit, one line on standard error saying what went wrong, no partial
# output left behind and nothing overwritten.
#   usage: fxhost_bad_input.sh FXHOST
set -u
fxhost=$1
work=$(mktemp -d)
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
passed=0 failed=0 skipped=0
have_ffmpeg=0; command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null && have_ffmpeg=1
can_mount=0
mkdir -p "$work/probe" && mount -t tmpfs -o size=1m tmpfs "$work/probe" 2>/dev/null &&
  { can_mount=1; umount "$work/probe"; }

# expect NAME DIR KEPT WORDS COMMAND...: COMMAND fails with one "fxhost: " line
# containing each of the |-separated WORDS, and DIR then holds exactly the
# files listed in KEPT.
expect() {
  local name=$1 dir=$2 kept=$3 words w
  IFS='|' read -ra words <<<"$4"
  shift 4
  local err=$work/err status
  "$@" >/dev/null 2>"$err"; status=$?
  local lines left problem=""
  lines=$(grep -c . "$err")
  left=$(cd "$dir" && ls -A | sort | tr '\n' ' ')
  [ "$status" -ne 0 ] || problem="exit status 0"
  [ "$lines" -eq 1 ] || problem="$problem; $lines lines on stderr"
  grep -q "^fxhost: " "$err" || problem="$problem; not an fxhost line"
  for w in "${words[@]}"; do
    grep -qF -- "$w" "$err" || problem="$problem; message lacks '$w'"
  done
  [ "$left" = "$kept" ] || problem="$problem; folder holds '$left', expected '$kept'"
  if [ -z "$problem" ]; then
    passed=$((passed + 1)); echo "ok    $name: $(head -c 160 "$err")"
  else
    failed=$((failed + 1)); echo "FAIL  $name: $problem"; sed 's/^/      /' "$err"
  fi
}
skip() { skipped=$((skipped + 1)); echo "skip  $1"; }

in=$work/in; out=$work/out; mkdir -p "$in" "$out"
"$fxhost" render hstretch -o "$in/good.png" --size 64x36 >/dev/null 2>&1
: > "$in/empty.png"
head -c 200 "$in/good.png" > "$in/truncated.png"
head -c 4096 /dev/urandom > "$in/corrupt.jpg"

# ---- refused requests: NAME;WORDS;ARGUMENTS (as the shell reads them)
while IFS=';' read -r name words args; do
  eval "set -- $args"
  expect "$name" "$out" "" "$words" "$fxhost" "$@"
done <<TABLE
number above its range;P1|between 0.001 and 0.1;render hstretch -o $out/a.png --set P1=5
number below its range, by name;between 0.001 and 0.1;render hstretch -o $out/a.png --set Degree=-1
not a number;not a number;render hstretch -o $out/a.png --set P1=abc
unknown parameter;P9|P1 (Degree)|P4;render hstretch -o $out/a.png --set P9=1
assignment without a value;KEY=VALUE;render hstretch -o $out/a.png --set P1
unknown effect;no-such-effect|hstretch|laser;render no-such-effect -o $out/a.png
output of no known kind;.png|.mp4;render hstretch -o $out/a.txt
missing input;missing.png;render hstretch $in/missing.png -o $out/a.png
bad size;--size|WIDTHxHEIGHT;render hstretch -o $out/a.png --size 0x10
animated image;image;render hstretch -o $out/a.png --animate P1=0.01:0.1
animated switch;animated;render hstretch -o $out/v.mp4 --animate P3=0:1
animated beyond the range;between;render hstretch -o $out/v.mp4 --animate P1=0.01:7
missing language;KZR_PlugIn_6_XX.DLL|ENU;list --lang XX
TABLE
echo keep > "$out/kept.png"
expect "existing output without --force" "$out" "kept.png " "--force" \
  "$fxhost" render hstretch -o "$out/kept.png" --size 16x9
[ "$(cat "$out/kept.png")" = keep ] || { failed=$((failed + 1)); echo "FAIL  kept.png overwritten"; }
rm "$out/kept.png"

# ---- damaged images
expect "empty image" "$out" "" "empty.png" "$fxhost" render drain "$in/empty.png" -o "$out/a.png"
expect "truncated image" "$out" "" "truncated.png" "$fxhost" render drain "$in/truncated.png" -o "$out/a.png"
expect "corrupt image" "$out" "" "corrupt.jpg" "$fxhost" render drain "$in/corrupt.jpg" -o "$out/a.png"
expect "image folder as input" "$out" "" "$in" "$fxhost" render drain "$in" -o "$out/a.png"

# ---- output places
expect "missing output folder" "$out" "" "no-such-folder" \
  "$fxhost" render drain "$in/good.png" -o "$out/no-such-folder/a.png"
if [ "$can_mount" -eq 1 ]; then
  mkdir -p "$work/ro" && mount -t tmpfs -o size=1m,ro tmpfs "$work/ro" && mounts+=("$work/ro")
  expect "read-only output folder" "$work/ro" "" "ro" \
    "$fxhost" render drain "$in/good.png" -o "$work/ro/a.png"
  mkdir -p "$work/full" && mount -t tmpfs -o size=64k tmpfs "$work/full" && mounts+=("$work/full")
  expect "full disk (image)" "$work/full" "" "a.png" \
    "$fxhost" render drain -o "$work/full/a.png" --size 1280x720
  echo keep > "$work/full/b.png"
  expect "full disk keeps the file it would replace" "$work/full" "b.png " "b.png" \
    "$fxhost" render drain -o "$work/full/b.png" --size 1280x720 --force
  [ "$(cat "$work/full/b.png")" = keep ] || { failed=$((failed + 1)); echo "FAIL  b.png overwritten"; }
else
  skip "read-only and full output folders (no tmpfs mounts here)"
fi

# ---- videos and ffmpeg
if [ "$have_ffmpeg" -eq 1 ]; then
  ffmpeg -v error -f lavfi -i testsrc2=size=160x90:rate=25 -t 8 -c:v ffv1 "$in/clip.mkv"
  head -c 20000 "$in/clip.mkv" > "$in/truncated.mkv"
  : > "$in/empty.mkv"
  expect "empty video" "$out" "" "empty.mkv" "$fxhost" render drain "$in/empty.mkv" -o "$out/v.mkv"
  expect "video to an image" "$out" "" "video|image" "$fxhost" render drain "$in/clip.mkv" -o "$out/v.png"
  expect "--fps with an input" "$out" "" "--fps" "$fxhost" render drain "$in/clip.mkv" -o "$out/v.mkv" --fps 30
  expect "unknown encoder" "$out" "" "ffmpeg could not encode|v.mp4" \
    "$fxhost" render drain "$in/clip.mkv" -o "$out/v.mp4" --codec no-such-encoder
  mkdir -p "$work/empty-path"
  expect "no ffprobe" "$out" "" "ffprobe was not found|install ffmpeg" \
    env PATH="$work/empty-path" "$fxhost" render drain "$in/clip.mkv" -o "$out/v.mp4"
  expect "no ffmpeg" "$out" "" "ffmpeg was not found|install ffmpeg" \
    env PATH="$work/empty-path" "$fxhost" render drain -o "$out/v.mp4" --size 16x8 --duration 0.2
  expect "truncated video" "$out" "" "truncated.mkv" \
    "$fxhost" render drain "$in/truncated.mkv" -o "$out/v.mkv" --codec ffv1
  if [ "$can_mount" -eq 1 ]; then
    expect "full disk (video)" "$work/full" "b.png " "v.mkv" \
      "$fxhost" render drain "$in/clip.mkv" -o "$work/full/v.mkv" --codec ffv1
  fi

  # Stand-ins for ffmpeg on PATH; ffprobe stays the real one.
  bin=$work/bin; mkdir -p "$bin"; ln -s "$(command -v ffprobe)" "$bin/ffprobe"
  real=$(command -v ffmpeg)
  printf '#!/bin/sh\necho "cannot start" >&2\nexit 1\n' > "$bin/ffmpeg"; chmod +x "$bin/ffmpeg"
  expect "ffmpeg failing at start" "$out" "" "ffmpeg" \
    env PATH="$bin:$PATH" "$fxhost" render drain "$in/clip.mkv" -o "$out/v.mkv" --codec ffv1
  # Killed in the middle of the stream: the stand-in passes on five and a half
  # decoded frames (160x90 RGBA), then dies by SIGKILL, however fast the machine.
  printf '#!/bin/sh\n%s "$@" | head -c 316800\nkill -9 $$\n' "$real" > "$bin/ffmpeg"
  echo keep > "$out/old.mkv"
  expect "ffmpeg killed mid-stream" "$out" "old.mkv " "ffmpeg" \
    env PATH="$bin:$PATH" "$fxhost" render drain "$in/clip.mkv" -o "$out/old.mkv" --codec ffv1 --force
  [ "$(cat "$out/old.mkv")" = keep ] || { failed=$((failed + 1)); echo "FAIL  old.mkv overwritten"; }

  # Ctrl-C a second into a long render.
  interrupt() {
    "$fxhost" render drain -o "$out/old.mkv" --codec ffv1 --force --size 1280x720 --duration 60 &
    local pid=$!
    sleep 1
    kill -INT "$pid"
    wait "$pid"
  }
  expect "Ctrl-C mid-render" "$out" "old.mkv " "interrupted" interrupt
  [ "$(cat "$out/old.mkv")" = keep ] || { failed=$((failed + 1)); echo "FAIL  old.mkv overwritten"; }
else
  skip "video cases (no ffmpeg)"
fi

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
