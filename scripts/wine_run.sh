#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix WINEPREFIX names (the
# build's own), made on first use.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix to use}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # One wineboot at a time, however many tests start at once.
  flock "$WINEPREFIX/.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i && wineserver -w; }' > /dev/null 2>&1
fi
exec wine "$@"
