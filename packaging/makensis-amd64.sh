#!/bin/sh
# makensis for a 64-bit installer: CPack's default stub is a 32-bit program,
# and CPack cannot hand makensis a script line with a space in it.
exec makensis "-XTarget amd64-unicode" "$@"
