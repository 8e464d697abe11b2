#!/usr/bin/env bash
# Installs what is missing, builds Kadrova and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default -DKADROVA_TESTS=OFF -DKADROVA_BENCH=OFF
cmake --build --preset default -j "$(nproc)"
exec build/app/kadrova
