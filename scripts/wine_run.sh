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
# A program that reaches the prefix's wineserver just as it exits (it does
# so a few seconds after its last program ended) is cut off before it runs:
# "wine client error:0: recvmsg: Connection reset by peer". Only then is it
# started again, once that server is gone.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2 3; do
  [ "$attempt" -eq 1 ] || { sleep 1; echo "wine_run.sh: started again (attempt $attempt)" >&2; }
  status=0
  wine "$@" 2> "$errors" || status=$?
  cat "$errors" >&2
  grep -q '^wine client error:.*Connection reset by peer' "$errors" && [ "$status" -ne 0 ] || break
done
exit "$status"
