#!/usr/bin/env python3
"""Finds the longest pause of a stdout reader that loses no audio.

Runs the real Harkwell.exe under Wine against the simulated stack in real-time
pacing (its engine buffer holds the 200 ms the tool asks for). The reader
stops reading 0.3 s into the stream for a given time, then reads on; a run
loses audio when the stack dropped packets. Each pause is tried `--runs`
times; the longest pause that lost nothing in every run is reported, with the
capacity of the stdout pipe here.

Run from the repository root after a mingw build:
    source tools/wine-env.sh && python3 bench/windows/stall_margin.py
"""

import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "windows", "e2e"))
os.environ.setdefault("HARKWELL_BUILD_DIR", os.path.join(ROOT, "build", "mingw"))

import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--from-ms", type=int, default=300)
    parser.add_argument("--to-ms", type=int, default=800)
    parser.add_argument("--step-ms", type=int, default=25)
    args = parser.parse_args()

    runner = harness.ToolRunner()
    longest_clean = None
    pipe_bytes = None
    try:
        for pause_ms in range(args.from_ms, args.to_ms + 1, args.step_ms):
            lost = []
            for _ in range(args.runs):
                stalled = harness.run_with_stalled_reader(
                    runner, 150, 30 * harness.PACKET_BYTES, pause_ms / 1000.0)
                pipe_bytes = stalled.pipe_bytes
                lost.append(stalled.dropped_packets())
            print("pause %4d ms: packets lost per run %s" % (pause_ms, lost), flush=True)
            if any(lost):
                break
            longest_clean = pause_ms
    finally:
        runner.cleanup()
    print("stdout pipe here: %s bytes (%.0f ms of audio)"
          % (pipe_bytes, pipe_bytes / 192.0 if pipe_bytes else float("nan")))
    print("longest pause without loss: %s ms" % longest_clean)


if __name__ == "__main__":
    main()
