#!/usr/bin/env bash
# Installs what the project needs (Debian packages) if anything is missing,
# then configures and builds it. Idempotent: with everything present it only
# runs an incremental build.
#
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true

packages=(
  g++ make cmake pkg-config dpkg-dev man-db groff-base
  libgtest-dev libgmock-dev libbenchmark-dev
  freeglut3-dev libgl-dev libglx-dev libgl1-mesa-dri libx11-dev libpng-dev
  libegl-dev libegl-mesa0 libopengl-dev ffmpeg
  xvfb xdotool x11-utils x11-apps imagemagick
  clang libclang-rt-14-dev valgrind
  lib3ds-dev libassimp-dev assimp-testmodels python3-meshio rapidjson-dev
  pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib python3-distributed
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo_cmd=(sudo)
    else
      echo "setup: these Debian packages are missing and I am not root: ${missing[*]}" >&2
      exit 1
    fi
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -f "$build/CMakeCache.txt" ] || [ "$#" -gt 0 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
