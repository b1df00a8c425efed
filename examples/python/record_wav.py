#!/usr/bin/env python3
"""Records the audio of a process tree into a WAV file.

    python record_wav.py <pid> <include|exclude> <seconds> <out.wav>

HARKWELL is the command that starts the tool (default: Harkwell.exe),
e.g. HARKWELL="wine /opt/harkwell/Harkwell.exe".
"""

import argparse
import os
import shlex
import subprocess
import sys
import threading
import wave

SAMPLE_RATE = 48000


def tool_command(pid, mode):
    prefix = os.environ.get("HARKWELL", "Harkwell.exe")
    if os.name == "nt":
        # CreateProcess splits a command line the Windows way, backslashes and
        # quoted paths included.
        return "%s %d %s" % (prefix, pid, mode)
    return shlex.split(prefix) + [str(pid), mode]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pid", type=int)
    parser.add_argument("mode", choices=["include", "exclude"])
    parser.add_argument("seconds", type=float)
    parser.add_argument("output")
    args = parser.parse_args()

    try:
        tool = subprocess.Popen(tool_command(args.pid, args.mode), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as error:
        print("cannot start Harkwell: %s" % error, file=sys.stderr)
        return 1

    with wave.open(args.output, "wb") as wav:
        wav.setnchannels(2)
        wav.setsampwidth(2)
        wav.setframerate(SAMPLE_RATE)

        # Both output pipes are drained on their own threads: a pipe nobody
        # reads fills up and blocks the tool.
        def copy_audio():
            for chunk in iter(lambda: tool.stdout.read1(65536), b""):
                wav.writeframesraw(chunk)

        stderr = []
        readers = [threading.Thread(target=copy_audio),
                   threading.Thread(target=lambda: stderr.append(tool.stderr.read()))]
        for reader in readers:
            reader.start()

        # Record for the time asked, or less if the tool ends on its own (a
        # failure). Closing stdin is the stop signal.
        readers[0].join(args.seconds)
        tool.stdin.close()
        status = tool.wait()
        for reader in readers:
            reader.join()

    message = stderr[0].decode("ascii", "replace").strip()
    if status != 0:
        print("Harkwell exited with status %d%s" % (status, ": " + message if message else ""),
              file=sys.stderr)
        return 1
    if message:
        print(message, file=sys.stderr)
    print("wrote %.2f s of audio to %s" % (wav.getnframes() / SAMPLE_RATE, args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
