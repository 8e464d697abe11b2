#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux
# build with its screen tests, the same suite under the sanitizers, and the
# Windows build under Wine, and the fuzz targets with their regression cases.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test
jobs=$(nproc)

echo "== Linux desktop build"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== AddressSanitizer, UndefinedBehaviorSanitizer, LeakSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

echo "== Windows build (mingw-w64, UCRT) under Wine"
cmake --preset mingw
cmake --build --preset mingw -j "$jobs"
ctest --preset mingw -j "$jobs"

echo "== Fuzzing: every regression case, then a bounded run of both targets"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz
scripts/fuzz.sh build-fuzz 100 kadrova_decode_fuzz -seed=1
scripts/fuzz.sh build-fuzz 80 kadrova_intake_fuzz -seed=1
