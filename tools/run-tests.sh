#!/usr/bin/env bash
# Builds Harkwell.exe, its tests and the simulated audio stack, and runs every
# test under Wine; then builds the Linux tool and runs its tests, also with
# the address and undefined-behaviour sanitizers; last, builds the packages and
# tests them installed.
#
# The Linux end-to-end tests run against two PipeWire servers: the host's and
# PipeWire 1.4 with WirePlumber 0.5 from the Debian 13 tree that
# tools/install-deps.sh builds (pipewire.* and pipewire.debian13.*); the
# linux-asan preset runs them against the host's only (HARKWELL_PIPEWIRE_SERVERS).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/wine-env.sh
cmake --preset mingw
cmake --build --preset mingw
cmake --preset mingw-release
cmake --build --preset mingw-release
ctest --preset mingw

for preset in linux linux-asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
cmake --preset linux-release
cmake --build --preset linux-release

# The packages: every artifact built into dist/, then installed and driven as
# a user would (tests/packaging/): a private npm registry, a fresh virtual
# environment, apt-get, each against a private PipeWire.
tools/package.sh
(cd tests/packaging && PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -v)
