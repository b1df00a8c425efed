#!/usr/bin/env python3
"""Records real process trees on PipeWire with the Linux harkwell.

Two process trees play at once: tree A (a shell with a native pw-play child
playing 440 Hz and a paplay grandchild, through the PulseAudio bridge,
playing 660 Hz), tree B (a shell with a pw-play child) plays 1000 Hz. Every
player has a tone of its own: two copies of one tone would meet at whatever
phase their streams start with and could cancel out. harkwell records each
tree in include mode and in exclude mode, stopping each run by closing its
stdin; each recording is written as a WAV file, measured, and judged: a
tree's include must hold each of its own tones and none of the other tree's,
its exclude the opposite. The exit status is 0 only when all four are right.

By default everything runs on a private, headless PipeWire started for the
demo and stopped after it (the test harness's, the one HARKWELL_PIPEWIRE
chooses: host or debian13). With --running it uses the
PipeWire of the session instead: the trees are then heard on its default
output, and exclude also holds whatever else plays there.

Python 3 standard library only.
"""

import argparse
import math
import os
import shlex
import sys
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "linux", "e2e"))

from harness import Capture  # noqa: E402
from pcm import RATE, Pcm, write_tone  # noqa: E402
from private_server import PrivatePipeWire  # noqa: E402
from process_groups import end_group, make_temp_dir, remove_temp_dir, spawn  # noqa: E402

# Each tree's players, and the tone each plays.
TREES = {"A": [("pw-play", 440), ("paplay", 660)], "B": [("pw-play", 1000)]}
ALL_TONES = sorted(hz for players in TREES.values() for _, hz in players)
AMPLITUDE = 0.25          # each player at a quarter of full scale (-12 dBFS)
PLAY_SECONDS = 60         # longer than the demo: the trees are stopped at the end
RECORD_SECONDS = 3.0      # audio gathered per run
PRESENT = 0.5 * AMPLITUDE  # a tone is present at or above this level...
ABSENT = 0.02 * AMPLITUDE  # ...and absent below this one (34 dB lower)
START_TIMEOUT = 20.0
EXIT_TIMEOUT = 10.0


def tones_of(name):
    return [hz for _, hz in TREES[name]]


def tree_script(program_and_files):
    """A shell that starts its players (the second one a level deeper, under
    a subshell) and waits for them, so they stay in its tree."""
    lines = []
    for depth, (program, wav) in enumerate(program_and_files):
        command = "%s %s" % (program, shlex.quote(wav))
        lines.append(("(%s; :) &" if depth else "%s &") % command)
    return "\n".join(lines + ["wait"])


class Recording:
    def __init__(self, status, pcm, stderr, stop_ms):
        self.status, self.pcm, self.stderr, self.stop_ms = status, pcm, stderr, stop_ms


def record(tool, env, pid, mode):
    """Runs harkwell until RECORD_SECONDS of audio arrived, then closes its
    stdin and waits for it to end."""
    capture = Capture(env, [pid, mode], program=[tool])
    capture.wait_for_bytes(RECORD_SECONDS * RATE * 4, START_TIMEOUT + RECORD_SECONDS)
    try:
        result = capture.stop(EXIT_TIMEOUT)
    except AssertionError:  # it did not end in time, and has been killed
        return Recording(capture.process.returncode, bytes(capture.stdout),
                         bytes(capture.stderr), None)
    return Recording(result.status, result.stdout, result.stderr, 1000 * result.stop_seconds)


def write_wav(path, pcm):
    with wave.open(path, "wb") as wav:
        wav.setnchannels(2)
        wav.setsampwidth(2)
        wav.setframerate(RATE)
        wav.writeframes(pcm)


def dbfs(level):
    return 20 * math.log10(level) if level > 0 else float("-inf")


def judge(name, mode, recording, wanted, unwanted):
    """Prints the summary of one run; returns True when it is right."""
    pcm = Pcm(recording.pcm)
    levels = {hz: pcm.peak_level(hz) for hz in ALL_TONES}
    problems = []
    if recording.status != 0:
        problems.append("exit status %s, expected 0" % recording.status)
    if recording.stderr:
        problems.append("stderr not empty: %r" % recording.stderr[:200])
    if len(recording.pcm) % 4:
        problems.append("a partial frame")
    problems += ["%d Hz is missing" % hz for hz in wanted if levels[hz] < PRESENT]
    problems += ["%d Hz is heard" % hz for hz in unwanted if levels[hz] >= ABSENT]

    stop = "%.1f ms" % recording.stop_ms if recording.stop_ms is not None else "did not stop"
    print("tree %s (%s Hz), %s:" % (name, " and ".join(map(str, tones_of(name))), mode))
    print("  bytes            %d, %.3f s of audio (exit status %s, stderr %d bytes, stopped %s"
          " after stdin closed)" % (len(recording.pcm), pcm.seconds, recording.status,
                                    len(recording.stderr), stop))
    for hz in sorted(levels):
        print("  %4d Hz tone     %.1f dBFS" % (hz, dbfs(levels[hz])))
    if problems:
        print("  verdict          WRONG: " + "; ".join(problems))
        return False
    print("  verdict          right: %s Hz present, %s Hz absent"
          % (" and ".join(map(str, wanted)), " and ".join(map(str, unwanted))))
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", default=os.path.join(HERE, "..", "build", "linux", "harkwell"))
    parser.add_argument("--out", default="out/linux", help="folder for the WAV files")
    parser.add_argument("--running", action="store_true",
                        help="use the session's PipeWire instead of a private one")
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)
    if not os.access(tool, os.X_OK):
        print("missing %s: build with the linux preset first" % tool, file=sys.stderr)
        return 2
    os.makedirs(args.out, exist_ok=True)

    server = None
    work = make_temp_dir("harkwell-demo-")
    trees = {}
    right = True
    try:
        if args.running:
            env = dict(os.environ)
            print("PipeWire: the session's own")
        else:
            server = PrivatePipeWire().start()
            env = server.env
            print("PipeWire: a private, headless server with a null sink (%s; ready in %.0f ms)"
                  % (server.describe(), 1000 * server.ready_seconds))
        for name, players in TREES.items():
            files = [(program, write_tone(os.path.join(work, "%d.wav" % hz), hz,
                                          PLAY_SECONDS * RATE, AMPLITUDE))
                     for program, hz in players]
            trees[name] = spawn(["sh", "-c", tree_script(files)], env, cwd=work)
            print("tree %s: pid %d plays %s" % (name, trees[name].pid, " and ".join(
                "%d Hz through %s" % (hz, program) for program, hz in players)))
        time.sleep(1.0)  # the players connect and start
        print()
        for name in TREES:
            own = tones_of(name)
            others = [hz for hz in ALL_TONES if hz not in own]
            for mode, wanted, unwanted in (("include", own, others), ("exclude", others, own)):
                recording = record(tool, env, trees[name].pid, mode)
                wav = os.path.join(args.out, "%s-%s.wav" % (name, mode))
                write_wav(wav, recording.pcm)
                right = judge(name, mode, recording, wanted, unwanted) and right
                print("  written          %s" % wav)
                print()
    finally:
        for tree in trees.values():
            end_group(tree)
        if server is not None:
            server.stop()
        remove_temp_dir(work)

    print("verdict: %s" % ("each include hears only its tree, each exclude only the rest"
                           if right else "WRONG (see above)"))
    return 0 if right else 1


if __name__ == "__main__":
    sys.exit(main())
