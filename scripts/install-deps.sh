#!/usr/bin/env bash
# Installs the Debian 12 packages Kadrova needs that are not there yet.
#   scripts/install-deps.sh          what building and starting Kadrova needs
#   scripts/install-deps.sh --test   also what every test and benchmark needs
set -euo pipefail

build=(cmake ninja-build g++ pkg-config libstb-dev libgtk-3-dev libpng-dev libjpeg62-turbo-dev adwaita-icon-theme)
test=(zlib1g-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
      libjpeg-turbo-progs imagemagick xvfb xauth xdotool x11-utils python3 fonts-dejavu-core
      python3-pyatspi at-spi2-core dbus-daemon
      g++-mingw-w64-x86-64 wine wine64 clang-14 libclang-rt-14-dev llvm-14 libvips-tools
      file dpkg-dev desktop-file-utils bc time unzip lintian appstream man-db nsis)

wanted=("${build[@]}")
if [ "${1:-}" = "--test" ]; then wanted+=("${test[@]}"); fi

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
