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
import tempfile
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
        # What Wine or the helpers say goes to a file, told when the tree
        # fails to start.
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([WINE, exe, "0", children], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.errors, env=env)
        self.pids = {}
        expected = 1 + len([name for name in re.split(r"[(),]", children) if name])
        deadline = time.monotonic() + TIMEOUT
        text = b""
        while len(self.pids) < expected:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([self.process.stdout], [], [], max(0.0, remaining))
            chunk = os.read(self.process.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                self.close(keep_errors=True)
                self.errors.seek(0)
                said = self.errors.read()[-1000:]
                self.errors.close()
                raise AssertionError("the process tree reported only %r (%s, exit status %r, "
                                     "stderr %r)" % (self.pids, "ended" if ready else "timed out",
                                                     self.process.returncode, said))
            text += chunk
            *lines, text = text.split(b"\n")
            for line in lines:
                path, pid = line.decode().split()
                self.pids[path] = int(pid)

    def close(self, keep_errors=False):
        try:
            self.process.stdin.close()
            self.process.wait(TIMEOUT)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
            if not keep_errors:
                self.errors.close()


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
        self.assertEqual(stdout, run.stdout, "status %d, record %r" % (run.returncode, run.record))
        self.assertEqual(0, run.returncode)
        self.assertEqual("ProcessExit live=0", run.record[-1], run.record[-3:])


class Rows(ListerTestCase):
    def test_one_row_per_process_with_a_render_session_and_its_root(self):
        pids = self.start_tree("player(player),worker(player),worker")
        gone = exited_pid()
        # Pid 0 is no row whatever its session says (Wine has no pid 0, real
        # Windows has: the unit tests cover that); the system-sounds session
        # is no row whatever its pid, here a live one.
        scenario = fill("""
            endpoint render active
            session 0 active system
            session 0 active
            session {0.2} active system
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
        self.assertIn("IsSystemSoundsSession pid=%d -> 0x00000000" % pids["0.2"], run.record)
        self.assertListed(self.runner.run(["--json"], scenario=scenario), json_lines(rows))

    def test_one_process_on_two_endpoints_is_one_row(self):
        pids = self.start_tree("player,player,worker")
        scenario = fill("""
            endpoint render active
            session {0.0} inactive
            session {0.1} active
            session {0.2} inactive
            endpoint render active
            session {0.0} active
            session {0.1} inactive
            session {0.2} inactive
            """, pids)
        rows = [(pids["0.0"], pids["0"], b"active", b"player.exe"),
                (pids["0.1"], pids["0"], b"active", b"player.exe"),
                (pids["0.2"], pids["0.2"], b"inactive", b"worker.exe")]
        self.assertListed(self.runner.run([], scenario=scenario), table(sorted(rows)))
        self.assertListed(self.runner.run(["--json"], scenario=scenario),
                          json_lines(sorted(rows)))

    def test_a_shared_session_counts_for_the_process_that_opened_it(self):
        pid = self.start_tree("")["0"]
        scenario = "endpoint render active\nsession %d active shared\n" % pid
        run = self.runner.run([], scenario=scenario)
        self.assertListed(run, table([(pid, pid, b"active", b"player.exe")]))
        self.assertIn("GetProcessId -> 0x0889000d pid=%d" % pid, run.record)

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
        scenario = "endpoint render active\nsession 8 active\nsession %d active\n" % pid

        def full_device():
            return open("/dev/full", "wb")

        def closed_pipe():
            # A pipe whose reader has gone before the list is written.
            read_end, write_end = os.pipe()
            os.close(read_end)
            return os.fdopen(write_end, "wb")

        for name, open_stdout in (("full device", full_device), ("closed pipe", closed_pipe)):
            for args in ([], ["--json"]):
                with self.subTest(name, args=args), open_stdout() as stdout:
                    process = subprocess.run(
                        [WINE, os.path.join(BUILD_DIR, LISTER)] + args, stdout=stdout,
                        stderr=subprocess.PIPE, timeout=TIMEOUT,
                        env=self.runner.environment(scenario))
                    self.assertEqual(b"cannot write the list to standard output\r\n",
                                     process.stderr)
                    self.assertEqual(1, process.returncode)

    def test_wrong_arguments_print_usage(self):
        for args in (["--bogus"], ["--JSON"], ["--json", "--json"], [""]):
            with self.subTest(args=args):
                run = self.runner.run(args, scenario="endpoint render active\n")
                self.assertEqual(USAGE, run.stderr)
                self.assertEqual(b"", run.stdout)
                self.assertEqual(2, run.returncode)
                self.assertEqual([], run.calls("DllGetClassObject"))


class WhatFailsIsLeftOut(ListerTestCase):
    """One endpoint or one session that fails costs its own rows only, as on
    a machine where a device is being unplugged (AUDCLNT_E_DEVICE_INVALIDATED
    0x88890004) or one endpoint's GetSessionEnumerator fails (0x88890008)."""

    def test_the_rest_is_listed(self):
        pids = self.start_tree("player,worker")
        first, second = pids["0.0"], pids["0.1"]
        row = {first: (first, pids["0"], b"active", b"player.exe"),
               second: (second, second, b"active", b"worker.exe")}
        two_endpoints = fill("endpoint render active\nsession {0.0} active\n"
                             "endpoint render active\nsession {0.1} active\n", pids)
        two_sessions = fill("endpoint render active\nsession {0.0} active\n"
                            "session {0.1} active\n", pids)
        cases = [(two_endpoints, "fail Activate 0x88890004 1", second),
                 (two_endpoints, "fail Activate 0x88890004 2", first),
                 (two_endpoints, "fail GetSessionEnumerator 0x88890008 1", second),
                 (two_endpoints, "fail GetSessionEnumerator 0x88890008 2", first)]
        for call in ("GetSession", "IsSystemSoundsSession", "GetState", "GetProcessId"):
            cases += [(two_sessions, "fail %s 0x88890004 1" % call, second),
                      (two_sessions, "fail %s 0x88890004 2" % call, first)]
        for scenario, fault, listed in cases:
            for args, expected in (([], table([row[listed]])),
                                   (["--json"], json_lines([row[listed]]))):
                with self.subTest(fault=fault, args=args):
                    run = self.runner.run(args, scenario=scenario + fault + "\n")
                    self.assertListed(run, expected)
                    self.assertIn("-> 0x88890004" if "0x88890004" in fault else "-> 0x88890008",
                                  "\n".join(run.record))


class Unreachable(ListerTestCase):
    SESSION = "endpoint render active\nsession 8 active\n"
    TWO_ENDPOINTS = SESSION + "endpoint render active\nsession 9 active\n"

    def test_a_failing_audio_system_ends_the_run_with_its_code(self):
        cases = [
            (self.SESSION, "fail CreateInstance 0x80070422", 0x80070422),
            (self.SESSION, "fail EnumAudioEndpoints 0x80070005", 0x80070005),
            (self.SESSION, "fail Activate 0x88890004", 0x88890004),
            (self.SESSION, "fail GetSessionEnumerator 0x8007000e", 0x8007000E),
            # Every endpoint fails: the first one's code.
            (self.TWO_ENDPOINTS, "fail Activate 0x88890004 1\nfail Activate 0x80004005 2",
             0x88890004),
            (self.TWO_ENDPOINTS, "fail Activate 0x88890004 1\nfail GetSessionEnumerator "
             "0x88890008 1", 0x88890004),
        ]
        for endpoints, fault, code in cases:
            for args in ([], ["--json"]):
                with self.subTest(fault=fault, args=args):
                    run = self.runner.run(args, scenario=endpoints + fault + "\n")
                    self.assertEqual(b"cannot reach the audio system: 0x%08x\r\n" % code,
                                     run.stderr)
                    self.assertEqual(b"", run.stdout)
                    self.assertEqual(1, run.returncode)
                    self.assertEqual("ProcessExit live=0", run.record[-1], run.record[-3:])

    def test_an_audio_system_that_does_not_answer_ends_the_run(self):
        # The stalled call holds a lock that the simulated stack's unload code
        # waits for: a lister that ended through ExitProcess would hang there
        # for good (see simaudio's README.md). It ends without running it.
        scenario = "endpoint render active stall=60000\nsession 8 active\n"
        started = time.monotonic()
        run = self.runner.run([], scenario=scenario, timeout=ANSWER_SECONDS + 20)
        elapsed = time.monotonic() - started
        self.assertEqual(b"cannot reach the audio system: no answer within %d seconds\r\n"
                         % ANSWER_SECONDS, run.stderr)
        self.assertEqual(b"", run.stdout)
        self.assertEqual(1, run.returncode)
        self.assertIn("Stalling endpoint=0", run.record)
        self.assertEqual([], [line for line in run.record if line.startswith("ProcessExit")],
                         "the stack's unload code ran")
        self.assertGreaterEqual(elapsed, ANSWER_SECONDS - 1)
        self.assertLess(elapsed, ANSWER_SECONDS + 10)


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
