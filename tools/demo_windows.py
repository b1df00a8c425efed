#!/usr/bin/env python3
"""Records a simulated system with the real Harkwell.exe under Wine.

The simulated audio stack (mmdevapi.dll beside Harkwell.exe) plays a small
process table: the tree rooted at 4242 plays 440 Hz, two other processes play
1000 Hz. Harkwell records `4242 include`, then `4242 exclude`; each recording
is written as a WAV file, measured, and judged: include must hold the 440 Hz
tone and not the 1000 Hz one, exclude the opposite. The exit status is 0 only
when both are right, so this doubles as a check of the whole chain.

Python 3 standard library only.
"""

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import wave
from array import array

RATE = 48000
CHANNELS = 2
BYTES_PER_FRAME = 4
FULL_SCALE = 32768.0

ROOT = 4242
INCLUDED_TONE = 440
EXCLUDED_TONE = 1000
# Each process plays at a quarter of full scale (-12 dBFS).
PROCESSES = [
    # pid, parent, tone
    (ROOT, 1, 0),                    # the tree's root plays nothing itself
    (4243, ROOT, INCLUDED_TONE),     # its child
    (4244, 4243, INCLUDED_TONE),     # and grandchild
    (5000, 1, EXCLUDED_TONE),        # other programs
    (6000, 1, EXCLUDED_TONE),
]
TIMELINE = [("play", 1500), ("quiet", 500), ("idle", 500), ("play", 1000)]

# A tone counts as present at or above this level, and the other one must be
# at least MARGIN_DB below it.
PRESENT_DBFS = -30.0
MARGIN_DB = 30.0

START_TIMEOUT = 60.0   # seconds until the timeline must have been delivered
EXIT_TIMEOUT = 20.0    # seconds Harkwell may take to exit once stdin is closed
QUIET_AFTER = 2.0      # seconds without bytes after which a short stream is final


def scenario_text():
    lines = ["# The simulated system: process table, then the timeline."]
    lines += ["process %d parent=%d tone=%d" % p for p in PROCESSES]
    lines += ["%s %d" % step for step in TIMELINE]
    return "\n".join(lines) + "\n"


def timeline_seconds():
    return sum(ms for _, ms in TIMELINE) / 1000.0


def expected_bytes():
    """What a capture of a tree that plays gets: play and idle, never quiet."""
    ms = sum(ms for kind, ms in TIMELINE if kind in ("play", "idle"))
    return ms * RATE // 1000 * BYTES_PER_FRAME


class Capture:
    """One finished run of Harkwell.exe."""

    def __init__(self):
        self.returncode = None
        self.stdout = bytearray()
        self.stderr = b""
        self.first_byte = None   # time.monotonic() of the first and last bytes
        self.last_byte = None
        self.problems = []


def wait_for_record_line(path, line, deadline):
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                if any(candidate.rstrip("\n") == line for candidate in f):
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    return False


def run_once(wine, exe, mode, scenario_path, work):
    """Runs Harkwell until the timeline is over, then closes its stdin."""
    record_path = os.path.join(work, "record-%s.txt" % mode)
    if os.path.exists(record_path):
        os.remove(record_path)
    env = dict(os.environ)
    env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mmdevapi=n,b",
               SIMAUDIO_SCENARIO=scenario_path, SIMAUDIO_RECORD=record_path)
    capture = Capture()
    process = subprocess.Popen([wine, exe, str(ROOT), mode], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, cwd=work)

    def pump_stdout():
        while True:
            chunk = process.stdout.read1(65536)
            if not chunk:
                return
            now = time.monotonic()
            if capture.first_byte is None:
                capture.first_byte = now
            capture.last_byte = now
            capture.stdout.extend(chunk)

    def pump_stderr():
        capture.stderr = process.stderr.read()

    readers = [threading.Thread(target=pump_stdout, daemon=True),
               threading.Thread(target=pump_stderr, daemon=True)]
    for reader in readers:
        reader.start()
    try:
        # The stand-in records DeliveryEnd once the last packet of the
        # timeline has been handed over; Harkwell then still has to write it.
        if not wait_for_record_line(record_path, "DeliveryEnd",
                                    time.monotonic() + START_TIMEOUT + timeline_seconds()):
            capture.problems.append("the timeline was not delivered within %.0f s"
                                    % (START_TIMEOUT + timeline_seconds()))
        deadline = time.monotonic() + QUIET_AFTER
        while len(capture.stdout) < expected_bytes() and time.monotonic() < deadline:
            time.sleep(0.05)
        process.stdin.close()
        process.wait(EXIT_TIMEOUT)
    except subprocess.TimeoutExpired:
        capture.problems.append("Harkwell.exe did not exit within %.0f s of stdin closing"
                                % EXIT_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    for reader in readers:
        reader.join(10)
    process.stdout.close()
    process.stderr.close()
    capture.returncode = process.returncode
    return capture


def run(wine, exe, mode, scenario_path, work):
    capture = run_once(wine, exe, mode, scenario_path, work)
    # Rarely wineserver kills a process whose Windows side has already ended
    # cleanly; a real crash shows up on stderr instead.
    if capture.returncode is not None and capture.returncode < 0:
        print("  (rerunning once: the run died by signal %d)" % -capture.returncode)
        capture = run_once(wine, exe, mode, scenario_path, work)
    return capture


def write_wav(path, pcm):
    with wave.open(path, "wb") as out:
        out.setnchannels(CHANNELS)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(pcm))


def left_channel(pcm):
    samples = array("h")
    samples.frombytes(bytes(pcm[:len(pcm) - len(pcm) % BYTES_PER_FRAME]))
    if sys.byteorder != "little":
        samples.byteswap()
    return samples[0::2], samples[1::2]


def dbfs(amplitude):
    return 20 * math.log10(amplitude) if amplitude > 0 else float("-inf")


def tone_level(samples, hz):
    """Level of the tone `hz` in dB relative to a full-scale sine (Goertzel,
    Hann window)."""
    n = len(samples)
    if n < 2:
        return float("-inf")
    coefficient = 2 * math.cos(2 * math.pi * hz / RATE)
    step = 2 * math.pi / (n - 1)
    s1 = s2 = 0.0
    weight = 0.0
    for i, x in enumerate(samples):
        w = 0.5 - 0.5 * math.cos(step * i)
        weight += w
        s1, s2 = x * w + coefficient * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coefficient * s1 * s2
    return dbfs(2 * math.sqrt(max(power, 0.0)) / weight / FULL_SCALE)


def judge(mode, capture):
    """Prints the summary of one run; returns True when it is right."""
    pcm = capture.stdout
    left, right = left_channel(pcm)
    seconds = len(pcm) / (RATE * BYTES_PER_FRAME)
    peak = max((abs(s) for s in left + right), default=0)
    levels = {hz: tone_level(left, hz) for hz in (INCLUDED_TONE, EXCLUDED_TONE)}
    wanted, unwanted = ((INCLUDED_TONE, EXCLUDED_TONE) if mode == "include"
                        else (EXCLUDED_TONE, INCLUDED_TONE))
    problems = list(capture.problems)
    if capture.returncode != 0:
        problems.append("exit status %s, expected 0" % capture.returncode)
    if capture.stderr:
        problems.append("stderr not empty: %r" % capture.stderr[:200])
    if len(pcm) != expected_bytes():
        problems.append("%d bytes, expected %d" % (len(pcm), expected_bytes()))
    if left != right:
        problems.append("the two channels differ")
    if levels[wanted] < PRESENT_DBFS:
        problems.append("%d Hz is missing" % wanted)
    if levels[unwanted] > levels[wanted] - MARGIN_DB:
        problems.append("%d Hz is not %.0f dB below %d Hz" % (unwanted, MARGIN_DB, wanted))

    wall = (capture.last_byte - capture.first_byte) if capture.first_byte is not None else 0.0
    print("%s %d:" % (mode, ROOT))
    print("  bytes            %d (exit status %s, stderr %d bytes)"
          % (len(pcm), capture.returncode, len(capture.stderr)))
    print("  audio            %.3f s, arriving over %.3f s of wall time; the timeline is %.1f s"
          % (seconds, wall, timeline_seconds()))
    print("  peak             %.1f dBFS" % dbfs(peak / FULL_SCALE))
    for hz in (INCLUDED_TONE, EXCLUDED_TONE):
        print("  %4d Hz tone     %.1f dBFS" % (hz, levels[hz]))
    if problems:
        print("  verdict          WRONG: " + "; ".join(problems))
        return False
    print("  verdict          right: %d Hz present, %d Hz %.0f dB below it"
          % (wanted, unwanted, levels[wanted] - levels[unwanted]))
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.environ.get("HARKWELL_BUILD_DIR", "build/mingw"),
                        help="folder holding Harkwell.exe and the simulated mmdevapi.dll")
    parser.add_argument("--out", default="out", help="folder for the WAV files")
    parser.add_argument("--wine", default=os.environ.get("HARKWELL_WINE") or "wine",
                        help="the Wine launcher")
    args = parser.parse_args()

    exe = os.path.abspath(os.path.join(args.build, "Harkwell.exe"))
    for needed in (exe, os.path.join(args.build, "mmdevapi.dll")):
        if not os.path.isfile(needed):
            print("missing %s: build with the mingw preset first" % needed, file=sys.stderr)
            return 2
    os.makedirs(args.out, exist_ok=True)
    scenario_path = os.path.abspath(os.path.join(args.out, "scenario.txt"))
    with open(scenario_path, "w") as f:
        f.write(scenario_text())

    print("simulated system: %s" % ", ".join(
        "%d%s plays %s" % (pid, "" if parent == 1 else " (child of %d)" % parent,
                           "%d Hz" % tone if tone else "nothing")
        for pid, parent, tone in PROCESSES))
    print("timeline: %s; quiet sends no packets, idle sends silent ones"
          % ", ".join("%s %d ms" % step for step in TIMELINE))
    print()

    work = tempfile.mkdtemp(prefix="harkwell-demo-")
    right = True
    try:
        for mode in ("include", "exclude"):
            capture = run(args.wine, exe, mode, scenario_path, work)
            wav = os.path.join(args.out, "%s.wav" % mode)
            write_wav(wav, capture.stdout)
            right = judge(mode, capture) and right
            print("  written          %s" % wav)
            print()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    if right:
        audio = expected_bytes() / (RATE * BYTES_PER_FRAME)
        print("The quiet stretch (%.1f s) contributed no bytes: each run holds %.1f s of audio"
              " for a %.1f s timeline." % (timeline_seconds() - audio, audio, timeline_seconds()))
    print("verdict: %s" % ("include hears only the tree, exclude only the rest" if right
                           else "WRONG (see above)"))
    return 0 if right else 1


if __name__ == "__main__":
    sys.exit(main())
