#!/usr/bin/env bash
# What kadrova.exe is as a file: a GUI-subsystem PE that imports the common
# dialogs, user32, kernel32 and the UCRT, no msvcrt.dll and no mingw DLL,
# and carries no resources.
#   check_windows_exe.sh kadrova.exe
set -euo pipefail
exe=$1
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
sections=$(x86_64-w64-mingw32-objdump -h "$exe")
fail() { echo "kadrova.exe: $*"; exit 1; }

grep -q 'Subsystem.*(Windows GUI)' <<< "$headers" || fail "not a GUI-subsystem program"
imports=$(grep 'DLL Name:' <<< "$headers" | awk '{print tolower($3)}' | sort)
echo "imports:" $imports
for dll in comdlg32.dll user32.dll kernel32.dll api-ms-win-crt-stdio-l1-1-0.dll api-ms-win-crt-heap-l1-1-0.dll; do
  grep -qx "$dll" <<< "$imports" || fail "does not import $dll"
done
for dll in $imports; do
  case $dll in
    comdlg32.dll|user32.dll|kernel32.dll|api-ms-win-crt-*.dll) ;;
    *) fail "imports $dll" ;;
  esac
done
! grep -q '\.rsrc' <<< "$sections" || fail "has a resource section"
echo "kadrova.exe: passed"
