"""A reader of stdout that pauses: what it loses, and what it never loses.

The simulated engine buffer holds what the tool asks for (200 ms); the pipe
to the reader holds some more. A pause shorter than both together costs
nothing; a longer one costs whole packets, and the stream goes on after the
gap as before: the tool neither hides nor repairs it.
"""

import unittest

from harness import PACKET_BYTES, PACKET_FRAMES, ToolTestCase, run_with_stalled_reader

STALL_AFTER = 30 * PACKET_BYTES  # 0.3 s into the stream


class SlowReader(ToolTestCase):
    def check_whole_packets(self, stalled, packets):
        run = stalled.run
        self.assertEqual(b"", run.stderr, run.stderr)
        self.assertEqual(0, run.returncode)
        self.assertEqual("ProcessExit live=0", run.record[-1])
        self.assertEqual(0, len(run.stdout) % PACKET_BYTES, "a partial packet reached stdout")
        positions = stalled.positions()
        self.assertNotIn(None, positions, "a packet on stdout is not one whole packet")
        self.assertEqual(sorted(set(positions)), positions, "packets out of order or repeated")
        gaps = [(before, after) for before, after in zip(positions, positions[1:])
                if after != before + PACKET_FRAMES]
        # The first and the last packet always arrive: the gaps hold all that
        # was lost, and that is what the stack dropped.
        self.assertEqual([0, (packets - 1) * PACKET_FRAMES], [positions[0], positions[-1]])
        lost = packets - len(positions)
        self.assertEqual(lost, sum((after - before) // PACKET_FRAMES - 1 for before, after in gaps))
        self.assertEqual(stalled.dropped_packets(), lost)
        return gaps

    def test_a_pause_within_buffer_and_pipe_loses_nothing(self):
        packets = 150
        stalled = run_with_stalled_reader(self.runner, packets, STALL_AFTER, 0.3)
        gaps = self.check_whole_packets(stalled, packets)
        self.assertEqual([], gaps)
        self.assertEqual(packets, len(stalled.positions()))
        self.assertEqual([], stalled.run.calls("Overflow"))
        self.assertEqual([], stalled.flagged_packets())
        # Only the first packet after Start carries the flag, as on the
        # platform; the tool writes it like any other.
        first = next(line for line in stalled.run.record if line.startswith("GetBuffer -> "))
        self.assertIn(" flags=0x00000001 ", first)

    def test_a_longer_pause_loses_whole_packets_and_the_stream_goes_on(self):
        packets = 250
        stalled = run_with_stalled_reader(self.runner, packets, STALL_AFTER, 1.5)
        gaps = self.check_whole_packets(stalled, packets)
        self.assertGreaterEqual(len(gaps), 1, "nothing was lost")
        # About a second of the 1.5 s pause is lost; the engine buffer and
        # the pipe carry the rest.
        lost = packets - len(stalled.positions())
        self.assertGreater(lost, 50)
        self.assertLess(lost, 150)
        # Every gap follows a packet handed out with the discontinuity flag,
        # which the tool writes like any other: whole, at its own position.
        self.assertEqual(len(gaps), len(stalled.flagged_packets()), stalled.run.record)


if __name__ == "__main__":
    unittest.main()
