#!/usr/bin/env bash
# Builds Harkwell.exe, its tests and the simulated audio stack, and runs every
# test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/wine-env.sh
cmake --preset mingw
cmake --build --preset mingw
cmake --preset mingw-release
cmake --build --preset mingw-release
ctest --preset mingw
