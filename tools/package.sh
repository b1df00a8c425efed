#!/usr/bin/env bash
# Builds the release executables with the release presets and writes every
# package into dist/: the Debian package, the npm packages (main and one per
# platform) and the Python wheels (Linux and Windows). The version is the
# CMake project's.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in linux-release mingw-release; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux-release/CMakeCache.txt)
linux_bin=build/linux-release
windows_bin=build/mingw-release

rm -rf dist
mkdir -p dist
(cd build/linux-release && cpack -G DEB >/dev/null)
cp "build/linux-release/cpack/harkwell_${version}-1_amd64.deb" dist/
python3 packaging/npm/stage.py "$version" "$linux_bin" "$windows_bin" build/npm-stage dist
python3 packaging/python/build_wheel.py linux "$version" "$linux_bin" dist >/dev/null
python3 packaging/python/build_wheel.py windows "$version" "$windows_bin" dist >/dev/null
ls -l dist
