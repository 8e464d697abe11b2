#!/usr/bin/env bash
# Installs the Debian 12 packages Kadrova needs that are not there yet.
#   scripts/install-deps.sh          what building and starting Kadrova needs
#   scripts/install-deps.sh --test   also what every test and benchmark needs,
#                                    and Debian's source entries (see below)
set -euo pipefail

build=(cmake ninja-build g++ pkg-config libstb-dev libgtk-3-dev libpng-dev libjpeg62-turbo-dev libisal-dev
       adwaita-icon-theme)
# The Windows build makes ISA-L from Debian's source package with mingw-w64
# and yasm (cmake/isal_mingw.cmake).
test=(zlib1g-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
      libjpeg-turbo-progs imagemagick xvfb xauth xdotool x11-utils python3 fonts-dejavu-core
      python3-pyatspi at-spi2-core dbus-daemon
      g++-mingw-w64-x86-64 wine wine64 clang-14 libclang-rt-14-dev llvm-14 libvips-tools
      yasm autoconf automake libtool make
      file dpkg-dev desktop-file-utils bc time unzip lintian appstream man-db nsis)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
updated=0

# `apt-get source libisal` needs deb-src entries for the suites the machine
# installs from; a fresh machine has only deb entries. They are copied, as
# deb-src, from Debian's deb822 file or else from sources.list.
if [ "${1:-}" = "--test" ] && ! apt-get source --print-uris -q libisal > /dev/null 2>&1; then
  deb822=/etc/apt/sources.list.d/debian.sources
  if [ -f "$deb822" ]; then
    sed -n '/^Types:/s/^Types:.*/Types: deb-src/p; /^Types:/!p' "$deb822" |
      $sudo tee /etc/apt/sources.list.d/debian-src.sources > /dev/null
  else
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list |
      $sudo tee /etc/apt/sources.list.d/debian-src.list > /dev/null
  fi
  $sudo apt-get update -q
  updated=1
fi

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
[ $updated -eq 1 ] || $sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
