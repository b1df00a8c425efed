#!/usr/bin/env bash
# Installs what building and testing both tools need on Debian or Ubuntu,
# skipping what is already there. Runs as root, or through sudo when that is
# available.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build googletest python3
          ffmpeg sox clang-format
          # The Linux tool: its compiler and library, and a PipeWire server
          # with its session manager, PulseAudio bridge and players for tests.
          g++ pkg-config libpipewire-0.3-dev pipewire pipewire-bin wireplumber pipewire-pulse
          pulseaudio-utils dbus
          # Graphs of real desktops in the Linux tests: sandboxes and JACK players.
          bubblewrap pipewire-jack jack-tools)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
# The consumer examples' tests need Node.js; any recent one will do.
command -v node >/dev/null || missing+=(nodejs)
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq </dev/null
$sudo apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
