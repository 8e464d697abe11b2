#!/bin/sh
# makensis for a 64-bit installer: CPack's default stub is a 32-bit program,
# and CPack cannot hand makensis a script line with a space in it.
#
# The installer keeps the date of every file it packs, and cpack has just
# written or stripped some of them. So every file in the script's folder (the
# staged files and the options page cpack writes beside the script) is first
# dated to SOURCE_DATE_EPOCH, which packaging/cpack_options.cmake sets: the
# installer is then the same on each build of a commit.
for script; do :; done  # the last argument: the script, or -VERSION
if [ -f "$script" ] && [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  find "$(dirname "$script")" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
fi
exec makensis "-XTarget amd64-unicode" "$@"
