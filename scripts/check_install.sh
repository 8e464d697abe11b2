#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the Debian package, and
# checks what a desktop and apt-get will see of them.
#   check_install.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" > /dev/null
test -x "$scratch/prefix/bin/kadrova"
entry="$scratch/prefix/share/applications/kadrova.desktop"
desktop-file-validate "$entry"
grep -qx 'Exec=kadrova' "$entry"
grep -qx 'Categories=Graphics;' "$entry"
grep -q '^Comment=.*Hintergrund' "$entry"
find "$scratch/prefix" -type f | sed "s|$scratch/prefix/||" | sort > "$scratch/installed"
printf '%s\n' bin/kadrova share/applications/kadrova.desktop | diff - "$scratch/installed"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" > /dev/null)
deb=$(ls "$scratch"/package/kadrova_*_amd64.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q 'libgtk-3-0' <<< "$depends"
grep -q 'libc6' <<< "$depends"
contents=$(dpkg-deb -c "$deb")
grep -q './usr/bin/kadrova$' <<< "$contents"
grep -q './usr/share/applications/kadrova.desktop$' <<< "$contents"
# Every library the program links is provided by a package the .deb depends on.
for library in $(ldd "$build/app/kadrova" | awk '/=>/ {print $3}'); do
  owner=$( (dpkg -S "$library" || dpkg -S "$(readlink -f "$library")") 2>/dev/null | head -1 | cut -d: -f1) || true
  [ -n "$owner" ] || { echo "no package owns $library"; exit 1; }
done
echo "package: passed"
