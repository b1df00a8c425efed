"""harkwell-list against a private PipeWire: real process trees of players
give the rows and roots they should, a listed root passed to harkwell records
that application, and the failures (usage, no server, a server that does not
answer, output that cannot be written) end with their status and one line.

HARKWELL_LINUX_LIST_BIN names harkwell-list, HARKWELL_STREAM_PLAYER the test
player (a native player that can start a child of its own executable and can
hold a paused stream).
"""

import json
import os
import re
import shlex
import signal
import subprocess
import unittest

from harness import (ServerTestCase, ToolTestCase, children_of, descendants_of, play_forever,
                     wait_until)
from private_server import CLIENT_TIMEOUT, client_command
from process_groups import remove_temp_dir
from test_contract import serverless_environment

LISTER = os.environ.get("HARKWELL_LINUX_LIST_BIN", "")
STREAM_PLAYER = os.environ.get("HARKWELL_STREAM_PLAYER", "")
HEADER = b"PID    ROOT   STATE     NAME            APPLICATION\n"
USAGE = b"usage: harkwell-list [--json]\n"
NO_SERVER = re.compile(rb"cannot reach the audio system: 0x80070070: [^\n]+\n\Z")  # EHOSTDOWN
NO_ANSWER = b"cannot reach the audio system: no answer within 10 seconds\n"
ANSWER_BOUND = 10.0  # seconds the lister waits for the server
AMPLITUDE = 0.3  # of the test player's tone


def run_lister(env, *args, stdout=subprocess.PIPE, timeout=CLIENT_TIMEOUT):
    if not LISTER or not os.access(LISTER, os.X_OK):
        raise AssertionError("HARKWELL_LINUX_LIST_BIN must name the harkwell-list executable")
    return subprocess.run(client_command(env, [LISTER]) + list(args), env=env,
                          stdin=subprocess.DEVNULL,
                          stdout=stdout, stderr=subprocess.PIPE, timeout=timeout)


def executable_name(pid):
    try:
        return os.path.basename(os.readlink("/proc/%d/exe" % pid))
    except OSError:
        return None


def table_rows(stdout):
    """The table's rows as (pid, root, state, name, application) tuples; the
    application is "" when the column is empty."""
    lines = stdout.decode().splitlines()
    rows = []
    for line in lines[1:]:
        fields = line.split(None, 4)
        rows.append((int(fields[0]), int(fields[1]), fields[2], fields[3],
                     fields[4] if len(fields) > 4 else ""))
    return rows


def json_rows(stdout):
    """The same tuples from the JSON lines; the application as the table
    shows it (only where it differs from the name)."""
    rows = []
    for line in stdout.decode().splitlines():
        row = json.loads(line)
        self_named = row["application"] in (None, row["name"])
        rows.append((row["pid"], row["root"], row["state"], row["name"],
                     "" if self_named else row["application"]))
    return rows


class Players(ServerTestCase):
    """Trees of real players on one server; every row is checked."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not STREAM_PLAYER or not os.access(STREAM_PLAYER, os.X_OK):
            raise AssertionError("HARKWELL_STREAM_PLAYER must name the test player")

    def stream_player(self, arguments):
        """The shell command that runs the test player with these arguments."""
        return " ".join(map(shlex.quote, client_command(self.server.env, [STREAM_PLAYER])))\
            + " " + arguments

    def player_of(self, tree, name, count=1):
        """The pids in the tree that run the executable of that name, once
        `count` of them run."""
        def found():
            pids = [pid for pid in descendants_of(tree.pid) if executable_name(pid) == name]
            return pids if len(pids) >= count else None
        pids = wait_until(found)
        self.assertIsNotNone(pids, "no %s in the tree of %d" % (name, tree.pid))
        return sorted(pids)

    def listing_settles_on(self, expected):
        """Runs the lister until its table and its JSON both show exactly the
        expected rows (streams take a moment to start playing)."""
        seen = {}

        def settled():
            table = run_lister(self.server.env)
            lines = run_lister(self.server.env, "--json")
            seen.update(table=table, json=lines)
            return (table.returncode == 0 and lines.returncode == 0
                    and table.stdout.startswith(HEADER)
                    and sorted(table_rows(table.stdout)) == sorted(expected)
                    and sorted(json_rows(lines.stdout)) == sorted(expected))
        if not wait_until(settled, interval=0.1):
            self.fail("expected rows %s\ntable (status %d):\n%s\nJSON (status %d):\n%s\nstderr %r"
                      % (sorted(expected), seen["table"].returncode,
                         seen["table"].stdout.decode(), seen["json"].returncode,
                         seen["json"].stdout.decode(), seen["table"].stderr))
        self.assertEqual(b"", seen["table"].stderr)
        self.assertEqual(b"", seen["json"].stderr)
        return seen["table"], seen["json"]

    def test_trees_of_players_give_their_rows_and_roots(self):
        wav = self.tone(440, 30)
        # A launcher shell with a native and a PulseAudio player: each is its
        # own root (the shell runs another executable).
        mixed = self.player_tree(now=[play_forever("native", wav), play_forever("pulse", wav)],
                                 nested=True)
        # A player that starts a child of its own executable, which plays:
        # the child's root is the parent that holds no stream itself.
        browser = self.player_tree(now=[self.stream_player("--child --hz 660")])
        # A player whose stream is paused.
        paused = self.player_tree(now=[self.stream_player("--paused")])

        native = self.player_of(mixed, "pw-cat")[0]
        pulse = self.player_of(mixed, "pacat")[0]
        launcher, child = self.player_of(browser, "stream_player", count=2)
        self.assertIn(child, children_of(launcher))
        holder = self.player_of(paused, "stream_player")[0]
        table, lines = self.listing_settles_on([
            (native, native, "active", "pw-cat", "pw-play"),
            (pulse, pulse, "active", "pacat", "paplay"),
            (child, launcher, "active", "stream_player", "Tone Player"),
            (holder, holder, "inactive", "stream_player", "Paused Player"),
        ])
        print(table.stdout.decode(), end="")

        # One object per line, with exactly these members, in pid order.
        objects = [json.loads(line) for line in lines.stdout.decode().splitlines()]
        self.assertEqual([["pid", "root", "state", "name", "application"]] * len(objects),
                         [list(item) for item in objects])
        self.assertEqual(sorted(item["pid"] for item in objects), [item["pid"] for item in objects])

    def test_a_listed_root_records_that_application(self):
        app = self.player_tree(now=[self.stream_player("--child --hz 880")])
        other = self.player_tree(now=[play_forever("native", self.tone(440, 30))])
        launcher, child = self.player_of(app, "stream_player", count=2)
        self.player_of(other, "pw-cat")

        def listed_root():
            result = run_lister(self.server.env, "--json")
            rows = [json.loads(line) for line in result.stdout.decode().splitlines()]
            return next((row["root"] for row in rows if row["pid"] == child), None)
        root = wait_until(listed_root, interval=0.1)
        self.assertEqual(launcher, root)

        capture = self.capture(root, "include")
        # The tool's stream runs from its first cycle, and its links to a
        # stream already playing are made a cycle or so later: on either
        # server version the capture may begin with up to one silent period
        # (on 0.3.65 in 6 of 8 runs here), which spoils the first of the 0.1 s
        # blocks the tone is measured in. One block more is waited for.
        self.assertTrue(capture.wait_for_sound(1.2), "nothing arrived from the listed root")
        pcm = self.finish(capture).pcm()
        self.assertHears(pcm, 880, 1.0, AMPLITUDE)
        self.assertDoesNotHear(pcm, 440, AMPLITUDE)


class NothingPlaying(ToolTestCase):
    def test_only_the_header_and_status_0(self):
        server = self.private_server()
        # A process that plays nothing is not listed.
        self.player_tree(now=["sleep 600"], server=server)
        table = run_lister(server.env)
        self.assertEqual((0, HEADER, b""), (table.returncode, table.stdout, table.stderr))
        lines = run_lister(server.env, "--json")
        self.assertEqual((0, b"", b""), (lines.returncode, lines.stdout, lines.stderr))


class Failures(ToolTestCase):
    def serverless(self):
        root, env = serverless_environment(stale_socket=False)
        self.addCleanup(remove_temp_dir, root)
        return env

    def test_wrong_arguments_print_the_usage(self):
        for args in (["--jsn"], ["--json", "--json"], ["-h"], [""], ["json"]):
            with self.subTest(args=args):
                result = run_lister(self.serverless(), *args)
                self.assertEqual((2, b"", USAGE), (result.returncode, result.stdout, result.stderr))

    def test_no_server_fails_with_one_line(self):
        for args in ([], ["--json"]):
            with self.subTest(args=args):
                result = run_lister(self.serverless(), *args)
                self.assertEqual(1, result.returncode)
                self.assertRegex(result.stderr, NO_SERVER)
                self.assertEqual(b"", result.stdout)

    def test_a_server_that_does_not_answer_is_given_up(self):
        server = self.private_server()
        daemon = server.pid()
        os.kill(daemon, signal.SIGSTOP)
        try:
            result = run_lister(server.env, timeout=ANSWER_BOUND + CLIENT_TIMEOUT)
        finally:
            os.kill(daemon, signal.SIGCONT)
        self.assertEqual((1, b"", NO_ANSWER), (result.returncode, result.stdout, result.stderr))
        # The server goes on as before.
        self.assertEqual(0, run_lister(server.env).returncode)

    def test_output_that_cannot_be_written_fails(self):
        server = self.private_server()
        with open("/dev/full", "wb") as full:
            result = run_lister(server.env, stdout=full)
        self.assertEqual((1, b"cannot write the list to standard output\n"),
                         (result.returncode, result.stderr))

    def test_a_closed_standard_output_is_not_the_servers_socket(self):
        # With descriptor 1 closed, the library's socket to the server would
        # take it, and the list would go wherever that descriptor leads.
        server = self.private_server()
        result = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh"]
                                + client_command(server.env, [LISTER]), env=server.env,
                                stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                timeout=CLIENT_TIMEOUT)
        self.assertEqual((0, b""), (result.returncode, result.stderr))


if __name__ == "__main__":
    unittest.main()
