#!/usr/bin/env bash
# Records the audio of a process tree into a WAV file with ffmpeg.
#
#   ffmpeg-wav.sh <pid> <include|exclude> <seconds> <out.wav>
#
# HARKWELL is the command that starts the tool, split on blanks
# (default: Harkwell.exe), e.g. HARKWELL="wine /opt/harkwell/Harkwell.exe".
set -uo pipefail

: "${4:?usage: $0 <pid> <include|exclude> <seconds> <out.wav>}"
read -r -a harkwell <<< "${HARKWELL:-Harkwell.exe}"

# sleep holds the tool's stdin open; when it ends, the pipe closes and the tool
# stops. -bitexact keeps ffmpeg from adding an encoder tag to the file.
sleep "$3" | "${harkwell[@]}" "$1" "$2" |
  ffmpeg -hide_banner -loglevel warning -y \
    -f s16le -ar 48000 -ch_layout stereo -i pipe:0 -c:a pcm_s16le -bitexact "$4"
status=("${PIPESTATUS[@]}")
[ "${status[1]}" -eq 0 ] || { echo "Harkwell exited with status ${status[1]}" >&2; exit 1; }
exit "${status[2]}"
