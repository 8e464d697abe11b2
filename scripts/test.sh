#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux
# build with its screen tests, the same suite under the sanitizers, the
# Windows build under Wine, and the fuzz targets with their regression cases
# and a bounded run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test
jobs=$(nproc)

# default: Linux desktop; sanitize: ASan + UBSan + LSan; mingw: Windows
# (UCRT) under Wine, which compares with the default build's output;
# fuzz: clang's libFuzzer targets.
for preset in default sanitize mingw fuzz; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

echo "== bounded fuzzing"
scripts/fuzz.sh build-fuzz 160 kadrova_decode_fuzz -seed=1
scripts/fuzz.sh build-fuzz 80 kadrova_intake_fuzz -seed=1
scripts/fuzz.sh build-fuzz 20 kadrova_unfilter_fuzz -seed=1
