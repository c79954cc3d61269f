#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, or
# the packages named as arguments.
set -euo pipefail
packages=("$@")
[ ${#packages[@]} -gt 0 ] || packages=(build-essential cmake pkg-config clang binutils
          libgtest-dev libgmock-dev libbenchmark-dev libtbb-dev libstb-dev libcli11-dev
          libopencv-core-dev libopencv-imgproc-dev
          nlohmann-json3-dev fonts-dejavu-core
          python3-dev pybind11-dev python3-numpy python3-pytest python3-opencv
          python3-dask python3-distributed
          libcpp-httplib-dev libvips-dev chromium chromium-driver python3-selenium
          libfuzzer-14-dev
          ffmpeg
          frei0r-plugins-dev melt gstreamer1.0-tools qtdeclarative5-dev-tools
          libgegl-dev gegl
          gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
          libobs-dev obs-studio libx11-dev xvfb xauth libgl1-mesa-dri)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
