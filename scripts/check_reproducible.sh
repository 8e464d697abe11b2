#!/usr/bin/env bash
# Builds Kadrova and its packages a second time and holds them to the first
# build's, byte for byte: the program, and every package cpack makes (the
# Debian package; the installer and the zip). The second build starts from a
# copy of the source in another folder, so every file has a new date and
# every path is another; it links and packs later, under another umask and
# time zone. A date or a path of the build machine that gets into the
# program or a package shows as a difference.
#   check_reproducible.sh BUILD-DIR PROGRAM SOURCE_DATE_EPOCH
# PROGRAM is the first build's program, SOURCE_DATE_EPOCH the date it gives
# its packages' files: the copy has no git history to take it from.
set -euo pipefail
build=$(cd "$1" && pwd)
program=$2
date=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "reproducible: $*"; exit 1; }
cache() { sed -n "s|^$1:[A-Z]*=||p" "$build/CMakeCache.txt"; }

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/first" > /dev/null)

# The source as a rebuilder has it: no history, no build folder.
source_again="$scratch/elsewhere/kadrova-source"
build_again="$scratch/elsewhere/kadrova-build"
mkdir -p "$source_again"
for entry in "$source_dir"/* "$source_dir"/.[!.]*; do
  [ -e "$entry" ] && [ "$(basename "$entry")" != .git ] && [ ! -e "$entry/CMakeCache.txt" ] || continue
  cp -R "$entry" "$source_again/"
done
configure=(-G "$(cache CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)"
           -DKADROVA_TESTS=OFF -DKADROVA_BENCH=OFF)
toolchain=$(cache CMAKE_TOOLCHAIN_FILE)
case $toolchain in
  "") ;;
  "$source_dir"/*) configure+=(-DCMAKE_TOOLCHAIN_FILE="$source_again/${toolchain#"$source_dir"/}") ;;
  *) configure+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain") ;;
esac
(
  umask 0002
  export TZ=LINT-14
  SOURCE_DATE_EPOCH=$date cmake -S "$source_again" -B "$build_again" "${configure[@]}" > /dev/null
  cmake --build "$build_again" > /dev/null
  cd "$scratch" && cpack --config "$build_again/CPackConfig.cmake" -B "$scratch/second" > /dev/null
)

# Shows where two files differ: the first byte, and for an archive or a
# program the listing or the headers that tell why.
explain() {
  cmp "$1" "$2" || true
  case $1 in
    *.deb) show() { dpkg-deb -c "$1"; } ;;
    *.zip) show() { zipinfo -v "$1" | sed 1d; } ;;
    *.exe) show() { x86_64-w64-mingw32-objdump -p "$1" | sed 1,2d; } ;;
    *) return ;;
  esac
  diff <(show "$1") <(show "$2") | head -20 || true
}

differ=0
compare() {
  if cmp -s "$2" "$3"; then
    echo "$1: the same"
  else
    echo "reproducible: $1 differs"; explain "$2" "$3"; differ=1
  fi
}
program_again="$build_again/${program#"$build"/}"
# Linked in the same second, a link time could not show.
[ "$(stat -c %Y "$program")" != "$(stat -c %Y "$program_again")" ] || fail "both programs were linked in the same second"
compare "$(basename "$program")" "$program" "$program_again"
packages=$(cd "$scratch/first" && find . -maxdepth 1 -type f -printf '%f\n' | sort)
[ -n "$packages" ] || fail "cpack made no package"
[ "$packages" = "$(cd "$scratch/second" && find . -maxdepth 1 -type f -printf '%f\n' | sort)" ] ||
  fail "the second build made other packages: $(ls "$scratch/second")"
for package in $packages; do
  compare "$package" "$scratch/first/$package" "$scratch/second/$package"
done
[ "$differ" -eq 0 ] || exit 1
echo "reproducible: passed"
