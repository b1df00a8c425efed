"""Captured audio on stdout, and how a run ends."""

import os
import unittest

from harness import ToolTestCase, expected_output, stop_by_closing_stdin, wait_for_record

MIXED = [
    ("data 480", [("data", 480)]),
    ("silent 960", [("silent", 960)]),
    ("silent 100", [("silent", 100)]),
    ("nodata 480", []),
    ("data 0", []),
    ("data 7 flags=0x1", [("data", 7)]),
    ("silent 0", []),
    ("nodata 64 flags=0x4", []),
    ("data 480 flags=0x4", [("data", 480)]),
    ("silent 480 3", [("silent", 480)] * 3),
    ("data 441 2", [("data", 441)] * 2),
]


def scenario_of(lines, head=""):
    return head + "".join(line + "\n" for line in lines)


class Output(ToolTestCase):
    def check_packets(self, head, lines, packets, **run_args):
        expected = expected_output(packets)
        run = self.runner.run(["1000", "include"], scenario=scenario_of(lines, head),
                              close_stdin_after_bytes=len(expected), **run_args)
        self.assertCleanExit(run, 0)
        self.assertEqual(len(expected), len(run.stdout))
        self.assertTrue(expected == run.stdout, "stdout differs from the packets delivered")
        self.assertEqual(1, len(run.calls("Stop")))
        return run

    def test_stdout_is_exactly_the_packets(self):
        lines = [line for line, _ in MIXED]
        packets = [p for _, expansion in MIXED for p in expansion]
        cases = [
            ("one packet per wake", ""),
            ("many packets per wake", "batch 5\n"),
            ("real time", "pacing realtime\n"),
        ]
        for name, head in cases:
            with self.subTest(name):
                self.check_packets(head, lines, packets)

    def test_each_packet_is_released_whole_before_the_next_is_asked_for(self):
        lines = [line for line, _ in MIXED]
        packets = [p for _, expansion in MIXED for p in expansion]
        run = self.check_packets("batch 3\n", lines, packets)
        packet_calls = [line for line in run.record
                        if line.startswith(("GetBuffer", "ReleaseBuffer", "GetNextPacketSize"))]
        self.assertTrue(packet_calls)
        for i, line in enumerate(packet_calls):
            if line.startswith("GetBuffer"):
                self.assertIn("position=null qpc=null", line)
                frames = line.split("frames=")[1].split(" ")[0]
                self.assertEqual("ReleaseBuffer frames=%s -> 0x00000000" % frames,
                                 packet_calls[i + 1])
                self.assertTrue(packet_calls[i + 2].startswith("GetNextPacketSize"))

    def test_a_simulated_minute_stays_exact(self):
        lines = ["loop 2400", "data 480", "silent 480", "nodata 480", "data 240", "end"]
        packets = [("data", 480), ("silent", 480), ("data", 240)] * 2400
        self.check_packets("record-packets off\nbatch 8\n", lines, packets)


class Stop(ToolTestCase):
    PENDING = "prefill data 480 3\nprefill silent 240\n"
    PENDING_OUTPUT = expected_output([("data", 480)] * 3 + [("silent", 240)])

    def test_input_that_ends_at_once_stops_after_the_pending_packets(self):
        for stdin in ("devnull", "closed"):
            with self.subTest(stdin=stdin):
                run = self.runner.run(["1000", "include"], scenario=self.PENDING, stdin=stdin)
                self.assertCleanExit(run, 0)
                self.assertEqual(self.PENDING_OUTPUT, run.stdout)
                self.assertEqual(1, len(run.calls("Stop")))

    def test_an_empty_file_on_stdin_stops_at_once(self):
        path = os.path.join(self.runner.work, "empty")
        open(path, "wb").close()
        run = self.runner.run(["1000", "include"], scenario=self.PENDING, stdin=path)
        self.assertCleanExit(run, 0)
        self.assertEqual(self.PENDING_OUTPUT, run.stdout)

    def test_control_z_in_piped_input_stops_while_the_pipe_stays_open(self):
        run = self.runner.run(["1000", "include"], scenario=self.PENDING,
                              input_bytes=b"some input\r\n\x1amore", keep_stdin_open=True)
        self.assertCleanExit(run, 0)
        self.assertEqual(self.PENDING_OUTPUT, run.stdout)

    def test_other_input_is_discarded_and_capture_goes_on(self):
        scenario = "data 480 3\npause 300\ndata 480 3\n"
        expected = expected_output([("data", 480)] * 6)
        run = self.runner.run(["1000", "include"], scenario=scenario,
                              input_bytes=bytes(range(256)).replace(b"\x1a", b"") * 4096,
                              close_stdin_after_bytes=len(expected))
        self.assertCleanExit(run, 0)
        self.assertEqual(expected, run.stdout)


class Failures(ToolTestCase):
    def test_audio_stack_failure_mid_stream_ends_with_status_1_and_no_message(self):
        # The first two packets are pending together, so the count of
        # GetNextPacketSize calls up to the third is fixed.
        lines = "prefill data 480\nprefill data 240\nbatch 2\ndata 480 2\n"
        cases = [
            ("GetNextPacketSize", 1, 0),
            ("GetNextPacketSize", 3, 2),
            ("GetBuffer", 2, 1),
            ("GetBuffer", 4, 3),
            ("ReleaseBuffer", 3, 3),
        ]
        chunks = [("data", 480), ("data", 240), ("data", 480), ("data", 480)]
        for call, nth, packets_out in cases:
            with self.subTest(call=call, nth=nth):
                scenario = "fail %s 0x88890004 %d\n%s" % (call, nth, lines)
                # stdin stays open: the tool must end by itself.
                run = self.runner.run(["1000", "include"], scenario=scenario,
                                      keep_stdin_open=True)
                self.assertCleanExit(run, 1)
                self.assertEqual(expected_output(chunks[:packets_out]), run.stdout)
                self.assertEqual([], run.calls("Stop"))
                failed = [i for i, line in enumerate(run.record)
                          if line.startswith(call) and "-> 0x88890004" in line]
                self.assertEqual(1, len(failed))
                after = [line for line in run.record[failed[0] + 1:]
                         if line.startswith(("GetBuffer", "ReleaseBuffer", "GetNextPacketSize"))]
                self.assertEqual([], after)


class ReaderGoesAway(ToolTestCase):
    @staticmethod
    def released(record):
        return sum(1 for line in record if line.startswith("ReleaseBuffer"))

    def test_capture_survives_a_closed_stdout_and_still_stops_on_end_of_input(self):
        process = self.runner.start(["1000", "include"],
                                    scenario="pacing realtime\ndata 480 100\n")
        process.stdout.close()
        # Packets go on being captured (and lost) with nobody reading.
        wait_for_record(self.runner, lambda record: self.released(record) >= 10)
        still_running = process.poll() is None
        returncode, stderr = stop_by_closing_stdin(process)
        record = self.runner.read_record()
        self.assertTrue(still_running, "the tool ended while stdin was open")
        self.assertEqual(0, returncode)
        self.assertEqual(b"", stderr)
        self.assertGreaterEqual(self.released(record), 10)
        self.assertEqual(1, len([line for line in record if line.startswith("Stop")]))
        self.assertEqual("ProcessExit live=0", record[-1])


if __name__ == "__main__":
    unittest.main()
