#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux
# build with its screen tests, the same suite under the sanitizers, and the
# Windows build under Wine.
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
