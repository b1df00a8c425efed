"""The consumer examples in examples/, run against the real Harkwell.exe under
Wine with the simulated audio stack: each must leave a WAV file holding exactly
the bytes the tool wrote, stop the tool by closing its stdin, and report a
failure of the tool."""

import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from harness import (BUILD_DIR, TIMEOUT, WINE, ToolTestCase,  # noqa: E402
                     expected_output)

EXAMPLES_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "..", "examples"))
PACKAGING_DIR = os.path.normpath(os.path.join(EXAMPLES_DIR, "..", "packaging"))

# name: (interpreter, script, programs the example needs on PATH)
EXAMPLES = {
    "node": ("node", "node/record-wav.js", ["node"]),
    "python": (sys.executable, "python/record_wav.py", []),
    "ffmpeg": ("bash", "shell/ffmpeg-wav.sh", ["ffmpeg"]),
    "sox": ("bash", "shell/sox-wav.sh", ["sox"]),
}

PCM_FORMAT = struct.pack("<HHIIHH", 1, 2, 48000, 192000, 4, 16)
FRAME_BYTES = 4
PACKET = ("data", 480)
PACKET_BYTES = PACKET[1] * FRAME_BYTES
MODES = {"include": 0, "exclude": 1}


def wav_chunks(content):
    """The chunks of a RIFF/WAVE file as (id, body) pairs, checking the framing."""
    if content[:4] != b"RIFF" or content[8:12] != b"WAVE":
        raise AssertionError("not a RIFF/WAVE file: %r" % content[:12])
    riff_size = struct.unpack_from("<I", content, 4)[0]
    if riff_size != len(content) - 8:
        raise AssertionError("RIFF size %d, file holds %d" % (riff_size, len(content) - 8))
    chunks = []
    offset = 12
    while offset < len(content):
        chunk_id, size = struct.unpack_from("<4sI", content, offset)
        body = content[offset + 8:offset + 8 + size]
        if len(body) != size:
            raise AssertionError("chunk %r claims %d bytes, %d present" % (chunk_id, size, len(body)))
        chunks.append((chunk_id, body))
        offset += 8 + size + (size & 1)
    return chunks


def activation_blob(pid, mode):
    """The activation parameters the tool passes for a pid and mode, as the
    simulated stack records them."""
    return struct.pack("<III", 1, pid, MODES[mode]).hex()


class Examples(ToolTestCase):
    def run_example(self, name, scenario, pid=1000, mode="include", seconds=1):
        interpreter, script, needs = EXAMPLES[name]
        for program in [interpreter] + needs:
            if shutil.which(program) is None:
                self.fail("the %s example needs %s on PATH" % (name, program))
        env = self.runner.environment(scenario)
        # The Node and Python examples use the packages from packaging/, whose
        # override variable names the executable: here a script that runs it
        # under Wine. The shell examples take the command itself.
        env["HARKWELL_BINARY"] = self.wine_launcher()
        env["HARKWELL"] = env["HARKWELL_BINARY"]
        env["NODE_PATH"] = os.path.join(PACKAGING_DIR, "npm")
        env["PYTHONPATH"] = os.path.join(PACKAGING_DIR, "python")
        output = os.path.join(self.runner.work, "out.wav")
        if os.path.exists(output):
            os.remove(output)
        command = [interpreter, os.path.join(EXAMPLES_DIR, script),
                   str(pid), mode, str(seconds), output]
        for attempt in range(2):
            completed = subprocess.run(command, env=env, cwd=self.runner.work,
                                       capture_output=True, timeout=TIMEOUT + seconds)
            # The examples report the tool's death by a signal, or Wine's own
            # fatal error, in their stderr.
            glitch = re.search(rb"wine client error:|killed by SIG|exited with status "
                               rb"(-\d+|1[2-9]\d|2\d\d)\b", completed.stderr)
            if completed.returncode == 0 or not glitch or attempt == 1:
                break
            print("rerunning once after a failure of Wine's own: %r" % completed.stderr[:120])
        wav = None
        if os.path.exists(output):
            with open(output, "rb") as f:
                wav = f.read()
        return completed, wav, self.runner.read_record()

    def wine_launcher(self):
        path = os.path.join(self.runner.work, "harkwell-under-wine")
        with open(path, "w") as f:
            f.write('#!/bin/sh\nexec %s %s "$@"\n'
                    % (WINE, shlex.quote(os.path.join(BUILD_DIR, "Harkwell.exe"))))
        os.chmod(path, 0o755)
        return path

    def assertStoppedCleanly(self, completed, record):
        """Status 0, and the tool was stopped through its stdin and exited."""
        self.assertEqual(0, completed.returncode, completed.stderr)
        self.assertIn("Stop -> 0x00000000", record)
        self.assertTrue(record and record[-1].startswith("ProcessExit"), record[-3:])

    def assertPcmWav(self, wav, data):
        """A canonical PCM WAV: 2 channels, 48000 Hz, 16 bits, exactly `data`."""
        self.assertIsNotNone(wav, "no WAV file was written")
        chunks = wav_chunks(wav)
        self.assertEqual([b"fmt ", b"data"], [chunk_id for chunk_id, _ in chunks])
        self.assertEqual(PCM_FORMAT, chunks[0][1])
        self.assertEqual(len(data), len(chunks[1][1]))
        self.assertTrue(data == chunks[1][1], "the audio bytes differ from the stream")

    def test_writes_the_stream_into_a_wav_file(self):
        cases = [
            (4242, "include", "prefill data 480 50\nprefill silent 480 3\n",
             [PACKET] * 50 + [("silent", 480)] * 3),
            (77, "exclude", "prefill silent 960\nprefill data 441 2\n",
             [("silent", 960), ("data", 441), ("data", 441)]),
            (1000, "include", "", []),
        ]
        for name in EXAMPLES:
            for pid, mode, scenario, packets in cases:
                with self.subTest(example=name, mode=mode, scenario=scenario):
                    completed, wav, record = self.run_example(name, scenario, pid, mode)
                    self.assertStoppedCleanly(completed, record)
                    self.assertIn("blob=" + activation_blob(pid, mode), record[0])
                    self.assertPcmWav(wav, expected_output(packets))

    def test_stops_a_capture_that_goes_on(self):
        # Half an hour of real-time packets: only closing stdin ends this run.
        scenario = "pacing realtime\nprefill data 480 5\nloop 180000\ndata 480\nend\n"
        for name in EXAMPLES:
            with self.subTest(example=name):
                completed, wav, record = self.run_example(name, scenario)
                self.assertStoppedCleanly(completed, record)
                data = wav_chunks(wav)[1][1]
                self.assertEqual(0, len(data) % PACKET_BYTES)
                self.assertGreaterEqual(len(data), 5 * PACKET_BYTES)
                self.assertPcmWav(wav, expected_output([PACKET] * (len(data) // PACKET_BYTES)))

    def test_reports_a_failure_of_the_tool(self):
        for name in EXAMPLES:
            with self.subTest(example=name):
                completed, _, record = self.run_example(name, "fail Initialize 0x88890008\n")
                self.assertNotEqual(0, completed.returncode)
                self.assertIn(b"activate failed: 0x88890008", completed.stderr)
                self.assertIn(b"status 1", completed.stderr)
                self.assertTrue(record and record[-1].startswith("ProcessExit"), record[-3:])


if __name__ == "__main__":
    unittest.main()
