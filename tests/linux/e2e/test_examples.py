"""The consumer examples in examples/, unchanged, recording real process trees
with the Linux tool into WAV files. They use the packages from packaging/,
pointed at the tool under test by their override variable."""

import os
import shutil
import struct
import subprocess
import sys
import unittest

from harness import STOP_TIMEOUT, TOOL, TWO_TREES_A_HZ, TWO_TREES_B_HZ, TwoTreesTestCase
from pcm import Pcm
from private_server import client_executable

EXAMPLES_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                             "..", "..", "..", "examples"))
PACKAGING_DIR = os.path.normpath(os.path.join(EXAMPLES_DIR, "..", "packaging"))
EXAMPLES = {"node": ["node", os.path.join(EXAMPLES_DIR, "node", "record-wav.js")],
            "python": [sys.executable, os.path.join(EXAMPLES_DIR, "python", "record_wav.py")]}
PCM_FORMAT = struct.pack("<HHIIHH", 1, 2, 48000, 192000, 4, 16)
AMPLITUDE = 0.3
SECONDS = 1.5


def wav_data(content):
    """The samples of a canonical PCM WAV file, checking its framing."""
    riff, riff_size, wave, fmt, fmt_size = struct.unpack_from("<4sI4s4sI", content)
    if (riff, wave, fmt, fmt_size) != (b"RIFF", b"WAVE", b"fmt ", 16):
        raise AssertionError("not a canonical WAV header: %r" % content[:20])
    if riff_size != len(content) - 8:
        raise AssertionError("RIFF size %d, file holds %d" % (riff_size, len(content) - 8))
    if content[20:36] != PCM_FORMAT:
        raise AssertionError("format %r is not s16 stereo 48 kHz" % content[20:36])
    data, data_size = struct.unpack_from("<4sI", content, 36)
    if data != b"data" or data_size != len(content) - 44:
        raise AssertionError("data chunk %r of %d bytes in %d" % (data, data_size, len(content)))
    return content[44:]


class Examples(TwoTreesTestCase):
    def test_record_a_tree_into_a_wav_file(self):
        for name, command in EXAMPLES.items():
            if shutil.which(command[0]) is None:
                self.fail("the %s example needs %s on PATH" % (name, command[0]))
            for mode, heard, other in (("include", TWO_TREES_A_HZ, TWO_TREES_B_HZ),
                                       ("exclude", TWO_TREES_B_HZ, TWO_TREES_A_HZ)):
                with self.subTest(example=name, mode=mode):
                    output = os.path.join(self.work, "%s-%s.wav" % (name, mode))
                    env = dict(self.server.env,
                               HARKWELL_BINARY=client_executable(self.server.env, TOOL),
                               NODE_PATH=os.path.join(PACKAGING_DIR, "npm"),
                               PYTHONPATH=os.path.join(PACKAGING_DIR, "python"))
                    completed = subprocess.run(
                        command + [str(self.tree_a.pid), mode, str(SECONDS), output],
                        env=env, capture_output=True, timeout=SECONDS + STOP_TIMEOUT)
                    self.assertEqual(0, completed.returncode, completed.stderr)
                    self.assertEqual(b"", completed.stderr)
                    self.assertIn(b"wrote", completed.stdout)
                    with open(output, "rb") as f:
                        data = wav_data(f.read())
                    self.assertEqual(0, len(data) % 4, "a partial frame")
                    pcm = Pcm(data)
                    self.assertHears(pcm, heard, SECONDS - 0.5, AMPLITUDE)
                    self.assertDoesNotHear(pcm, other, AMPLITUDE)
                    # Nothing else records here: no capture stream may remain.
                    self.assertEqual([], self.server.dump().nodes_with_class("Stream/Input/Audio"))


if __name__ == "__main__":
    unittest.main()
