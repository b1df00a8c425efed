#!/usr/bin/env bash
# Builds the Debian 13 tree whose PipeWire 1.4 and WirePlumber 0.5 the Linux
# tests run against beside the host's server (tests/linux/e2e/debian13.py runs
# its programs). Once per machine: kept outside the repository, reused while
# it was built from the same package list, built anew beside the old one and
# swapped in when the list changes. Runs as root, or through sudo.
#
#   tools/debian13-pipewire.sh            # HARKWELL_DEBIAN13_TREE moves the tree
set -euo pipefail

tree=${HARKWELL_DEBIAN13_TREE:-/var/cache/harkwell/debian13-pipewire}
suite=trixie
# The server, its session manager, the PulseAudio bridge, the players, and a
# session bus; dbus-x11 lets the session-bus packages configure. The desktop
# tests add a sandbox (bwrap) and JACK players: pw-jack, jack-play and
# jack_connect (jack-example-tools in Debian 13).
packages=(pipewire pipewire-bin wireplumber pipewire-pulse pulseaudio-utils dbus dbus-x11
          bubblewrap pipewire-jack jack-example-tools)
# The packages whose programs the tests run from the tree, listed in it.
programs_of=(pipewire pipewire-bin wireplumber pipewire-pulse pulseaudio-utils dbus-daemon
             bubblewrap pipewire-jack jack-example-tools)
stamp="$suite ${packages[*]}; programs of ${programs_of[*]}"

if [ "$(id -u)" -ne 0 ]; then
  exec sudo HARKWELL_DEBIAN13_TREE="$tree" "$0" "$@"
fi
if [ "$(cat "$tree/.harkwell-packages" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi

if ! command -v debootstrap >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq </dev/null
  apt-get install -y -qq -o DPkg::Lock::Timeout=600 debootstrap </dev/null >/dev/null
fi

mkdir -p "$(dirname "$tree")"
# One build at a time on a machine; a second caller finds the tree made.
exec 9>"$tree.lock"
flock 9
if [ "$(cat "$tree/.harkwell-packages" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi

echo "building the Debian 13 PipeWire tree in $tree (${packages[*]})"
new="$tree.new"
old="$tree.old"
rm -rf "$new" "$old"
started=$SECONDS
# In a mount namespace of its own, so that whatever it mounts inside the tree
# (/proc, /sys) goes away with it, however it ends.
include=$(IFS=,; echo "${packages[*]}")
if ! unshare --mount debootstrap --variant=minbase --include="$include" "$suite" "$new" \
    </dev/null >"$tree.log" 2>&1; then
  tail -n 30 "$tree.log" >&2
  echo "debootstrap failed; the whole log is in $tree.log" >&2
  exit 1
fi
chroot "$new" apt-get clean
chroot "$new" dpkg-query -L "${programs_of[@]}" | grep '^/usr/bin/[^/]*$' | sort -u \
  >"$new/.harkwell-programs"
echo "$stamp" >"$new/.harkwell-packages"
if [ -e "$tree" ]; then mv "$tree" "$old"; fi
mv "$new" "$tree"
rm -rf "$old"
echo "Debian 13 PipeWire tree ready in $((SECONDS - started)) s: $(chroot "$tree" pipewire --version | tail -n 1)"
