"""Graphs of real desktops: virtual sinks, a loopback from a source,
sandboxed players (unshare, bwrap, a Flatpak-marked bwrap) and JACK players.
Sound is captured once, at the stream of the process that played it; each
tree is heard in include mode and left out in exclude mode; harkwell-list
lists the same host processes the tool decides."""

import json
import os
import shutil
import unittest

from desktop_graphs import (flatpak_info_text, in_bwrap, in_unshare, jack_player, jack_tone_player,
                            loopback_from, play_to, virtual_sink, virtual_source)
from harness import ServerTestCase, play_forever, wait_until
from private_server import SINK
from test_lister import run_lister

AMPLITUDE = 0.3
QUIET_WAIT = 1.5  # seconds a capture that must hear nothing is given
STREAM = "Stream/Output/Audio"
JACK_TONE_PLAYER = os.environ.get("HARKWELL_JACK_TONE_PLAYER", "")


def innermost_pid(pid):
    """The pid a process has in its own (innermost) pid namespace, and
    whether that namespace is nested."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("NSpid:"):
                    pids = [int(p) for p in line.split()[1:]]
                    return pids[-1], len(pids) > 1
    except OSError:
        pass
    return None, False


def streams_played_by(graph, pids):
    """Playback streams (and JACK nodes) whose player is one of these host
    pids: by the client's socket, or by a sandboxed player's own pid."""
    pids = set(pids)
    inner = {innermost_pid(pid)[0] for pid in pids if innermost_pid(pid)[1]}
    found = set()
    for node_id, node in graph.nodes.items():
        props = graph.props(node)
        client_id = props.get("client.id")
        socket_pid = graph.client_pid(int(client_id)) if client_id is not None else None
        claimed = props.get("application.process.id")
        if props.get("media.class") == STREAM or props.get("client.api") == "jack":
            bridged = props.get("client.api") == "pipewire-pulse" and claimed is not None
            if socket_pid in pids or (bridged and int(claimed) in pids | inner):
                found.add(node_id)
    return found


class DesktopCase(ServerTestCase):
    def run_cases(self, cases):
        """cases: (tree, mode, streams that feed the capture, tones heard,
        tones not heard)."""
        for tree, mode, sources, heard, unheard in cases:
            with self.subTest(tree=tree.pid, mode=mode, heard=heard):
                capture = self.capture(tree.pid, mode)
                self.wait_for_tool(capture)
                self.assertFedBy(capture, sources)
                if heard:
                    self.assertTrue(capture.wait_for_sound(1.0), "no sound arrived")
                else:
                    wait_until(lambda: False, QUIET_WAIT)
                pcm = self.finish(capture).pcm()
                for hz in heard:
                    self.assertHears(pcm, hz, 0.5, AMPLITUDE)
                    # Once, at its level: not twice through a re-player.
                    self.assertLess(pcm.peak_level(hz), 1.2 * AMPLITUDE,
                                    "%g Hz heard more than once" % hz)
                for hz in unheard:
                    self.assertDoesNotHear(pcm, hz, AMPLITUDE)

    def wait_for_graph(self, predicate, what):
        graph = wait_until(lambda: (lambda g: g if predicate(g) else None)(self.server.dump()),
                           interval=0.05)
        if graph is None:
            self.fail("the graph never showed " + what)
        return graph

    def listed_pids(self):
        result = run_lister(self.server.env, "--json")
        self.assertEqual(0, result.returncode, result.stderr)
        return {json.loads(line)["pid"] for line in result.stdout.splitlines()}


class VirtualSink(DesktopCase):
    """Tree A plays into a virtual sink (a loopback, tree V), tree B to the
    default sink."""

    A_HZ, B_HZ = 700, 1300

    def test_a_virtual_sink_is_captured_once_at_the_players_stream(self):
        virtual = self.player_tree(now=[virtual_sink("harkwell_virtual")])
        self.wait_for_graph(lambda g: g.node_named("harkwell_virtual"), "the virtual sink")
        a = self.player_tree(now=[play_to("pulse", self.tone(self.A_HZ, 30), "harkwell_virtual")])
        b = self.player_tree(now=[play_forever("native", self.tone(self.B_HZ, 30))])
        self.wait_for_graph(lambda g: streams_played_by(g, a.pids())
                            and streams_played_by(g, b.pids()), "both players")
        replayer = lambda g: streams_played_by(g, virtual.pids())
        of = lambda *trees: lambda g: set().union(*(streams_played_by(g, t.pids()) for t in trees))
        self.run_cases([
            (a, "include", of(a), [self.A_HZ], [self.B_HZ]),
            (a, "exclude", of(b), [self.B_HZ], [self.A_HZ]),
            (b, "exclude", of(a), [self.A_HZ], [self.B_HZ]),
            # The loopback's own stream only re-plays A: in neither mode.
            (virtual, "include", lambda g: set(), [], [self.A_HZ, self.B_HZ]),
            (virtual, "exclude", of(a, b), [self.A_HZ, self.B_HZ], []),
        ])
        graph = self.server.dump()
        self.assertTrue(replayer(graph), "the virtual sink has no playback stream")
        listed = self.listed_pids()
        self.assertIn(a.pids()[-1], listed)
        self.assertNotIn(virtual.pids()[-1], listed, "the virtual sink's process is listed")


class LoopbackFromSource(DesktopCase):
    """A virtual microphone carries tree M's tone; tree L loops it back to
    the default sink: L's stream is L's own sound."""

    M_HZ = 900

    def test_a_loopback_from_a_source_is_its_owners_sound(self):
        self.player_tree(now=[virtual_source("harkwell_mic")])
        self.wait_for_graph(lambda g: g.node_named("harkwell_mic_in"), "the virtual microphone")
        self.player_tree(now=[play_to("native", self.tone(self.M_HZ, 30), "harkwell_mic_in")])
        loop = self.player_tree(now=[loopback_from("harkwell_mic", "harkwell_micloop")])
        self.wait_for_graph(lambda g: g.node_named("harkwell_micloop_out"), "the loopback")
        own = lambda g: {g.node_named("harkwell_micloop_out")}
        self.run_cases([(loop, "include", own, [self.M_HZ], [])])
        self.assertIn(loop.pids()[-1], self.listed_pids())


class Sandboxes(DesktopCase):
    """PulseAudio and native players in pid namespaces of their own."""

    def test_sandboxed_players_are_heard_by_their_host_pids(self):
        info = os.path.join(self.work, "flatpak-info")
        with open(info, "w") as f:
            f.write(flatpak_info_text())
        pulse = lambda hz: "while :; do paplay %s; done" % self.tone(hz, 30)
        native = lambda hz: "while :; do pw-play %s; done" % self.tone(hz, 30)
        sandboxes = [("unshare, PulseAudio", in_unshare(pulse(600)), 600),
                     ("bwrap, PulseAudio", in_bwrap(pulse(800)), 800),
                     ("bwrap marked as Flatpak, PulseAudio", in_bwrap(pulse(1000), info), 1000),
                     ("bwrap, native", in_bwrap(native(1200)), 1200)]
        trees = [(what, self.player_tree(now=[command], nested=True), hz)
                 for what, command, hz in sandboxes]
        # Inner pids repeat from one sandbox to the next: a stream is known
        # by the tone it plays (its media.name is the file's name).
        def playing(graph, hz):
            return {node for node in graph.streams()
                    if ("-%g-" % hz) in (graph.props(graph.nodes[node]).get("media.name") or "")}
        self.wait_for_graph(lambda g: all(playing(g, hz) for _, _, hz in trees),
                            "every sandboxed player's stream, by its tone")
        for what, tree, hz in trees:
            with self.subTest(sandbox=what):
                mine = lambda g, hz=hz: playing(g, hz)
                others = lambda g, hz=hz: set(g.streams()) - playing(g, hz)
                self.run_cases([(tree, "include", mine, [hz], []),
                                (tree, "exclude", others, [], [hz])])
        listed = self.listed_pids()
        for what, tree, _ in trees:
            self.assertTrue(set(tree.pids()) & listed,
                            "%s: no host pid of its tree is listed (%s)" % (what, sorted(listed)))
        self.assertNotIn(2, listed)


class JackPlayers(DesktopCase):
    """JACK players under pw-jack, connected to the sink: jack-play (from
    Debian 12's jack-tools, which Debian 13 no longer has) with jack_connect,
    and our own tone player, which connects itself, on every server."""

    J_HZ, H_HZ = 650, 1450

    def jack_players(self):
        # The tone player is copied into the class's folder, which a server
        # of the Debian 13 tree sees at the same path.
        self.assertTrue(os.access(JACK_TONE_PLAYER, os.X_OK),
                        "HARKWELL_JACK_TONE_PLAYER must name the JACK tone player")
        program = os.path.join(self.work, "jack_tone_player")
        if not os.path.exists(program):
            shutil.copy2(JACK_TONE_PLAYER, program)
        players = [("jack_tone_player", jack_tone_player(program, self.J_HZ, AMPLITUDE))]
        if self.server.server == "host":
            players.append(("jack-play", jack_player(self.tone(self.J_HZ, 30))))
        return players

    def test_a_jack_player_is_a_player_like_any_other(self):
        host = self.player_tree(now=[play_forever("native", self.tone(self.H_HZ, 30))])
        host_nodes = lambda g: streams_played_by(g, host.pids())
        for name, command in self.jack_players():
            with self.subTest(player=name):
                jack = self.player_tree(now=[command])
                sink = lambda g: [g.node_named(SINK)]
                jack_nodes = lambda g: {node for node in streams_played_by(g, jack.pids())
                                        if g.links_between([node], sink(g))}
                self.wait_for_graph(lambda g: len(g.links_between(jack_nodes(g), sink(g))) == 2
                                    and host_nodes(g), "%s linked to the sink" % name)
                self.run_cases([
                    (jack, "include", jack_nodes, [self.J_HZ], [self.H_HZ]),
                    (jack, "exclude", host_nodes, [self.H_HZ], [self.J_HZ]),
                    (host, "exclude", jack_nodes, [self.J_HZ], [self.H_HZ]),
                ])
                self.assertTrue(set(jack.pids()) & self.listed_pids(),
                                "%s is not listed" % name)
                jack.stop()


if __name__ == "__main__":
    unittest.main()
