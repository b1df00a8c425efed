"""Trees that play on two devices: a second sink that drives its own clock
at a period of 512 frames beside the default sink at 2048. What is heard in
each mode, and what the capture does to the devices' clock groups and
periods, as the README says: streams on one device leave the graph as it
was; streams on both merge the two groups into one, at the smaller period,
for as long as the capture lasts."""

import unittest

from desktop_graphs import play_to
from harness import MAX_PERIOD, ToolTestCase, wait_until
from private_server import SINK, PrivatePipeWire
from sink_layouts import SECOND_DEVICE, SECOND_DEVICE_QUANTUM, add_desktop_sinks, clock_groups

AMPLITUDE = 0.3
BOTH_FIRST_HZ = 500  # tree "both", on the default sink
BOTH_SECOND_HZ = 1300  # tree "both", on the second device
FIRST_HZ = 2000  # tree "first", on the default sink only
SECOND_HZ = 800  # tree "second", on the second device only
ALL_HZ = (BOTH_FIRST_HZ, BOTH_SECOND_HZ, FIRST_HZ, SECOND_HZ)
WATCH_SECONDS = 1.0  # how long the profiler is read for each look at the groups


class TwoDevices(ToolTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = add_desktop_sinks(PrivatePipeWire(), second_device=True).start()
        cls.addClassCleanup(cls.server.stop)
        tone = lambda hz: cls.tone(hz, 30)
        cls.trees = {
            "both": cls.class_tree(now=[play_to("native", tone(BOTH_FIRST_HZ), SINK),
                                        play_to("pulse", tone(BOTH_SECOND_HZ), SECOND_DEVICE)]),
            "first": cls.class_tree(now=[play_to("native", tone(FIRST_HZ), SINK)]),
            "second": cls.class_tree(now=[play_to("pulse", tone(SECOND_HZ), SECOND_DEVICE)]),
        }
        cls.wait_for_players()

    @classmethod
    def wait_for_players(cls):
        """Until each device has the streams meant for it: two each."""
        def playing():
            graph = cls.server.dump()
            sinks = [graph.node_named(SINK), graph.node_named(SECOND_DEVICE)]
            fed = [{ends[0] for ends in graph.links_between(graph.streams(), [sink])}
                   for sink in sinks]
            return [len(streams) for streams in fed] == [2, 2]
        if not wait_until(playing):
            raise AssertionError("the players never reached both devices")

    def assertSeparate(self, groups, when):
        """Each device drives its own group at its own period."""
        periods = {name: groups[name]["period"] for name in (SINK, SECOND_DEVICE)
                   if name in groups}
        self.assertEqual({SINK: MAX_PERIOD, SECOND_DEVICE: SECOND_DEVICE_QUANTUM}, periods,
                         "the devices' periods %s" % when)

    def assertMerged(self, groups, graph):
        """The default sink drives the second device, at the smaller period."""
        drivers = [name for name in (SINK, SECOND_DEVICE) if name in groups]
        self.assertEqual([SINK], drivers, "expected one group of both devices: %r" % groups)
        self.assertIn(graph.node_named(SECOND_DEVICE), groups[SINK]["followers"])
        self.assertEqual(SECOND_DEVICE_QUANTUM, groups[SINK]["period"])

    def streams_heard(self, tree, mode):
        def streams(graph):
            own = set(graph.nodes_of(self.trees[tree].pids(), "Stream/Output/Audio"))
            return own if mode == "include" else set(graph.streams()) - own
        return streams

    def test_a_capture_merges_the_groups_only_of_devices_it_takes_streams_from(self):
        # (tree, mode, tones heard, whether the capture takes streams from
        # both devices)
        cases = [
            ("both", "include", {BOTH_FIRST_HZ, BOTH_SECOND_HZ}, True),
            ("both", "exclude", {FIRST_HZ, SECOND_HZ}, True),
            ("first", "include", {FIRST_HZ}, False),
            ("second", "include", {SECOND_HZ}, False),
            ("first", "exclude", {BOTH_FIRST_HZ, BOTH_SECOND_HZ, SECOND_HZ}, True),
        ]
        for tree, mode, heard, merges in cases:
            with self.subTest(tree=tree, mode=mode):
                if merges and self.server.versions()["pipewire"] >= (1, 0):
                    # Measured on 1.4.2: when a recorder's links join two
                    # devices' running groups, its node is first scheduled
                    # by both drivers, and the default sink's driver cycles
                    # 3 to 5 times too fast, for 0.3 s to more than 5 s
                    # (longer with more streams), before the groups join at
                    # 512 frames as on 0.3.65. pw-record linked to both
                    # devices' streams by pw-link goes through the same, its
                    # links made one after the other (2 of 2 runs) or all at
                    # once (1 of 5); so did the tool with its links asked
                    # for one stream at a time, and with its node made
                    # active only once its links were set up. Not mended.
                    self.skipTest("two devices' streams in one capture: wrong on PipeWire 1.4")
                self.assertSeparate(clock_groups(self.server, WATCH_SECONDS), "before")
                capture = self.capture(self.trees[tree].pid, mode)
                self.wait_for_tool(capture)
                graph = self.assertFedBy(capture, self.streams_heard(tree, mode))
                self.assertTrue(capture.wait_for_sound(0.5), "no sound arrived")
                during = clock_groups(self.server, WATCH_SECONDS)
                pcm = self.finish(capture).pcm()
                if merges:
                    self.assertMerged(during, graph)
                else:
                    self.assertSeparate(during, "during a capture from one device")
                # The groups part again when the capture ends.
                self.assertSeparate(clock_groups(self.server, WATCH_SECONDS), "after")
                for hz in ALL_HZ:
                    if hz in heard:
                        self.assertHears(pcm, hz, 0.5, AMPLITUDE)
                    else:
                        self.assertDoesNotHear(pcm, hz, AMPLITUDE)


if __name__ == "__main__":
    unittest.main()
