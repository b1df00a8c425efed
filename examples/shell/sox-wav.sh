#!/usr/bin/env bash
# Records the audio of a process tree into a WAV file with sox.
#
#   sox-wav.sh <pid> <include|exclude> <seconds> <out.wav>
#
# HARKWELL is the command that starts the tool, split on blanks
# (default: Harkwell.exe), e.g. HARKWELL="wine /opt/harkwell/Harkwell.exe".
set -uo pipefail

: "${4:?usage: $0 <pid> <include|exclude> <seconds> <out.wav>}"
read -r -a harkwell <<< "${HARKWELL:-Harkwell.exe}"

# sleep holds the tool's stdin open; when it ends, the pipe closes and the tool
# stops. The raw input has no header, so sox is told its format.
sleep "$3" | "${harkwell[@]}" "$1" "$2" |
  sox -t raw -r 48000 -e signed -b 16 -c 2 -L - "$4"
status=("${PIPESTATUS[@]}")
[ "${status[1]}" -eq 0 ] || { echo "Harkwell exited with status ${status[1]}" >&2; exit 1; }
exit "${status[2]}"
