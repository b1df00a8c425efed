"""Captures on desktop graphs: surround and mono sinks, a surround stream,
players whose launcher exits, moves between sinks of different layouts, and
a stop while nobody reads the output."""

import math
import os
import signal
import subprocess
import time
import unittest

from sink_layouts import add_desktop_sinks
from harness import STOP_TIMEOUT, Capture, ToolTestCase, wait_until
from pcm import RATE, Pcm, follow_source, source_faults, source_heard, write_noise
from private_server import SINK, PrivatePipeWire
from process_groups import end_group, spawn

SURROUND_TONES = (300, 500, 700, 900, 1100, 1300)  # one per channel of a 5.1 stream


def db(ratio):
    return 20 * math.log10(ratio) if ratio > 0 else float("-inf")


def peak(pcm):
    return max((abs(sample) for channel in pcm.channels for sample in channel),
               default=0) / 32768


def clipped(pcm):
    return sum(1 for channel in pcm.channels for sample in channel if abs(sample) >= 32767)


class DesktopCapture(ToolTestCase):
    """One server with stereo, 5.1, 7.1 and mono sinks for the class."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = add_desktop_sinks(PrivatePipeWire()).start()
        cls.addClassCleanup(cls.server.stop)

    def sox(self, name, *effects, channels=2):
        path = os.path.join(self.work, name)
        if not os.path.exists(path):
            subprocess.run(["sox", "-n", "-r", str(RATE), "-c", str(channels), "-b", "16", path,
                            "synth"] + list(effects), check=True, timeout=30)
        return path

    def capture_of(self, sink, wav, mode="include"):
        """Plays wav on sink from a tree of its own (after the tool is in the
        graph) and captures that tree; the PCM of the whole capture."""
        tree = self.player_tree(later=["paplay --device=%s %s" % (sink, wav)])
        tree.wait_paused()
        capture = self.capture(tree.pid, mode)
        self.wait_for_tool(capture)
        tree.trigger()
        self.assertTrue(wait_until(tree.finished, 30), "the player did not finish")
        time.sleep(0.3)
        return self.finish(capture).pcm()

    def test_a_stereo_stream_is_heard_at_its_level_on_every_layout(self):
        # The stream's own converter spreads a stereo stream onto every port
        # of a surround sink (its centre and rear ones carry copies): only
        # the ports of its own channels are heard, at the level of a stereo
        # sink and with no more clipping. (A mono sink: see below.)
        levels = {}
        for amplitude in (0.3, 0.8):
            wav = self.sox("stereo-%g.wav" % amplitude, "2", "sine", "440", "vol", str(amplitude))
            for sink in (SINK, "harkwell_sink_51", "harkwell_sink_71"):
                with self.subTest(amplitude=amplitude, sink=sink):
                    pcm = self.capture_of(sink, wav)
                    levels[sink] = (pcm.peak_level(440), clipped(pcm))
                    print("%s at %g: level %.4f, %d clipped samples"
                          % (sink, amplitude, levels[sink][0], levels[sink][1]))
                    stereo_level, stereo_clipped = levels[SINK]
                    self.assertLess(abs(db(levels[sink][0] / stereo_level)), 0.5)
                    self.assertLessEqual(levels[sink][1], stereo_clipped)

    def test_every_channel_of_a_surround_stream_is_heard_as_on_a_stereo_sink(self):
        # On a 5.1 sink each channel has its port; on a 7.1 sink the side
        # ports carry copies of the rear ones and are not heard (they would
        # double the rears); on a stereo sink the stream downmixes itself.
        wav = self.sox("surround.wav", "2", *[arg for hz in SURROUND_TONES
                                               for arg in ("sine", str(hz))], "vol", "0.2",
                       channels=6)
        sinks = (SINK, "harkwell_sink_51", "harkwell_sink_71")
        on = {sink: self.capture_of(sink, wav) for sink in sinks}
        for hz in SURROUND_TONES:
            with self.subTest(hz=hz):
                stereo, *surround = (on[sink].peak_level(hz) for sink in sinks)
                print("%d Hz: stereo sink %.4f, 5.1 sink %.4f, 7.1 sink %.4f"
                      % (hz, stereo, *surround))
                for level in surround:
                    self.assertGreater(level, 0.02, "a channel was lost")
                    self.assertLess(abs(db(level / stereo)), 0.5)

    def test_a_stream_on_a_mono_sink_is_heard_as_pw_record_records_the_sink(self):
        # The stream mixes itself down to the sink's one channel; Harkwell
        # hears that on both sides, sample for sample what PipeWire's own
        # recorder records of the sink (its monitor, which pw-record is
        # linked to when told that its target is a sink).
        sink = "harkwell_sink_mono"
        path = write_noise(os.path.join(self.work, "noise-3s.wav"), 3 * RATE, 0.3)
        tree = self.player_tree(later=["paplay --device=%s %s" % (sink, path)])
        tree.wait_paused()
        capture = self.capture(tree.pid, "include")
        self.wait_for_tool(capture)
        recording = Capture(self.server.env, [], program=[
            "pw-record", "--target", sink, "-P", "{ stream.capture.sink = true }", "-"])
        self.addCleanup(recording.kill)
        self.assertTrue(recording.wait_for_bytes(RATE), "pw-record recorded nothing")
        tree.trigger()
        self.assertTrue(wait_until(tree.finished, 30), "the player did not finish")
        time.sleep(0.3)
        ours = self.finish(capture).stdout
        os.kill(recording.pid, signal.SIGINT)
        theirs = recording.wait_exit().stdout
        print("mono sink: peaks harkwell %.4f, pw-record %.4f (noise up to 0.3 on both sides)"
              % (peak(Pcm(ours)), peak(Pcm(theirs))))
        stretches = follow_source(ours, theirs)
        self.assertEqual([], source_faults(stretches, theirs)[:10])
        heard = sum(end - first for first, end in source_heard(stretches))
        self.assertGreaterEqual(heard, int(2.5 * RATE), "pw-record's recording is not in ours")
        left, right = Pcm(ours).channels
        self.assertEqual(left, right, "the sink's one channel is not on both sides")


class ParentsThatExit(ToolTestCase):
    """A player whose launcher exits stays in the tree once it was seen."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = PrivatePipeWire().start()
        cls.addClassCleanup(cls.server.stop)

    # How each player loses its parent. The middle process lives 0.3 s, so a
    # capture that looks at the process table every 50 ms sees it. (`setsid
    # -f` orphans its child at once, like an immediate double fork: such a
    # player is seen only if a look falls in the millisecond before; the
    # README says so.)
    LAUNCHES = {
        "launcher exits": "sh -c '(sleep 0.6; exec %(play)s) & sleep 0.3'",
        "nohup": "sh -c 'nohup sh -c \"sleep 0.6; exec %(play)s\" >/dev/null 2>&1 & sleep 0.3'",
        "double fork": "sh -c '( (sleep 0.6; exec %(play)s) & sleep 0.3 ) & wait'",
    }

    def test_orphaned_players_are_heard_in_include_and_absent_in_exclude(self):
        wav = self.tone(660, 1.5)
        for name, launch in self.LAUNCHES.items():
            for mode in ("include", "exclude"):
                with self.subTest(launch=name, mode=mode):
                    command = launch % {"play": "paplay " + wav}
                    tree = self.player_tree(later=[command, "sleep 30"])
                    tree.wait_paused()
                    capture = self.capture(tree.pid, mode)
                    self.wait_for_tool(capture)
                    tree.trigger()
                    time.sleep(2.6)
                    pcm = self.finish(capture).pcm()
                    if mode == "include":
                        self.assertHears(pcm, 660, 1.0, 0.3)
                    else:
                        self.assertDoesNotHear(pcm, 660, 0.3)


class StopWhileNobodyReads(ToolTestCase):
    """A caller stops reading, then closes stdin and waits: the tool ends."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = PrivatePipeWire().start()
        cls.addClassCleanup(cls.server.stop)

    def test_closing_stdin_ends_a_capture_blocked_on_its_output(self):
        tree = self.player_tree(now=["while :; do pw-play %s; done" % self.tone(500, 10)])
        # (what holds stdin) — a pipe the caller closes, and /dev/zero, which
        # never ends and must not keep a core busy.
        tool = os.environ["HARKWELL_LINUX_BIN"]
        process = spawn([tool, str(tree.pid), "include"], self.server.env,
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(end_group, process)
        time.sleep(2.0)  # far more than the 64 KiB pipe takes: the tool waits on it
        self.assertIsNone(process.poll())
        closed = time.monotonic()
        process.stdin.close()
        status = process.wait(timeout=STOP_TIMEOUT)
        print("stopped %.1f ms after stdin closed" % (1000 * (time.monotonic() - closed)))
        self.assertEqual(status, 0)

    def test_an_endless_stdin_costs_no_core(self):
        tree = self.player_tree(now=["sleep 30"])
        tool = os.environ["HARKWELL_LINUX_BIN"]
        with open("/dev/zero", "rb") as zero:
            process = spawn([tool, str(tree.pid), "include"], self.server.env, stdin=zero,
                            stdout=subprocess.DEVNULL)
        self.addCleanup(end_group, process)
        time.sleep(0.5)
        before = os.times()
        with open("/proc/%d/stat" % process.pid) as f:
            start = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
        time.sleep(2.0)
        with open("/proc/%d/stat" % process.pid) as f:
            end = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
        ticks = end - start
        print("/dev/zero on stdin: %d CPU ticks in 2 s" % ticks)
        self.assertIsNone(process.poll(), "the tool stopped although its input never ended")
        # A core spinning would be about 200 ticks (at 100 per second).
        self.assertLess(ticks, 20)


if __name__ == "__main__":
    unittest.main()
