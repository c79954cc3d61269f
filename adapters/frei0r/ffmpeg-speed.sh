#!/usr/bin/env bash
# Frames per second of FFmpeg with the kzr_hstretch frei0r plug-in and with
# FFmpeg's own lenscorrection filter, on the same generated 1080p input in
# the same session; prints both and their ratio.  Each filter runs RUNS times,
# alternating, and the fastest run counts.
#
#   adapters/frei0r/ffmpeg-speed.sh [PLUGIN_DIR] [RUNS]
#
# PLUGIN_DIR defaults to build/bin (the plug-ins beside KZR_PlugIn_6.so).
set -euo pipefail
export FREI0R_PATH=$(realpath "${1:-build/bin}")
runs=${2:-3}
input=(-f lavfi -i testsrc2=size=1920x1080:rate=25 -t 10)
frames=250

# Seconds of wall time of one run with the filter chain $1.
seconds() {
  ffmpeg -nostdin -hide_banner -benchmark "${input[@]}" -vf "$1" -f null - 2>&1 |
    sed -n 's/.*rtime=\([0-9.]*\)s.*/\1/p'
}

declare -A best
filters=("format=rgba" "frei0r=kzr_hstretch" "lenscorrection=k1=-0.2:k2=-0.02:i=bilinear")
for ((r = 0; r < runs; r++)); do
  for f in "${filters[@]}"; do
    s=$(seconds "$f")
    if [ -z "$s" ]; then
      echo "ffmpeg failed with -vf $f" >&2
      exit 1
    fi
    if [ -z "${best[$f]:-}" ] || awk -v a="$s" -v b="${best[$f]}" 'BEGIN{exit !(a < b)}'; then
      best[$f]=$s
    fi
  done
done

echo "1920x1080, $frames frames, best of $runs runs, $(nproc) cores"
for f in "${filters[@]}"; do
  awk -v f="$f" -v s="${best[$f]}" -v n=$frames 'BEGIN{printf "%-46s %7.1f fps (%.2f s)\n", f, n/s, s}'
done
awk -v a="${best[frei0r=kzr_hstretch]}" -v b="${best[lenscorrection=k1=-0.2:k2=-0.02:i=bilinear]}" \
  'BEGIN{printf "frei0r=kzr_hstretch / lenscorrection: %.2f\n", b/a}'
