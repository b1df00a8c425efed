"""Runs the Linux harkwell against a private PipeWire with real players.

HARKWELL_LINUX_BIN names the executable. Players are real process trees: a
shell that starts pw-play (native) or paplay (PulseAudio protocol) children
and waits for them, so they stay in its tree for as long as they play.
"""

import os
import select
import shlex
import signal
import subprocess
import sys
import threading
import time
import unittest

from pcm import RATE, Pcm, write_silence, write_tone
from private_server import SINK, PrivatePipeWire, client_command
from process_groups import (end_group, leader_exited, make_temp_dir, remove_temp_dir,
                            signal_group, spawn, wait_leader)

TOOL = os.environ.get("HARKWELL_LINUX_BIN", "")
PCM_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pcm.py")
STOP_TIMEOUT = 20.0  # seconds the tool may take to end once told to (it runs under ASAN too)
WAIT_TIMEOUT = 20.0  # seconds any other awaited event may take


def _sanitized(path):
    with open(path, "rb") as f:
        return b"__asan_init" in f.read()


# The tool was built with the address and undefined-behaviour sanitizers,
# which make it several times slower to answer the server.
SANITIZED = bool(TOOL) and _sanitized(TOOL)
# The server's longest period (default.clock.max-quantum), at which it runs
# while the test players play.
MAX_PERIOD = 2048
TWO_TREES_A_HZ = 500  # TwoTreesTestCase's tree A
TWO_TREES_B_HZ = 1100  # and its tree B
USAGE = b"usage: harkwell <pid> <include|exclude>\n"
PLAYERS = {"native": "pw-play", "pulse": "paplay"}


def wait_until(predicate, timeout=WAIT_TIMEOUT, interval=0.02):
    """Polls predicate until it returns something true; returns that value,
    or None when the timeout ran out."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def children_of(pid):
    """Direct children of a process, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        # The name in parentheses may hold blanks: the parent follows the last ')'.
        fields = stat[stat.rindex(b")") + 2:].split()
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


def descendants_of(pid):
    result, todo = [], [pid]
    while todo:
        for child in children_of(todo.pop()):
            result.append(child)
            todo.append(child)
    return result


class PlayerTree:
    """`sh` leading a tree of players.

    `now` commands start at once, `later` ones when trigger() is called (the
    shell blocks reading a FIFO until then); with nested=True every player
    runs one level deeper, under a subshell. The shell waits for all of them.
    """

    PAUSE = "@pause@"

    def __init__(self, server, now=(), later=(), nested=False, workdir=None, script=None):
        self.workdir = workdir or server.root
        self.fifo = os.path.join(make_temp_dir("harkwell-fifo-"), "go")
        os.mkfifo(self.fifo)
        if script is None:
            wrap = "(%s; :) &" if nested else "%s &"
            lines = [wrap % command for command in now]
            if later:
                lines += [self.PAUSE] + [wrap % command for command in later]
            script = "\n".join(lines + ["wait"])
        # A script of its own may pause where it says PAUSE, until trigger().
        self.marker = self.fifo + ".paused"
        self.script = script.replace(self.PAUSE, ": > %s; read _ < %s"
                                     % (shlex.quote(self.marker), shlex.quote(self.fifo)))
        self.process = spawn(["sh", "-c", self.script], server.env, cwd=self.workdir)

    @property
    def pid(self):
        return self.process.pid

    def pids(self):
        return [self.pid] + descendants_of(self.pid)

    def trigger(self, timeout=WAIT_TIMEOUT):
        """Lets the `later` players start."""
        def open_writer():
            try:
                return [os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)]
            except OSError:  # ENXIO until the shell has opened its end
                return None
        opened = wait_until(open_writer, timeout)
        if opened is None:
            raise AssertionError("the player tree never waited for its trigger")
        fd = opened[0]
        # The shell is blocked on the FIFO: it cannot make the next marker yet.
        os.remove(self.marker)
        os.write(fd, b"go\n")
        os.close(fd)

    def wait_paused(self, timeout=WAIT_TIMEOUT):
        """Waits until the shell has reached a pause."""
        if not wait_until(lambda: os.path.exists(self.marker), timeout):
            raise AssertionError("the player tree did not reach its pause")

    def finished(self):
        return leader_exited(self.process)

    def stop(self):
        end_group(self.process)
        remove_temp_dir(os.path.dirname(self.fifo))


def tree_pids(trees):
    return [pid for tree in trees for pid in tree.pids()]


def play(kind, wav):
    return "%s %s" % (PLAYERS[kind], shlex.quote(wav))


def play_forever(kind, wav):
    """The file again and again, a new stream each time."""
    return "while :; do %s; done" % play(kind, wav)


def play_stream(hz, frames, amplitude=0.3):
    """One uninterrupted native stream of a tone, generated as it plays (no
    file of its length): pw-play reading raw samples from a pipe. The pw-play
    of PipeWire 0.3 reads them raw when given a format; from 1.0 on (1.4 here)
    it takes the input for a sound file unless told --raw, an option 0.3's
    lacks, so the player's own help decides."""
    return ("%s %s tone %g %d %g | pw-play $(pw-play --help 2>&1 | grep -q -e --raw && echo --raw)"
            " --format s16 --rate %d --channels 2 -"
            % (shlex.quote(sys.executable), shlex.quote(PCM_SCRIPT), hz, frames, amplitude, RATE))


class Result:
    def __init__(self, status, stdout, stderr, stop_seconds):
        self.status = status
        self.stdout = bytes(stdout)
        self.stderr = bytes(stderr)
        self.stop_seconds = stop_seconds  # stdin closed -> exit, or None
        self.cpu_seconds = None  # user + system time of the whole run

    def pcm(self):
        return Pcm(self.stdout)


class Capture:
    """The tool, running with pipes on stdout and stderr.

    stdin is "pipe" (closing it stops the tool), "devnull", or "closed" (the
    tool starts with no file descriptor 0 at all).
    """

    def __init__(self, env, args, stdin="pipe", program=None):
        """Runs the tool with `args`, or another recorder's `program` argv."""
        if program is None and (not TOOL or not os.access(TOOL, os.X_OK)):
            raise AssertionError("HARKWELL_LINUX_BIN must name the harkwell executable")
        argv = (program or client_command(env, [TOOL])) + [str(arg) for arg in args]
        stdin_arg = subprocess.PIPE if stdin == "pipe" else subprocess.DEVNULL
        if stdin == "closed":
            # dash exec()s the tool in place, so the pid stays the tool's.
            argv = ["sh", "-c", 'exec "$@" <&-', "sh"] + argv
        self.started = time.monotonic()
        self.process = spawn(argv, env, stdin=stdin_arg, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.stdout = bytearray()
        self.stderr = bytearray()
        self.first_byte_seconds = None
        self._lock = threading.Lock()
        self._hang_up = threading.Event()
        self._pumps = [threading.Thread(target=self._pump, args=(self.process.stdout, self.stdout),
                                        daemon=True),
                       threading.Thread(target=self._pump, args=(self.process.stderr, self.stderr),
                                        daemon=True)]
        for pump in self._pumps:
            pump.start()

    @property
    def pid(self):
        return self.process.pid

    def _pump(self, stream, sink):
        fd = stream.fileno()
        is_stdout = sink is self.stdout
        while True:
            if is_stdout and self._hang_up.is_set():
                break  # the reader goes away
            ready, _, _ = select.select([fd], [], [], 0.05)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            with self._lock:
                if is_stdout and self.first_byte_seconds is None:
                    self.first_byte_seconds = time.monotonic() - self.started
                sink.extend(chunk)
        stream.close()

    def byte_count(self):
        with self._lock:
            return len(self.stdout)

    def wait_for_bytes(self, count, timeout=WAIT_TIMEOUT):
        """Waits until at least `count` bytes arrived; False on timeout or
        when the tool ended first."""
        return bool(wait_until(lambda: self.byte_count() >= count or self.exited(), timeout)) \
            and self.byte_count() >= count

    def wait_for_sound(self, seconds, timeout=WAIT_TIMEOUT):
        return self.wait_for_bytes(int(seconds * RATE) * 4, timeout)

    def hang_up_stdout(self, timeout=WAIT_TIMEOUT):
        """Closes the reading end of stdout, as a reader that goes away."""
        self._hang_up.set()
        self._pumps[0].join(timeout)
        if self._pumps[0].is_alive():
            raise AssertionError("the stdout reader did not stop")

    def write_stdin(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def exited(self):
        return leader_exited(self.process)

    def wait_exit(self, timeout=STOP_TIMEOUT):
        """Waits for the tool to end by itself; the result, or an assertion
        failure (after killing it) if it does not end in time."""
        return self._finish(close_stdin=False, timeout=timeout)

    def stop(self, timeout=STOP_TIMEOUT):
        """Closes stdin (when it is a pipe) and waits for the tool to end."""
        return self._finish(close_stdin=True, timeout=timeout)

    def _finish(self, close_stdin, timeout):
        closed_at = None
        if close_stdin and self.process.stdin is not None:
            closed_at = time.monotonic()
            self.process.stdin.close()
        if not wait_leader(self.process, timeout):
            self.kill()
            raise AssertionError("harkwell (pid %d) did not end within %.0f s; stderr %r"
                                 % (self.pid, timeout, bytes(self.stderr[-500:])))
        ended_at = time.monotonic()
        self._join_pumps()  # the pipes end with the tool
        # Reaped here rather than by end_group() for its resource usage; the
        # unreaped leader keeps the group's id ours until then.
        signal_group(self.process, signal.SIGKILL)  # anything it left in its group
        _, wait_status, usage = os.wait4(self.pid, 0)
        self.process.returncode = os.waitstatus_to_exitcode(wait_status)
        end_group(self.process)
        with self._lock:
            stdout, stderr = bytes(self.stdout), bytes(self.stderr)
        result = Result(self.process.returncode, stdout, stderr,
                        ended_at - closed_at if closed_at is not None else None)
        result.cpu_seconds = usage.ru_utime + usage.ru_stime
        return result

    def _join_pumps(self):
        for pump in self._pumps:
            pump.join(WAIT_TIMEOUT)
            if pump.is_alive():
                raise AssertionError("a pipe of harkwell stayed open after it ended")

    def kill(self):
        end_group(self.process, grace=0)
        self._join_pumps()

    def proc_figures(self):
        """Open descriptors and resident memory (KiB) of the running tool."""
        fds = len(os.listdir("/proc/%d/fd" % self.pid))
        with open("/proc/%d/status" % self.pid) as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return fds, rss


class ToolTestCase(unittest.TestCase):
    """Tests of the tool, with a folder for tones per class; a test that
    needs a server of its own starts it with self.private_server()."""

    server = None  # the server shared by the class, if any

    @classmethod
    def setUpClass(cls):
        cls.work = make_temp_dir("harkwell-tones-")
        cls.addClassCleanup(remove_temp_dir, cls.work)

    def private_server(self):
        server = PrivatePipeWire().start()
        self.addCleanup(server.stop)
        return server

    def link_start_loss(self, server=None):
        """Frames a recorder may lose at the start of a link it makes.
        PipeWire 0.3.65 carries a stream's samples over a new link from its
        first cycle. PipeWire 1.4.2 gives a new link one period of silence
        instead: pw-record, linked by WirePlumber, shows the same (two
        pw-records of one stream each start with 2048 silent frames), and a
        stream that starts an idle graph loses its first period to the tool
        in every run (6 of 6 measured; 0 of 4 on 0.3.65)."""
        server = server or self.server
        return MAX_PERIOD if server.versions()["pipewire"] >= (1, 0) else 0

    @classmethod
    def tone(cls, hz, seconds=None, frames=None, amplitude=0.3, rate=RATE, channels=2):
        """A WAV file of a tone, made once per class."""
        frames = frames if frames is not None else int(seconds * rate)
        path = os.path.join(cls.work, "tone-%g-%d-%g-%d-%d.wav"
                            % (hz, frames, amplitude, rate, channels))
        if not os.path.exists(path):
            write_tone(path, hz, frames, amplitude, rate, channels)
        return path

    @classmethod
    def silence(cls, seconds):
        path = os.path.join(cls.work, "silence-%g.wav" % seconds)
        if not os.path.exists(path):
            write_silence(path, int(seconds * RATE))
        return path

    def player_tree(self, now=(), later=(), nested=False, server=None, script=None):
        tree = PlayerTree(server or self.server, now, later, nested, self.work, script)
        self.addCleanup(tree.stop)
        return tree

    @classmethod
    def class_tree(cls, now=(), later=(), nested=False):
        """A player tree that lives as long as the class's server."""
        tree = PlayerTree(cls.server, now, later, nested, cls.work)
        cls.addClassCleanup(tree.stop)
        return tree

    def capture(self, *args, stdin="pipe", server=None, env=None):
        capture = Capture(env or (server or self.server).env, args, stdin)
        self.addCleanup(capture.kill)
        return capture

    def reference_recording(self, serial):
        """pw-record, PipeWire's own recorder, on the stream of that serial:
        what the server gives any recorder of it. It stops at SIGINT."""
        recording = Capture(self.server.env, [], program=["pw-record", "--target", str(serial),
                                                          "-"])
        self.addCleanup(recording.kill)
        return recording

    @classmethod
    def wait_for_streams(cls, trees, count, server=None, timeout=WAIT_TIMEOUT):
        """Waits until `count` playback streams of these player trees are
        linked to the sink; returns the graph then."""
        server = server or cls.server

        def linked():
            graph = server.dump()
            streams = graph.nodes_of(tree_pids(trees), "Stream/Output/Audio")
            linked_streams = {ends[0] for ends in graph.links_between(streams, [graph.node_named(SINK)])}
            return graph if len(linked_streams) >= count else None
        graph = wait_until(linked, timeout, interval=0.05)
        if graph is None:
            raise AssertionError("%d stream(s) of trees %s never reached the sink"
                                 % (count, [tree.pid for tree in trees]))
        return graph

    def wait_until_quiet(self, capture, settle=0.5):
        """Waits until nothing more arrives for `settle` seconds."""
        last = [capture.byte_count(), time.monotonic()]

        def quiet():
            count = capture.byte_count()
            if count != last[0]:
                last[:] = [count, time.monotonic()]
            return time.monotonic() - last[1] >= settle
        self.assertTrue(wait_until(quiet), "the capture kept receiving data")

    def wait_for_tool(self, capture, server=None):
        """Waits until the tool's capture stream is in the graph."""
        server = server or self.server

        def present():
            graph = server.dump()
            return graph if graph.nodes_of([capture.pid]) else None
        graph = wait_until(present, interval=0.05)
        if graph is None:
            self.fail("harkwell (pid %d) never showed a node in the graph; stderr %r"
                      % (capture.pid, bytes(capture.stderr)))
        return graph

    @staticmethod
    def tool_sources(graph, pid):
        """The nodes linked into the tool's nodes."""
        nodes = graph.nodes_of([pid])
        return {ends[0] for ends in graph.links_touching(nodes) if ends[2] in nodes}

    def assertFedBy(self, capture, expected, server=None):
        """The tool's capture is fed by exactly the streams expected(graph)
        names, and nothing else (no device, no monitor); waits for the links
        to settle. Returns the graph."""
        server = server or self.server
        seen = {}

        def settled():
            graph = seen["graph"] = server.dump()
            return graph if self.tool_sources(graph, capture.pid) == set(expected(graph)) else None
        graph = wait_until(settled, interval=0.05)
        if graph is None:
            graph = seen["graph"]
            describe = lambda ids: sorted((i, graph.props(graph.nodes[i]).get("node.name"))
                                          for i in ids if i in graph.nodes)
            self.fail("harkwell is fed by %s, expected %s"
                      % (describe(self.tool_sources(graph, capture.pid)),
                         describe(expected(graph))))
        return graph

    def assertUndisturbed(self, before, later):
        """Every playback stream in both snapshots (by serial) kept its very
        links to the sink, and no stream was given a target."""
        later_links = later.sink_links(SINK)
        for stream, links in before.sink_links(SINK).items():
            if stream in later_links:
                self.assertTrue(links, "stream %d was not playing to the sink" % stream)
                self.assertEqual(links, later_links[stream],
                                 "the links of stream %d to the sink changed" % stream)
        self.assertEqual(before.object_metadata(), later.object_metadata())

    def finish(self, capture, server=None):
        """Stops the tool by closing stdin; it must end cleanly and leave
        nothing in the graph."""
        result = capture.stop()
        first = capture.first_byte_seconds
        print("harkwell pid %d: %d bytes (first %s after start), stopped %.1f ms after stdin "
              "closed" % (capture.pid, len(result.stdout),
                          "-" if first is None else "%.0f ms" % (1000 * first),
                          1000 * result.stop_seconds))
        self.assertCleanStop(result)
        self.assertNothingLeftOf(capture.pid, server)
        return result

    def assertHears(self, pcm, hz, seconds, amplitude):
        heard = pcm.heard_seconds(hz, amplitude)
        self.assertGreaterEqual(heard, seconds, "%g Hz heard for %.1f s of %.1f s"
                                % (hz, heard, pcm.seconds))

    def assertDoesNotHear(self, pcm, hz, amplitude):
        level = pcm.peak_level(hz)
        self.assertLess(level, 0.1 * amplitude, "%g Hz heard at level %.3f" % (hz, level))

    def assertCleanStop(self, result):
        """Status 0, nothing on stderr, whole frames only."""
        self.assertEqual(b"", result.stderr)
        self.assertEqual(0, result.status)
        self.assertEqual(0, len(result.stdout) % 4, "a partial frame was written")

    def assertNothingLeftOf(self, pid, server=None):
        graph = (server or self.server).dump()
        self.assertEqual({"clients": [], "nodes": [], "links": []}, graph.objects_of_pid(pid),
                         "the tool's objects are still in the graph")
        return graph


class ServerTestCase(ToolTestCase):
    """Tests sharing one private server per class."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = PrivatePipeWire().start()
        cls.addClassCleanup(cls.server.stop)
        print("\n[%s] private PipeWire (%s) ready in %.0f ms (pipewire pid %d)"
              % (cls.__name__, cls.server.describe(), 1000 * cls.server.ready_seconds,
                 cls.server.pid()))


class TwoTreesTestCase(ServerTestCase):
    """A private PipeWire with two player trees that play for the whole
    class: tree A a tone of TWO_TREES_A_HZ from a native player, the tree a
    test records; tree B one of TWO_TREES_B_HZ from a PulseAudio player,
    everything else."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tree_a = cls.class_tree(now=[play_forever("native", cls.tone(TWO_TREES_A_HZ, 30))])
        cls.tree_b = cls.class_tree(now=[play_forever("pulse", cls.tone(TWO_TREES_B_HZ, 30))])
        cls.wait_for_streams([cls.tree_a, cls.tree_b], 2)
