#!/usr/bin/env bash
# Builds ISA-L for kadrova.exe: a static library made from Debian's own
# source package (which needs the deb-src entries scripts/install-deps.sh
# --test adds) with mingw-w64 and yasm, compiled by the compiler and with the
# flags kadrova.exe is compiled with, the UCRT specs among them. The
# toolchain's default CRT is msvcrt; a library built for it must not end up
# in a program linked against the UCRT.
#   build_isal_windows.sh FOLDER C-COMPILER C-FLAGS
# FOLDER gets include/isa-l/, lib/libisal.a and LICENSE; what the build
# printed is in FOLDER/build.log.
set -euo pipefail
folder=$1
compiler=$2
flags=$3
rm -rf "$folder"
mkdir -p "$folder/source"
log=$folder/build.log
trap 'echo "building ISA-L failed; the end of $log:"; tail -n 40 "$log"' ERR
cd "$folder/source"
apt-get source -q libisal > "$log" 2>&1
cd libisal-*/
./autogen.sh >> "$log" 2>&1
./configure --host=x86_64-w64-mingw32 --enable-static --disable-shared --prefix="$folder" \
  CC="$compiler" CFLAGS="$flags" >> "$log" 2>&1
# The library alone: the programs beside it are not needed.
make -j "$(nproc)" libisal.la >> "$log" 2>&1
make install-libLTLIBRARIES install-pkgincludeHEADERS >> "$log" 2>&1
cp LICENSE "$folder/LICENSE"
echo "ISA-L $(basename "$PWD") built for Windows in $SECONDS s"
