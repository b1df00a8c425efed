"""A captured stream moved between sinks of different layouts, many times
in one run: by pactl move-sink-input (as a user's mixer does it), by the
removal of its sink (a device unplugged) and by changes of the default sink
that it follows. The stream never stalls or falls silent for anyone, the
capture goes on through every re-negotiation of the stream's ports, and
what it misses at each move is measured."""

import os
import signal
import subprocess
import time
import unittest
import wave

from harness import MAX_PERIOD, Capture, ToolTestCase, wait_until
from pcm import (RATE, Pcm, follow_source, one_channel_starts, source_faults, source_heard,
                 write_noise)
from private_server import CLIENT_TIMEOUT, SINK, PrivatePipeWire
from sink_layouts import add_desktop_sinks

SURROUND = "harkwell_sink_51"
MOVES = 24
REMOVALS = 6
DEFAULT_CHANGES = 12
SETTLE = 0.5  # seconds the stream plays on each sink before the next move
MOVE_TRIES = 8  # the session manager leaves some moves undone: ask again
MOVE_WAIT = 1.0  # seconds a move is given before it is asked for again
HEARD_WITHIN = 0.3  # seconds after a move within which its new sink must hear it
NOISE_SECONDS = 60


def source_skips(stretches):
    """Where a capture of noise jumps ahead in it: (capture frame, frames
    of the noise missing there)."""
    skips, expected = [], None
    for kind, first, end, source_first in stretches:
        if kind != "source":
            continue
        if expected is not None and source_first > expected:
            skips.append((first, source_first - expected))
        expected = source_first + (end - first)
    return skips


class MovesBetweenLayouts(ToolTestCase):
    """A server with a stereo sink (the default) and a 5.1 sink."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = add_desktop_sinks(PrivatePipeWire()).start()
        cls.addClassCleanup(cls.server.stop)

    def monitor(self, sink):
        """pw-record of a sink's monitor: what anyone listening to it hears."""
        recording = Capture(self.server.env, [], program=[
            "pw-record", "--target", sink, "-P", "{ stream.capture.sink = true }", "-"])
        self.addCleanup(recording.kill)
        return recording

    def stream_of(self, tree):
        """The tree's playback stream: (node id, serial, sinks it plays into)."""
        graph = self.server.dump()
        streams = graph.nodes_of(tree.pids(), "Stream/Output/Audio")
        if not streams:
            return None
        sinks = sorted({graph.props(graph.nodes[ends[2]]).get("node.name")
                        for ends in graph.links_touching(streams)
                        if ends[0] == streams[0] and ends[2] in graph.nodes
                        and graph.props(graph.nodes[ends[2]]).get("media.class") == "Audio/Sink"})
        return streams[0], graph.serial(graph.nodes, streams[0]), sinks

    def move(self, tree, serial, sink):
        """Moves the stream to `sink`, asking again while the session
        manager leaves the move undone; the number of asks."""
        for tries in range(1, MOVE_TRIES + 1):
            subprocess.run(["pactl", "move-sink-input", str(serial), sink], env=self.server.env,
                           capture_output=True, timeout=CLIENT_TIMEOUT)
            if wait_until(lambda: (self.stream_of(tree) or (0, 0, []))[2] == [sink], MOVE_WAIT,
                          interval=0.02):
                return tries
        self.fail("the stream was never moved to %s" % sink)

    def noise(self, channels):
        """A file of noise on the front channels (silence on the others of a
        5.1 stream, whose ports are all heard), and the noise as stereo PCM:
        the capture is then the noise itself on every layout, and every
        frame of it is accounted for."""
        reference = os.path.join(self.work, "noise-2.wav")
        if not os.path.exists(reference):
            write_noise(reference, NOISE_SECONDS * RATE, 0.3)
        path = reference
        if channels != 2:
            # sox writes the channel mask that tells players the layout.
            path = os.path.join(self.work, "noise-%d.wav" % channels)
            if not os.path.exists(path):
                subprocess.run(["sox", write_noise(path + ".raw.wav", NOISE_SECONDS * RATE, 0.3,
                                                   channels=channels), path],
                               check=True, timeout=CLIENT_TIMEOUT)
        with wave.open(reference, "rb") as wav:
            return path, wav.readframes(wav.getnframes())

    @staticmethod
    def heard_soon(recording, since):
        """Whether a monitor's recording holds sound within HEARD_WITHIN of
        its byte count `since`."""
        runs = Pcm(recording.stdout[since:]).sound_runs()
        return bool(runs) and runs[0][0] <= HEARD_WITHIN * RATE

    def plays_on(self, capture, monitor, change):
        """Once a change of sink was seen: lets the stream play SETTLE on
        its sink; the capture must go on, and whether the sink's listeners
        heard the stream soon after the change is returned."""
        changed_at = monitor.byte_count()
        time.sleep(SETTLE)
        self.assertFalse(capture.exited(), "harkwell ended at change %d; stderr %r"
                         % (change, bytes(capture.stderr)))
        return self.heard_soon(monitor, changed_at)

    @staticmethod
    def stop_monitors(monitors):
        for recording in monitors:
            os.kill(recording.pid, signal.SIGINT)
            recording.wait_exit()

    def judge(self, what, ours, noise, changes):
        """The capture is the noise, in order; what it misses, it misses at
        the changes only, less than a move's wait each time."""
        # After a move, the links to the stream's two new ports may become
        # active a cycle apart: for one period, one channel is the noise and
        # the other silent (measured on PipeWire 1.4.2, once in about ten
        # runs of 48 moves). That period is counted like a skip.
        stretches = one_channel_starts(ours.stdout, noise, follow_source(ours.stdout, noise),
                                       MAX_PERIOD)
        skips = source_skips(stretches)
        silences = [end - first for kind, first, end, _ in stretches if kind == "silence"]
        heard = sum(end - first for first, end in source_heard(stretches))
        print("%s: harkwell heard %.2f s of the noise, missed %d frames at %d places "
              "(longest %d), silences %s"
              % (what, heard / RATE, sum(n for _, n in skips), len(skips),
                 max((n for _, n in skips), default=0), silences))
        self.assertEqual([], [fault for fault in source_faults(stretches, noise)
                              if "missing" not in fault][:10])
        self.assertLessEqual(len(skips), changes)
        self.assertLess(max((n for _, n in skips), default=0), 0.5 * RATE)
        return heard

    def test_a_stream_moved_between_stereo_and_surround_sinks_goes_on_playing(self):
        for channels in (2, 6):
            with self.subTest(stream="%d channels" % channels):
                self.moves(channels)

    def moves(self, channels):
        path, noise = self.noise(channels)
        monitors = {sink: self.monitor(sink) for sink in (SINK, SURROUND)}
        tree = self.player_tree(later=["paplay --device=%s %s" % (SINK, path)])
        tree.wait_paused()
        capture = self.capture(tree.pid, "include")
        self.wait_for_tool(capture)
        tree.trigger()
        stream = wait_until(lambda: (self.stream_of(tree) or (0, 0, []))[2] == [SINK]
                            and self.stream_of(tree))
        self.assertTrue(stream, "the stream never played into %s" % SINK)
        _, serial, _ = stream
        self.assertTrue(capture.wait_for_sound(0.5), "no sound arrived")
        asks, silent_after = 0, []
        for number in range(MOVES):
            sink = (SURROUND, SINK)[number % 2]
            asks += self.move(tree, serial, sink)
            if not self.plays_on(capture, monitors[sink], number):
                silent_after.append(number)
        ours = self.finish(capture)
        self.stop_monitors(monitors.values())
        self.assertEqual([], silent_after, "the stream was not heard on its sink after these "
                         "moves: it stalled")
        heard = self.judge("%d-channel stream, %d moves (%d asks)" % (channels, MOVES, asks),
                           ours, noise, asks)
        self.assertGreater(heard, 0.8 * MOVES * SETTLE * RATE)

    def test_a_stream_whose_sink_goes_away_plays_on_where_it_is_moved(self):
        # A 5.1 sink that goes away (a device unplugged): the session
        # manager moves its stream to the stereo default sink.
        path, noise = self.noise(6)
        monitor = self.monitor(SINK)
        for number in range(REMOVALS):
            with self.subTest(removal=number):
                module = subprocess.run(
                    ["pactl", "load-module", "module-null-sink", "sink_name=harkwell_unplugged",
                     "channels=6", "channel_map=surround-51"], env=self.server.env,
                    capture_output=True, text=True, check=True, timeout=CLIENT_TIMEOUT)
                unloaded = [False]

                def unload():
                    if not unloaded[0]:
                        unloaded[0] = True
                        subprocess.run(["pactl", "unload-module", module.stdout.strip()],
                                       env=self.server.env, capture_output=True,
                                       timeout=CLIENT_TIMEOUT)
                self.addCleanup(unload)
                tree = self.player_tree(later=["paplay --device=harkwell_unplugged %s" % path])
                tree.wait_paused()
                capture = self.capture(tree.pid, "include")
                self.wait_for_tool(capture)
                tree.trigger()
                self.assertTrue(capture.wait_for_sound(SETTLE), "no sound arrived")
                unload()
                self.assertTrue(self.plays_on(capture, monitor, number),
                                "the stream was not heard on the default sink: it stalled")
                self.judge("sink removed", self.finish(capture), noise, 1)
                tree.stop()
        self.stop_monitors([monitor])

    def test_a_stream_that_follows_the_default_sink_goes_on_playing(self):
        # A stream with no sink of its own follows the default one, which
        # the user switches between stereo and 5.1.
        path, noise = self.noise(6)
        monitors = {sink: self.monitor(sink) for sink in (SINK, SURROUND)}
        self.addCleanup(subprocess.run, ["pactl", "set-default-sink", SINK], env=self.server.env,
                        capture_output=True, timeout=CLIENT_TIMEOUT)
        subprocess.run(["pactl", "set-default-sink", SURROUND], env=self.server.env, check=True,
                       capture_output=True, timeout=CLIENT_TIMEOUT)
        tree = self.player_tree(later=["paplay %s" % path])
        tree.wait_paused()
        capture = self.capture(tree.pid, "include")
        self.wait_for_tool(capture)
        tree.trigger()
        self.assertTrue(wait_until(lambda: (self.stream_of(tree) or (0, 0, []))[2] == [SURROUND]),
                        "the stream never played into %s" % SURROUND)
        silent_after = []
        for number in range(DEFAULT_CHANGES):
            sink = (SINK, SURROUND)[number % 2]
            subprocess.run(["pactl", "set-default-sink", sink], env=self.server.env, check=True,
                           capture_output=True, timeout=CLIENT_TIMEOUT)
            self.assertTrue(wait_until(lambda: (self.stream_of(tree) or (0, 0, []))[2] == [sink],
                                       MOVE_WAIT, interval=0.02),
                            "the stream did not follow the default sink to %s" % sink)
            if not self.plays_on(capture, monitors[sink], number):
                silent_after.append(number)
        ours = self.finish(capture)
        self.stop_monitors(monitors.values())
        self.assertEqual([], silent_after, "the stream stalled after these changes")
        self.judge("default sink changed %d times" % DEFAULT_CHANGES, ours, noise,
                   DEFAULT_CHANGES)


if __name__ == "__main__":
    unittest.main()
