"""Reliability: every audio-stack fault, hostile input, and a long soak.

The soak runs one simulated minute by default; set HARKWELL_SOAK_SECONDS
(e.g. 3600) for a longer one.
"""

import os
import random
import threading
import time
import unittest

from harness import (TIMEOUT, USAGE, ToolTestCase, expected_output, pattern_bytes,
                     stop_by_closing_stdin, wait_for_record)

# Two packets pending at the first wait, two more later: every capture call
# is made at least twice.
STREAM = "prefill data 480\nprefill silent 240\nbatch 2\ndata 480 2\n"
STREAM_PACKETS = [("data", 480), ("silent", 240), ("data", 480), ("data", 480)]
STREAM_OUTPUT = expected_output(STREAM_PACKETS)


class FaultMatrix(ToolTestCase):
    """Each call the tool makes, failing in turn, and succeeding oddly."""

    # (call, nth call, packets written before it fails, set-up step?)
    CALLS = [
        ("ActivateAudioInterfaceAsync", 1, 0, True),
        ("GetActivateResult", 1, 0, True),
        ("QueryInterface", 1, 0, True),
        ("Initialize", 1, 0, True),
        ("GetService", 1, 0, True),
        ("SetEventHandle", 1, 0, True),
        ("Start", 1, 0, True),
        ("GetNextPacketSize", 3, 2, False),
        ("GetBuffer", 3, 2, False),
        ("ReleaseBuffer", 2, 2, False),
    ]
    FAILURE = 0x88890004  # AUDCLNT_E_DEVICE_INVALIDATED
    SUCCESSES = [0x00000001, 0x08890001]  # S_FALSE, AUDCLNT_S_BUFFER_EMPTY

    def test_a_failing_call_ends_the_run_as_documented(self):
        for call, nth, written, set_up in self.CALLS:
            with self.subTest(call=call):
                scenario = "fail %s 0x%08x %d\n%s" % (call, self.FAILURE, nth, STREAM)
                run = self.runner.run(["1000", "include"], scenario=scenario,
                                      keep_stdin_open=True)
                self.assertEqual(1, run.returncode)
                expected_message = (b"activate failed: 0x%08x\r\n" % self.FAILURE
                                    if set_up else b"")
                self.assertEqual(expected_message, run.stderr)
                self.assertEqual(expected_output(STREAM_PACKETS[:written]), run.stdout)
                self.assertEqual([], run.calls("Stop"))
                self.assertTrue(run.record[-1].startswith("ProcessExit"), run.record[-3:])

    def test_the_activation_result_failing_is_reported(self):
        run = self.runner.run(["1000", "include"],
                              scenario="activate-result 0x%08x\n%s" % (self.FAILURE, STREAM),
                              keep_stdin_open=True)
        self.assertEqual(b"activate failed: 0x%08x\r\n" % self.FAILURE, run.stderr)
        self.assertEqual(1, run.returncode)
        self.assertEqual(b"", run.stdout)

    def test_a_failing_stop_still_ends_with_status_0(self):
        run = self.runner.run(["1000", "include"],
                              scenario="fail Stop 0x%08x\n%s" % (self.FAILURE, STREAM),
                              close_stdin_after_bytes=len(STREAM_OUTPUT))
        self.assertCleanExit(run, 0)
        self.assertEqual(STREAM_OUTPUT, run.stdout)

    def test_success_codes_other_than_ok_are_success(self):
        calls = [name for name, _, _, _ in self.CALLS] + ["Stop"]
        for code in self.SUCCESSES:
            for call in calls:
                with self.subTest(call=call, code=hex(code)):
                    scenario = "fail %s 0x%08x 1\n%s" % (call, code, STREAM)
                    run = self.runner.run(["1000", "include"], scenario=scenario,
                                          close_stdin_after_bytes=len(STREAM_OUTPUT))
                    self.assertCleanExit(run, 0)
                    self.assertEqual(STREAM_OUTPUT, run.stdout)
                    self.assertEqual(1, len(run.calls("Stop")))
                    if (call, code) == ("GetBuffer", 0x08890001):
                        # Nothing was acquired; the tool gives back 0 frames.
                        empty = run.record.index("GetBuffer -> 0x08890001 frames=0 "
                                                 "flags=0x00000000 data=null position=null qpc=null")
                        self.assertEqual("ReleaseBuffer frames=0 -> 0x00000000",
                                         run.record[empty + 1])
        with self.subTest("activation result"):
            run = self.runner.run(["1000", "include"],
                                  scenario="activate-result 0x00000001\n" + STREAM,
                                  close_stdin_after_bytes=len(STREAM_OUTPUT))
            self.assertCleanExit(run, 0)
            self.assertEqual(STREAM_OUTPUT, run.stdout)


class BadInput(ToolTestCase):
    PENDING = "prefill data 480 2\n"
    OUTPUT = expected_output([("data", 480)] * 2)

    def test_odd_arguments_keep_the_contract(self):
        cases = [
            ["", ""],
            ["9" * 32000, "include"],
            ["1", "x" * 32000],
            ["\u0663\u0664", "\u00efnclude"],
            ["\u00e9t\u00e9", "\u4e2d\u6587"],
            ["*", "*"],
            ["?", "include*"],
            ["+", "-"],
            [" 12 ", "in clude"],
            ["1 2", " include"],
            ["-0", "INCLUDE"],
            ["1", "include"] + ["extra%d" % i for i in range(500)],
        ]
        for args in cases:
            with self.subTest(args=[a[:20] for a in args[:3]]):
                run = self.runner.run(args, scenario=self.PENDING)
                self.assertCleanExit(run, 0)
                self.assertEqual(self.OUTPUT, run.stdout)
                self.assertEqual(1, len(run.calls("ActivateAudioInterfaceAsync")))

    def test_one_argument_however_long_is_a_usage_error(self):
        run = self.runner.run(["7" * 32000], scenario=self.PENDING)
        self.assertEqual(USAGE, run.stderr)
        self.assertEqual(2, run.returncode)
        self.assertEqual(b"", run.stdout)

    def test_megabytes_of_arbitrary_input_are_discarded(self):
        noise = random.Random(7).randbytes(8 << 20).replace(b"\x1a", b"\x1b")
        run = self.runner.run(["1000", "include"], scenario=self.PENDING, input_bytes=noise)
        self.assertCleanExit(run, 0)
        self.assertEqual(self.OUTPUT, run.stdout)

    def test_arbitrary_input_with_control_z_stops_at_it(self):
        noise = random.Random(11).randbytes(1 << 20) + b"\x1a" + bytes(1000)
        run = self.runner.run(["1000", "include"], scenario=self.PENDING, input_bytes=noise,
                              keep_stdin_open=True)
        self.assertCleanExit(run, 0)
        self.assertEqual(self.OUTPUT, run.stdout)

    def test_stdout_closed_before_the_first_packet(self):
        process = self.runner.start(["1000", "include"],
                                    scenario="pacing realtime\ndata 480 50\n")
        process.stdout.close()
        wait_for_record(self.runner,
                        lambda record: any(line.startswith("ReleaseBuffer") for line in record))
        returncode, stderr = stop_by_closing_stdin(process)
        self.assertEqual(b"", stderr)
        self.assertEqual(0, returncode)
        record = self.runner.read_record()
        self.assertTrue(any(line.startswith("ReleaseBuffer") for line in record))
        self.assertEqual("ProcessExit live=0", record[-1])


class StreamChecker:
    """Compares a stream with the soak's pattern as it arrives, keeping only
    the current cycle in memory."""

    CYCLE_FRAMES = 960  # 480 data frames, then 480 silent ones

    def __init__(self):
        self.cycle = 0
        self.expected = b""
        self.offset = 0
        self.received = 0
        self.mismatch_at = None

    def feed(self, chunk):
        view = memoryview(chunk)
        while view and self.mismatch_at is None:
            if self.offset == len(self.expected):
                position = self.cycle * self.CYCLE_FRAMES
                self.expected = pattern_bytes(position, 480) + bytes(480 * 4)
                self.cycle += 1
                self.offset = 0
            take = min(len(view), len(self.expected) - self.offset)
            if view[:take] != self.expected[self.offset:self.offset + take]:
                self.mismatch_at = self.received
            self.offset += take
            self.received += take
            view = view[take:]


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


class Soak(ToolTestCase):
    SECONDS = int(os.environ.get("HARKWELL_SOAK_SECONDS", "60"))

    def test_long_capture_loses_nothing_and_keeps_its_memory(self):
        cycles = self.SECONDS * 50  # 20 ms of audio per cycle
        scenario = ("record-packets off\nbatch 4\nloop %d\n"
                    "data 480\nsilent 480\nnodata 480\ndata 0\nsilent 0\nend\n" % cycles)
        total = cycles * StreamChecker.CYCLE_FRAMES * 4
        process = self.runner.start(["1000", "include"], scenario=scenario)
        checker = StreamChecker()
        memory = {}
        done = threading.Event()

        def read():
            while True:
                chunk = process.stdout.read1(1 << 16)
                if not chunk:
                    break
                checker.feed(chunk)
                if "first" not in memory and checker.received >= 192000:
                    memory["first"] = resident_kib(process.pid)
                if checker.received >= total and "last" not in memory:
                    memory["last"] = resident_kib(process.pid)
                    done.set()
            done.set()

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        started = time.monotonic()
        finished = done.wait(max(TIMEOUT, self.SECONDS * 2))
        returncode, stderr = stop_by_closing_stdin(process)
        reader.join(5)
        elapsed = time.monotonic() - started
        self.assertTrue(finished, "only %d of %d bytes arrived" % (checker.received, total))
        self.assertIsNone(checker.mismatch_at, "stream differs at byte %s" % checker.mismatch_at)
        self.assertEqual(total, checker.received)
        self.assertEqual(0, returncode)
        self.assertEqual(b"", stderr)
        growth = memory["last"] - memory["first"]
        print("\nsoak: %d s of audio, %d bytes in %.1f s; resident %d KiB after 1 s, "
              "%d KiB at the end" % (self.SECONDS, total, elapsed, memory["first"],
                                     memory["last"]))
        self.assertLess(growth, 2048, "resident memory grew by %d KiB" % growth)


if __name__ == "__main__":
    unittest.main()
