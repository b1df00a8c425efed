#!/usr/bin/env bash
# Installs what building and testing both tools need on Debian or Ubuntu,
# skipping what is already there. Runs as root, or through sudo when that is
# available.
set -euo pipefail

# --- The second PipeWire of the Linux tests (1.4, WirePlumber 0.5) ---------
# A Debian 13 tree outside the repository, built once per machine and again
# only when its package list changes (tools/debian13-pipewire.sh).
"$(dirname "$0")/debian13-pipewire.sh"
# ---------------------------------------------------------------------------

packages=(g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build googletest python3
          ffmpeg sox clang-format
          # The Linux tool: its compiler and library, and a PipeWire server
          # with its session manager, PulseAudio bridge and players for tests.
          g++ pkg-config libpipewire-0.3-dev pipewire pipewire-bin wireplumber pipewire-pulse
          pulseaudio-utils dbus
          # Graphs of real desktops in the Linux tests: sandboxes and JACK players
          # (jack-play, and our own tone player, built against libjack).
          bubblewrap pipewire-jack jack-tools libjack-jackd2-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
# The consumer examples' tests need Node.js; any recent one will do.
command -v node >/dev/null || missing+=(nodejs)

# The packages (tools/package.sh) and their tests (tests/packaging/): the
# Debian package's dependencies computed and checked, virtual environments
# with pip, manual pages, and npm.
for package in dpkg-dev lintian python3-venv python3-pip man-db; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
command -v npm >/dev/null || missing+=(npm)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq </dev/null
  $sudo apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
fi

# From npm, for the package tests: a private registry and TypeScript, kept in
# a cache folder outside the repository (HARKWELL_NPM_TOOLS).
npm_tools=${HARKWELL_NPM_TOOLS:-$HOME/.cache/harkwell/npm-tools}
npm_packages=(verdaccio@6.5.2 typescript@5.9.3 @types/node@20.19.43)
for spec in "${npm_packages[@]}"; do
  name=${spec%@*}
  manifest="$npm_tools/node_modules/$name/package.json"
  if [ ! -f "$manifest" ] || [ "$(node -p "require('$manifest').version")" != "${spec##*@}" ]; then
    echo "installing from npm into $npm_tools: ${npm_packages[*]}"
    mkdir -p "$npm_tools"
    npm install --prefix "$npm_tools" --no-audit --no-fund --loglevel=error \
      "${npm_packages[@]}" </dev/null >/dev/null
    break
  fi
done
