#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
#   scripts/deps.sh          install what is missing
#   scripts/deps.sh --list   print the package list, one a line (for scripts/check-programs.sh)
set -euo pipefail
packages=(
  cmake ninja-build pkg-config g++ clang libclang-rt-14-dev llvm-14 binutils
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcm256cc-dev libavcodec-dev libavutil-dev libavformat-dev libswscale-dev libswresample-dev libsdl2-dev libyuv-dev
  libavahi-client-dev avahi-daemon avahi-utils dbus
  libx11-dev libxtst-dev iproute2 libpng-dev libzbar-dev zbar-tools ffmpeg mawk
  g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 xvfb
  msitools wixl
  glslang-tools libvulkan-dev mesa-vulkan-drivers
)
if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
