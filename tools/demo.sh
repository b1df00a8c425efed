#!/usr/bin/env bash
# From a fresh Debian or Ubuntu machine: installs what is needed, builds
# Harkwell.exe and the simulated audio stack, and records a simulated system
# (one process tree, then everything else) into out/include.wav and
# out/exclude.wav. Exits non-zero when either recording is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
source tools/wine-env.sh
cmake --preset mingw
cmake --build --preset mingw --target Harkwell simaudio
python3 tools/demo.py --build build/mingw --out out
