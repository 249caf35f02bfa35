#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages. Idempotent: installs only
# the packages that are missing. Runs as root (or through sudo when it is available).
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsndfile1-dev nlohmann-json3-dev
  libeigen3-dev libfftw3-dev libmysofa-dev python3-netcdf4
  lv2-dev liblilv-dev lilv-utils sordi ffmpeg
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-base-apps
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  g++-aarch64-linux-gnu qemu-user
  wine wine64
  xvfb imagemagick
  clang libclang-rt-14-dev
  dpkg-dev file lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all dependencies present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "setup: these packages are missing and this is not root: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
