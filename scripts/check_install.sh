#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the Debian package, and
# checks what a desktop, a software centre, lintian and apt-get see of them.
# As root (CI runs on a throw-away machine) the package is also installed
# with apt-get, started from its desktop entry and purged again.
#   check_install.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
id=de.kadrova.Kadrova

cmake --install "$build" --prefix "$scratch/prefix" > /dev/null
test -x "$scratch/prefix/bin/kadrova"
entry="$scratch/prefix/share/applications/$id.desktop"
desktop-file-validate "$entry"
grep -qx 'Exec=kadrova' "$entry"
grep -qx "Icon=$id" "$entry"
grep -qx 'Categories=Graphics;' "$entry"
grep -q '^Comment=.*Hintergrund' "$entry"

# AppStream: no error, no warning (the pedantic notes aside).
validation=$(appstreamcli validate --no-net "$scratch/prefix/share/metainfo/$id.metainfo.xml" 2>&1) || {
  echo "$validation"; exit 1; }
echo "$validation"
! grep -qE '^(E|W):' <<< "$validation"

# The manual page formats without a complaint.
man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$scratch/prefix/share/man/man1/kadrova.1.gz" 2>&1 > /dev/null)
[ -z "$man_warnings" ] || { echo "$man_warnings"; exit 1; }

find "$scratch/prefix" -type f | sed "s|$scratch/prefix/||" | sort > "$scratch/installed"
{
  echo bin/kadrova
  echo "share/applications/$id.desktop"
  echo share/doc/kadrova/changelog.gz
  echo share/doc/kadrova/copyright
  for size in 16 24 32 48 64 128 256; do echo "share/icons/hicolor/${size}x${size}/apps/$id.png"; done
  echo "share/icons/hicolor/scalable/apps/$id.svg"
  echo share/man/man1/kadrova.1.gz
  echo "share/metainfo/$id.metainfo.xml"
} | sort | diff - "$scratch/installed"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" > /dev/null)
deb=$(ls "$scratch"/package/kadrova_*_amd64.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q 'libgtk-3-0' <<< "$depends"
grep -q 'libc6' <<< "$depends"
# Every library the program links is provided by a package the .deb depends on.
for library in $(ldd "$build/app/kadrova" | awk '/=>/ {print $3}'); do
  owner=$( (dpkg -S "$library" || dpkg -S "$(readlink -f "$library")") 2>/dev/null | head -1 | cut -d: -f1) || true
  [ -n "$owner" ] || { echo "no package owns $library"; exit 1; }
done

echo "lintian:"
lintian --fail-on error,warning --info "$deb" 2> /dev/null
echo "lintian: no error, no warning"

if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the package is not installed with apt-get here"
  echo "package: passed"
  exit 0
fi
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort > "$scratch/files"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" > "$scratch/apt.log" ||
  { cat "$scratch/apt.log"; exit 1; }
while read -r file; do test -e "$file" || { echo "not installed: $file"; exit 1; }; done < "$scratch/files"
# Started as the menu starts it: the desktop entry's Exec, found on PATH.
command=$(sed -n 's/^Exec=//p' "/usr/share/applications/$id.desktop")
program=$(command -v "$command")
python3=/usr/bin/python3
"$python3" "$source_dir/scripts/screen_test.py" --program "$program" --convert /bin/false \
  --corpus "$source_dir/../shared/corpus" --shots "$build/screenshots" --label installed cancel_at_open
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kadrova > "$scratch/apt.log" || { cat "$scratch/apt.log"; exit 1; }
while read -r file; do ! test -e "$file" || { echo "left behind: $file"; exit 1; }; done < "$scratch/files"
! test -e /usr/share/doc/kadrova || { echo "left behind: /usr/share/doc/kadrova"; exit 1; }
! dpkg-query -W kadrova 2> /dev/null | grep -q . || { echo "still known to dpkg"; exit 1; }
echo "package: passed"
