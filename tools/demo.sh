#!/usr/bin/env bash
# From a fresh Debian or Ubuntu machine: installs what is needed, then
#  1. builds the Linux harkwell and records two real process trees on a
#     private, headless PipeWire, each in include and in exclude mode, into
#     out/linux/*.wav (tools/demo_linux.py; pass --running to use the
#     session's PipeWire instead);
#  2. builds Harkwell.exe and the simulated audio stack, and records a
#     simulated system under Wine into out/windows/*.wav (tools/demo_windows.py).
# Exits non-zero when any recording is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset linux
cmake --build --preset linux --target harkwell
python3 tools/demo_linux.py --tool build/linux/harkwell --out out/linux "$@"
echo
echo "--- Harkwell.exe under Wine, against the simulated audio stack ---"
source tools/wine-env.sh
cmake --preset mingw
cmake --build --preset mingw --target Harkwell simaudio
python3 tools/demo_windows.py --build build/mingw --out out/windows
