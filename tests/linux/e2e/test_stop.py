"""How a capture ends: end of file on stdin in every form ends it with status
0, bytes on stdin mean nothing, and a reader of stdout that goes away does
not end it."""

import os
import signal
import time
import unittest

from harness import ServerTestCase, play_forever

AMPLITUDE = 0.3
TONE_HZ = 500
# Bytes a caller might send: none of them stops the capture, 0x1A included.
NOISE = b"\x1a" + b"q\r\n\x00\x03\x04\x1a" * 10 + bytes(range(256)) * 64


class Stopping(ServerTestCase):
    """A tree plays all the time; every capture includes it."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tree = cls.class_tree(now=[play_forever("native", cls.tone(TONE_HZ, 30))])
        cls.quiet = cls.class_tree(now=["sleep 600"])
        cls.wait_for_streams([cls.tree], 1)

    def test_end_of_input_ends_the_capture(self):
        # (stdin, what happens before it ends, the tree captured)
        cases = [("pipe", "sound", self.tree), ("pipe", "nothing plays", self.quiet),
                 ("pipe", "bytes written to stdin", self.tree),
                 ("devnull", "", self.tree), ("closed", "", self.tree)]
        for stdin, before, tree in cases:
            with self.subTest(stdin=stdin, before=before):
                capture = self.capture(tree.pid, "include", stdin=stdin)
                if stdin != "pipe":
                    result = capture.wait_exit()
                    print("stdin %s: status %d after %.1f ms, %d bytes"
                          % (stdin, result.status, 1000 * (time.monotonic() - capture.started),
                             len(result.stdout)))
                    self.assertCleanStop(result)
                    self.assertNothingLeftOf(capture.pid)
                    continue
                self.wait_for_tool(capture)
                if before == "nothing plays":
                    time.sleep(0.3)
                else:
                    self.assertTrue(capture.wait_for_sound(0.3), "no sound arrived")
                if before == "bytes written to stdin":
                    capture.write_stdin(NOISE)
                    count = capture.byte_count()
                    self.assertTrue(capture.wait_for_bytes(count + 0.5 * 192000),
                                    "the capture stopped after bytes on stdin")
                    self.assertFalse(capture.exited())
                self.finish(capture)

    def test_leaves_nothing_behind_when_killed(self):
        for signum in (signal.SIGTERM, signal.SIGKILL):
            with self.subTest(signal=signum.name):
                before = self.server.dump()
                capture = self.capture(self.tree.pid, "include")
                self.assertTrue(capture.wait_for_sound(0.3), "no sound arrived")
                os.kill(capture.pid, signum)
                capture.wait_exit()
                self.assertNothingLeftOf(capture.pid)
                self.assertUndisturbed(before, self.server.dump())

    def test_goes_on_when_the_reader_of_stdout_goes_away(self):
        capture = self.capture(self.tree.pid, "include")
        self.assertTrue(capture.wait_for_sound(0.3), "no sound arrived")
        capture.hang_up_stdout()
        # The tree plays on, so the tool keeps writing into the closed pipe.
        time.sleep(1.0)
        self.assertFalse(capture.exited(), "harkwell ended when its reader went away")
        self.assertTrue(self.server.dump().nodes_of([capture.pid]),
                        "harkwell left the graph when its reader went away")
        result = capture.stop()
        self.assertEqual(b"", result.stderr)
        self.assertEqual(0, result.status)
        self.assertNothingLeftOf(capture.pid)


if __name__ == "__main__":
    unittest.main()
