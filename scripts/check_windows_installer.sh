#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: it installs
# silently under Program Files, the program's and ISA-L's licences beside
# kadrova.exe, with a Start-menu entry that shows
# kadrova.ico and an entry in the list of installed programs; the installed
# program starts until its open dialog shows; the uninstaller leaves nothing.
#   check_windows_installer.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all
# The prefix's wineserver writes its registry files as it exits, a few
# seconds after the last program: it must be gone before the prefix is.
finish() {
  if [ -d "$WINEPREFIX" ]; then wineserver -k 2> /dev/null || true; wineserver -w 2> /dev/null || true; fi
  rm -rf "$scratch"
}
trap finish EXIT
wine_run() { "$source_dir/scripts/wine_run.sh" "$@"; }
fail() { echo "installer: $*"; exit 1; }

(cd "$scratch" && cpack -G NSIS --config "$build/CPackConfig.cmake" -B "$scratch/package" > /dev/null)
setup=$(ls "$scratch"/package/kadrova-*-win64-setup.exe)
file "$setup" | grep -q 'PE32+ executable (GUI) x86-64' || fail "not a 64-bit Windows program: $(file -b "$setup")"

wine_run "$setup" /S
wineserver -w
drive_c="$WINEPREFIX/drive_c"
folder="$drive_c/Program Files/Kadrova"
for name in kadrova.exe kadrova.ico LICENSE.txt ISA-L-LICENSE.txt Uninstall.exe; do
  test -f "$folder/$name" || fail "no $name in Program Files\\Kadrova"
done
cmp -s "$folder/kadrova.ico" "$source_dir/packaging/kadrova.ico" || fail "kadrova.ico is not the project's icon"

# The Start-menu entry "Kadrova" starts kadrova.exe and shows kadrova.ico.
link=$(find "$drive_c" -path '*Start Menu/Programs*' -name 'Kadrova.lnk' | head -1)
[ -n "$link" ] || fail "no Start-menu entry Kadrova"
/usr/bin/python3 - "$link" <<'EOF' || fail "the Start-menu entry does not lead to kadrova.exe with kadrova.ico"
import sys
data = open(sys.argv[1], "rb").read()
wide = lambda text: text.encode("utf-16-le")
ok = any(needle in data for needle in (b"kadrova.exe", wide("kadrova.exe")))
ok = ok and wide("kadrova.ico") in data
sys.exit(0 if ok else 1)
EOF

# The list of installed programs names it, with the same icon.
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kadrova'
registered=$(wine_run reg query "$uninstall_key" 2> /dev/null | tr -d '\r')
# A session of Wine started without a screen keeps none; the program needs
# one of its own, so this one must end first, with every process of it.
wineserver -k 2> /dev/null || true
wineserver -w
grep -q 'DisplayName.*Kadrova' <<< "$registered" || fail "not in the list of installed programs"
grep -qi 'DisplayIcon.*Program Files\\Kadrova\\kadrova.ico' <<< "$registered" || fail "no DisplayIcon: $registered"
grep -qi 'UninstallString.*Uninstall.exe' <<< "$registered" || fail "no UninstallString"

# The installed program, until its open dialog shows.
/usr/bin/python3 "$source_dir/scripts/screen_test.py" --wine "$WINEPREFIX" --program "$folder/kadrova.exe" \
  --convert /bin/false --corpus "$source_dir/../shared/corpus" --shots "$build/screenshots" \
  --label installed cancel_at_open

wine_run "$folder/Uninstall.exe" /S
wineserver -w
! test -e "$folder" || fail "left behind: $(find "$folder")"
link=$(find "$drive_c" -path '*Start Menu/Programs*' -iname '*kadrova*')
[ -z "$link" ] || fail "left behind: $link"
! wine_run reg query "$uninstall_key" > /dev/null 2>&1 || fail "still in the list of installed programs"
echo "installer: passed"
