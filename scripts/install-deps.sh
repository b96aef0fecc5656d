#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# fuzz targets need.
# Safe to run again: packages already present are left alone, and apt is only
# asked when something is missing.
set -euo pipefail

packages=(
  build-essential cmake make pkg-config
  libopencv-dev
  libcfitsio-dev libcfitsio-bin
  libgsl-dev
  libjpeg62-turbo-dev
  libstellarsolver-dev wcslib-dev
  libraw-dev
  libdc1394-dev
  qtbase5-dev qt5-image-formats-plugins
  libgtest-dev googletest
  libbenchmark-dev
  gcovr
  clang libclang-rt-14-dev libomp-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
