#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache clang-format
  clang libclang-rt-14-dev
  juce-modules-source libcurl4-openssl-dev libxcursor-dev libxrandr-dev libxinerama-dev
  libasound2-dev libfreetype-dev libflac-dev libvorbis-dev libogg-dev
  libgtest-dev libbenchmark-dev libsndfile1-dev
  fonts-dejavu-core
  python3 openssl iproute2 util-linux ca-certificates
  xvfb xauth x11-utils x11-apps xdotool imagemagick
  zenity
  lilv-utils liblilv-dev jackd2 jalv libjack-jackd2-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
