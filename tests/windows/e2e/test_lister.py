"""Harkwell-list.exe under Wine: sessions from the simulated audio stack,
names, parents and roots from real Wine processes.

The simulated mmdevapi.dll serves the device enumerator when the manifest
beside Harkwell-list.exe names it as the class's server and
WINEDLLOVERRIDES asks for the native DLL (see simaudio/)."""

import os
import re
import select
import shutil
import subprocess
import time
import unittest

from harness import BUILD_DIR, TIMEOUT, WINE, ToolRunner

LISTER = "Harkwell-list.exe"
TREE_DIR = os.path.join(BUILD_DIR, "process-tree")
HEADER = b"PID    ROOT   STATE     NAME\r\n"
USAGE = b"usage: Harkwell-list.exe [--json]\r\n"
# How long the lister waits for the audio system, and the margin a run gets.
ANSWER_SECONDS = 10


class ProcessTree:
    """Real Wine processes started from the process-tree helpers, e.g.
    player(player,worker): each reports its pid under its path in the tree
    ("0", "0.0", "0.1", ...). Closing stdin ends the whole tree."""

    def __init__(self, exe, children=""):
        env = dict(os.environ, WINEDEBUG="-all")
        self.process = subprocess.Popen([WINE, exe, "0", children], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        env=env)
        self.pids = {}
        expected = 1 + len([name for name in re.split(r"[(),]", children) if name])
        deadline = time.monotonic() + TIMEOUT
        text = b""
        while len(self.pids) < expected:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([self.process.stdout], [], [], max(0.0, remaining))
            chunk = os.read(self.process.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                self.close()
                raise AssertionError("the process tree reported only %r" % self.pids)
            text += chunk
            *lines, text = text.split(b"\n")
            for line in lines:
                path, pid = line.decode().split()
                self.pids[path] = int(pid)

    def close(self):
        try:
            self.process.stdin.close()
            self.process.wait(TIMEOUT)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()


def exited_pid():
    """The pid of a helper that has come and gone."""
    tree = ProcessTree(os.path.join(TREE_DIR, "worker.exe"))
    tree.close()
    return tree.pids["0"]


def fill(template, pids):
    """The template with each {path} replaced by its pid."""
    return re.sub(r"\{([\w.]+)\}", lambda match: str(pids[match.group(1)]), template)


def table(rows):
    return HEADER + b"".join(b"%-6d %-6d %-9s %s\r\n" % row for row in rows)


def json_lines(rows):
    return b"".join(b'{"pid":%d,"root":%d,"state":"%s","name":"%s"}\r\n' % row for row in rows)


class ListerTestCase(unittest.TestCase):
    def setUp(self):
        if not BUILD_DIR or not os.path.exists(os.path.join(BUILD_DIR, LISTER)):
            self.fail("HARKWELL_BUILD_DIR must name the folder holding " + LISTER)
        self.runner = ToolRunner(exe_name=LISTER)
        self.addCleanup(self.runner.cleanup)

    def start_tree(self, children, exe=None):
        tree = ProcessTree(exe or os.path.join(TREE_DIR, "player.exe"), children)
        self.addCleanup(tree.close)
        return tree.pids

    def assertListed(self, run, stdout):
        self.assertEqual(b"", run.stderr, run.stderr)
        self.assertEqual(stdout, run.stdout)
        self.assertEqual(0, run.returncode)
        self.assertEqual("ProcessExit live=0", run.record[-1], run.record[-3:])


class Rows(ListerTestCase):
    def test_one_row_per_process_with_a_render_session_and_its_root(self):
        pids = self.start_tree("player(player),worker(player)")
        gone = exited_pid()
        scenario = fill("""
            endpoint render active
            session 0 active system
            session {0.0.0} inactive
            session {0.0.0} active
            session {0.1} inactive
            session {gone} active
            session {0.0} expired
            endpoint capture active
            session {0.0} active
            endpoint render unplugged
            session {0.0} active
            endpoint render active
            session {0.1.0} active
            session {0} inactive
            """, dict(pids, gone=gone))
        rows = sorted([
            (pids["0"], pids["0"], b"inactive", b"player.exe"),
            (pids["0.0.0"], pids["0"], b"active", b"player.exe"),
            (pids["0.1"], pids["0.1"], b"inactive", b"worker.exe"),
            (pids["0.1.0"], pids["0.1.0"], b"active", b"player.exe"),
        ])
        run = self.runner.run([], scenario=scenario)
        self.assertListed(run, table(rows))
        self.assertIn("EnumAudioEndpoints flow=0 mask=0x00000001 -> 0x00000000 endpoints=2",
                      run.record)
        self.assertListed(self.runner.run(["--json"], scenario=scenario), json_lines(rows))

    def test_names_outside_ascii(self):
        name = "w\u00f6rker \u266a\U0001D11E.exe"
        exe = os.path.join(self.runner.work, name)
        shutil.copy(os.path.join(TREE_DIR, "worker.exe"), exe)
        pid = self.start_tree("", exe=exe)["0"]
        scenario = "endpoint render active\nsession %d active\n" % pid
        self.assertListed(self.runner.run([], scenario=scenario),
                          table([(pid, pid, b"active", name.encode("utf-8"))]))
        self.assertListed(self.runner.run(["--json"], scenario=scenario),
                          json_lines([(pid, pid, b"active",
                                       b"w\\u00f6rker \\u266a\\ud834\\udd1e.exe")]))

    def test_nothing_playing_prints_only_the_header(self):
        gone = exited_pid()
        cases = [
            ("no endpoints", ""),
            ("no sessions", "endpoint render active\n"),
            ("only sessions that do not count",
             "endpoint render active\nsession 0 active system\nsession %d active\n"
             "session 8 expired\nendpoint capture active\nsession 8 active\n" % gone),
        ]
        for name, scenario in cases:
            with self.subTest(name):
                self.assertListed(self.runner.run([], scenario=scenario), HEADER)
                self.assertListed(self.runner.run(["--json"], scenario=scenario), b"")

    def test_a_list_that_cannot_be_written_fails(self):
        pid = self.start_tree("")["0"]
        for args in ([], ["--json"]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                process = subprocess.run(
                    [WINE, os.path.join(BUILD_DIR, LISTER)] + args, stdout=full,
                    stderr=subprocess.PIPE, timeout=TIMEOUT,
                    env=self.runner.environment("endpoint render active\nsession 8 active\n"
                                                "session %d active\n" % pid))
                self.assertEqual(b"cannot write the list to standard output\r\n", process.stderr)
                self.assertEqual(1, process.returncode)

    def test_wrong_arguments_print_usage(self):
        for args in (["--bogus"], ["--JSON"], ["--json", "--json"], [""]):
            with self.subTest(args=args):
                run = self.runner.run(args, scenario="endpoint render active\n")
                self.assertEqual(USAGE, run.stderr)
                self.assertEqual(b"", run.stdout)
                self.assertEqual(2, run.returncode)
                self.assertEqual([], run.calls("DllGetClassObject"))


class Unreachable(ListerTestCase):
    SESSION = "endpoint render active\nsession 8 active\n"

    def test_a_failing_audio_system_ends_the_run_with_its_code(self):
        cases = [
            ("fail CreateInstance 0x80070422", 0x80070422),
            ("fail EnumAudioEndpoints 0x80070005", 0x80070005),
            ("fail Activate 0x88890004", 0x88890004),
            ("fail GetSessionEnumerator 0x8007000e", 0x8007000E),
            ("fail GetSession 0x80004005", 0x80004005),
            ("fail IsSystemSoundsSession 0x80004005", 0x80004005),
            ("fail GetState 0x88890004", 0x88890004),
            ("fail GetProcessId 0x80070057", 0x80070057),
        ]
        for fault, code in cases:
            for args in ([], ["--json"]):
                with self.subTest(fault=fault, args=args):
                    run = self.runner.run(args, scenario=self.SESSION + fault + "\n")
                    self.assertEqual(b"cannot reach the audio system: 0x%08x\r\n" % code,
                                     run.stderr)
                    self.assertEqual(b"", run.stdout)
                    self.assertEqual(1, run.returncode)
                    self.assertEqual("ProcessExit live=0", run.record[-1], run.record[-3:])

    def test_an_audio_system_that_does_not_answer_ends_the_run(self):
        scenario = "endpoint render active stall=60000\nsession 8 active\n"
        started = time.monotonic()
        run = self.runner.run([], scenario=scenario, timeout=ANSWER_SECONDS + 20)
        elapsed = time.monotonic() - started
        self.assertEqual(b"cannot reach the audio system: no answer within %d seconds\r\n"
                         % ANSWER_SECONDS, run.stderr)
        self.assertEqual(b"", run.stdout)
        self.assertEqual(1, run.returncode)
        self.assertIn("Stalling endpoint=0", run.record)
        self.assertGreaterEqual(elapsed, ANSWER_SECONDS - 1)


class WinesOwnAudioStack(unittest.TestCase):
    """Without the simulated stack, Wine's own lists no sessions: no sound
    card here, and Wine keeps no session of another process."""

    def test_nothing_is_listed(self):
        runner = ToolRunner(simulated=False, exe_name=LISTER)
        self.addCleanup(runner.cleanup)
        alone = os.path.join(runner.work, "alone")
        os.mkdir(alone)
        shutil.copy(os.path.join(runner.exe_dir, LISTER), alone)
        runner.exe_dir = alone
        run = runner.run([])
        self.assertEqual(HEADER, run.stdout)
        self.assertEqual(0, run.returncode)
        self.assertNotIn(b"cannot reach", run.stderr)


if __name__ == "__main__":
    unittest.main()
