"""What harkwell hears: a process tree (include) or everything else (exclude),
streams that start later, two captures at once, a known tone whole; and what
it leaves alone: the players' links to the sink and, once it ends, the graph."""

import os
import shlex
import signal
import time
import unittest
import wave

from harness import MAX_PERIOD, SANITIZED, ServerTestCase, play, play_forever, wait_until
from pcm import RATE, follow_source, gaps_between, source_faults, source_heard, write_noise

AMPLITUDE = 0.3
TREE_A_HZ = 500  # native players, one level down
TREE_B_HZ = 1100  # PulseAudio-protocol players
LATER_HZ = 1700  # starts during a capture
KNOWN_HZ = 997  # no buffer size holds a whole number of its cycles
QUIET_WAIT = 1.5  # seconds a capture that must hear nothing is given


class Capturing(ServerTestCase):
    """Two trees play all the time: A (native, nested) and B (paplay)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tree_a = cls.class_tree(now=[play_forever("native", cls.tone(TREE_A_HZ, 30))],
                                    nested=True)
        cls.tree_b = cls.class_tree(now=[play_forever("pulse", cls.tone(TREE_B_HZ, 30))])
        cls.tree_quiet = cls.class_tree(now=["sleep 600"])
        cls.tree_silence = cls.class_tree(now=[play_forever("native", cls.silence(30))])
        cls.wait_for_streams([cls.tree_a, cls.tree_b, cls.tree_silence], 3)

    def streams_of(self, *trees):
        return lambda graph: graph.nodes_of(
            [pid for tree in trees for pid in tree.pids()], "Stream/Output/Audio")

    def streams_except(self, tree):
        return lambda graph: set(graph.streams()) - set(self.streams_of(tree)(graph))

    def test_hears_the_chosen_tree_or_everything_else(self):
        a, b = self.tree_a, self.tree_b
        # (pid argument, mode argument, streams that feed it, tones heard)
        cases = [
            ((a.pid, "include"), self.streams_of(a), [TREE_A_HZ]),
            ((a.pid, "exclude"), self.streams_except(a), [TREE_B_HZ]),
            ((b.pid, "INCLUDE"), self.streams_of(b), [TREE_B_HZ]),
            ((b.pid, "Exclude"), self.streams_except(b), [TREE_A_HZ]),
            # Leading blanks and a sign, digits up to the first non-digit.
            (("  +%dxyz" % a.pid, "iNcLuDe"), self.streams_of(a), [TREE_A_HZ]),
            # Any mode word but include means exclude; extra arguments are ignored.
            ((a.pid, "includes"), self.streams_except(a), [TREE_B_HZ]),
            ((a.pid, "include", "exclude", "x"), self.streams_of(a), [TREE_A_HZ]),
            # Out-of-range numbers clamp to the 32-bit signed range: no such
            # process, where wrapping would give pid 1, the ancestor of all.
            (("4294967297", "include"), lambda graph: [], []),
            (("-4294967295", "include"), lambda graph: [], []),
            # A tree that plays nothing.
            ((self.tree_quiet.pid, "include"), lambda graph: [], []),
        ]
        for args, sources, heard in cases:
            with self.subTest(args=args):
                before = self.server.dump()
                capture = self.capture(*args)
                self.wait_for_tool(capture)
                during = self.assertFedBy(capture, sources)
                self.assertUndisturbed(before, during)
                if heard:
                    self.assertTrue(capture.wait_for_sound(1.0), "no sound arrived")
                else:
                    time.sleep(QUIET_WAIT)
                result = self.finish(capture)
                self.assertUndisturbed(before, self.server.dump())
                pcm = result.pcm()
                if not heard:
                    self.assertEqual(b"", result.stdout, "bytes written while nothing played")
                for hz in (TREE_A_HZ, TREE_B_HZ):
                    if hz in heard:
                        self.assertHears(pcm, hz, 0.5, AMPLITUDE)
                    else:
                        self.assertDoesNotHear(pcm, hz, AMPLITUDE)

    def test_writes_streams_that_play_silence(self):
        capture = self.capture(self.tree_silence.pid, "include")
        self.assertTrue(capture.wait_for_sound(0.5), "nothing written for a silent stream")
        pcm = self.finish(capture).pcm()
        self.assertIsNone(pcm.sound_span(), "sound in a capture of silence")

    def test_follows_players_that_start_during_the_capture(self):
        for kind, mode in (("native", "include"), ("pulse", "include"), ("pulse", "exclude")):
            with self.subTest(kind=kind, mode=mode):
                tree = self.player_tree(later=[play(kind, self.tone(LATER_HZ, 3))], nested=True)
                if mode == "include":
                    capture = self.capture(tree.pid, "include")
                    sources, others = self.streams_of(tree), []
                else:
                    capture = self.capture(self.tree_quiet.pid, "exclude")
                    sources, others = self.streams_except(self.tree_quiet), [TREE_A_HZ, TREE_B_HZ]
                self.wait_for_tool(capture)
                time.sleep(0.3)
                if mode == "include":
                    self.assertEqual(0, capture.byte_count(), "bytes before the tree played")
                before = self.server.dump()
                tree.trigger()
                self.wait_for_streams([tree], 1)
                during = self.assertFedBy(capture, sources)
                self.assertUndisturbed(before, during)
                # 2.5 s of the 3 s tone: what the tool writes may trail the
                # graph by up to its 32 queued buffers when it is slow
                # (sanitized), so one second of bytes can hold little of it.
                self.assertTrue(capture.wait_for_bytes(capture.byte_count() + 480000),
                                "nothing arrived after the new player started")
                pcm = self.finish(capture).pcm()
                self.assertHears(pcm, LATER_HZ, 0.5, AMPLITUDE)
                for hz in (TREE_A_HZ, TREE_B_HZ):
                    if hz in others:
                        self.assertHears(pcm, hz, 0.5, AMPLITUDE)
                    else:
                        self.assertDoesNotHear(pcm, hz, AMPLITUDE)

    def test_a_known_tone_arrives_whole(self):
        frames = 12 * 8192  # whole buffers, so pw-play drops no partial one
        cases = [("native", 48000, 2, frames),
                 ("pulse", 48000, 2, frames),
                 # Resampled from mono 44.1 kHz, heard on both channels.
                 ("pulse", 44100, 1, round(frames * 48000 / 44100))]
        for kind, rate, channels, expected in cases:
            with self.subTest(kind=kind, rate=rate, channels=channels):
                wav = self.tone(KNOWN_HZ, frames=frames, amplitude=AMPLITUDE, rate=rate,
                                channels=channels)
                tree = self.player_tree(later=[play(kind, wav)])
                capture = self.capture(tree.pid, "include")
                self.wait_for_tool(capture)
                tree.trigger()
                self.assertTrue(wait_until(tree.finished), "the player did not finish")
                self.wait_until_quiet(capture)
                pcm = self.finish(capture).pcm()
                span = pcm.sound_span()
                self.assertIsNotNone(span, "the tone was not heard")
                first, end = span
                print("%s %d Hz x%d: %d frames captured, sound from frame %d to %d (%d, tone %d)"
                      % (kind, rate, channels, pcm.frames, first, end, end - first, expected))
                # Resampling smears the edges by a few frames; a lost or
                # repeated buffer is hundreds.
                # On PipeWire 1.4.2, whose streams read what others played a
                # cycle behind, the capture may hold one period of silence
                # inside the tone, which then goes on whole after it (seen
                # in one run of the whole suite; in the churn test the
                # sink's monitor heard such a player whole). Each stretch
                # of sound is then checked on its own.
                runs, inserted = [span], 0
                sound = pcm.sound_runs()
                gaps = gaps_between(sound)
                if (self.server.versions()["pipewire"] >= (1, 0) and len(gaps) == 1
                        and gaps[0] <= MAX_PERIOD):
                    runs, inserted = sound, MAX_PERIOD
                    print("one silent period inside the tone, %d frames in" % (runs[0][1] - first))
                faults = []
                for run_first, run_end in runs:
                    # The two channels of a new stream may start a cycle apart.
                    check_from = max(first + 3 * MAX_PERIOD, run_first + 960)
                    if run_end - 960 - check_from >= 2 * 960:
                        faults += pcm.continuity_faults(KNOWN_HZ, AMPLITUDE, check_from,
                                                        run_end - 960)
                self.assertEqual([], faults[:10])
                # The tone starts at its peak: a stream linked too late loses
                # its head, and its first captured sample is elsewhere.
                delta = 4 if rate == RATE else 32
                missing = expected - (end - first) + inserted
                if SANITIZED and kind == "pulse" and abs(missing - MAX_PERIOD) <= delta:
                    # Sanitized, the tool answers the server's set-up of a
                    # new link slowly: a bridge stream's link, made within a
                    # few ms of its ports, may become active one cycle after
                    # the stream's first (in about half of the sanitized runs
                    # here, in none of the plain ones). Then exactly its first
                    # period is missing; the continuity check above holds.
                    missing -= MAX_PERIOD
                elif abs(missing - self.link_start_loss()) <= delta:
                    missing -= self.link_start_loss()
                self.assertAlmostEqual(0, missing, delta=delta,
                                       msg="%d frames missing; %s"
                                       % (missing, pcm.describe_edges(span)))
                self.assertDoesNotHear(pcm, TREE_A_HZ, AMPLITUDE)

    def test_writes_what_pipewire_gives_while_the_period_changes(self):
        # Buffers follow the graph's period: another tree's player that asks
        # for a short one makes them 8 times smaller, and they grow again
        # when it goes. The tool's output is compared, sample for sample,
        # with the noise the player plays: every frame of it in order, none
        # repeated, nothing else. Silence may come between (when the period
        # grows, the player itself has too little ready and plays a period of
        # silence). Frames may be missing only where the server gave them to
        # no recorder: pw-record, recording the same stream at the same
        # time, must lack them too. (pw-record cannot be compared with
        # directly: it keeps two buffers on its main loop, and on a busy
        # machine at a period of 256 it lost periods of its own in 4 of 16
        # runs.) Nor may frames be missing that the server did not give the
        # tool because its node was late for a cycle: on a busy machine
        # without real-time scheduling (4 busy loops on 2 cores here) the
        # tool's node missed a cycle of 256 frames in about 1 of 10 runs, as
        # pw-record's did, each at other times. PipeWire 0.3's profiler
        # tells which nodes had not finished a cycle when the next began;
        # from 1.0 on it does not (it shows most streams, which run a cycle
        # behind, unfinished in most cycles), so there none is excused.
        path = write_noise(os.path.join(self.work, "noise.wav"), 12 * RATE, AMPLITUDE)
        with wave.open(path, "rb") as wav:
            noise = wav.readframes(wav.getnframes())
        tree = self.player_tree(now=[play("native", path)])
        graph = self.wait_for_streams([tree], 1)
        stream = graph.nodes_of(tree.pids(), "Stream/Output/Audio")[0]
        capture = self.capture(tree.pid, "include")
        reference = self.reference_recording(graph.serial(graph.nodes, stream))
        for recorder in (capture, reference):
            self.assertTrue(recorder.wait_for_sound(0.5), "no sound arrived")
        node = self.server.dump().nodes_of([capture.pid], "Stream/Input/Audio")[0]
        with self.server.profiled() as cycles:
            before = self.server.period_frames(1.0)
            short = self.player_tree(now=["pw-play --latency 256 %s"
                                          % shlex.quote(self.tone(TREE_A_HZ, 30))])
            self.wait_for_streams([short], 1)
            during = self.server.period_frames(1.0)
            short.stop()
            after = self.server.period_frames(1.0)
            ours = follow_source(self.finish(capture).stdout, noise)
        os.kill(reference.pid, signal.SIGINT)
        theirs = follow_source(reference.wait_exit().stdout, noise)
        self.assertEqual((MAX_PERIOD, 256, MAX_PERIOD), (before, during, after),
                         "the period did not change as the players asked")
        late = 0
        if self.server.versions()["pipewire"] < (1, 0):
            late = sum(cycle.period_frames for cycle in cycles if cycle.late(node))
        for name, stretches in (("harkwell", ours), ("pw-record", theirs)):
            print("%s against the noise: %s; %s"
                  % (name, ", ".join("%s %d-%d" % stretch[:3] for stretch in stretches),
                     source_faults(stretches, noise) or "nothing lost"))
        print("frames of the cycles the tool's node was late for: %d" % late)
        self.assertEqual([], source_faults(ours, noise, reference=theirs, late_frames=late)[:10])
        # From before the short player came until after it went.
        heard = sum(end - first for first, end in source_heard(ours))
        self.assertGreaterEqual(heard, 3 * RATE)

    def test_two_captures_at_once(self):
        a, b = self.tree_a, self.tree_b
        runs = [(a, "include", self.streams_of(a), TREE_A_HZ, TREE_B_HZ),
                (b, "include", self.streams_of(b), TREE_B_HZ, TREE_A_HZ),
                (a, "exclude", self.streams_except(a), TREE_B_HZ, TREE_A_HZ)]
        before = self.server.dump()
        captures = [self.capture(tree.pid, mode) for tree, mode, _, _, _ in runs]
        for capture, (_, _, sources, _, _) in zip(captures, runs):
            self.wait_for_tool(capture)
            self.assertUndisturbed(before, self.assertFedBy(capture, sources))
        for capture in captures:
            self.assertTrue(capture.wait_for_sound(1.0), "no sound arrived")
        results = [self.finish(capture) for capture in captures]
        self.assertUndisturbed(before, self.server.dump())
        for result, (_, _, _, heard, other) in zip(results, runs):
            pcm = result.pcm()
            self.assertHears(pcm, heard, 0.5, AMPLITUDE)
            self.assertDoesNotHear(pcm, other, AMPLITUDE)


if __name__ == "__main__":
    unittest.main()
