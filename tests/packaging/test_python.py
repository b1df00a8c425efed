"""The Linux wheel, installed as a user installs it: into a fresh virtual
environment with pip and no package index, then driven through the public
API and the console scripts against a private PipeWire with real players.
(The Windows wheel's contents and tags are checked in test_contents.)"""

import json
import os
import shutil
import sys
import unittest

from package_harness import (MISSING_LIBRARY_WORDS, SECONDS, STOP_TIMEOUT, WAIT_TIMEOUT,
                             InstalledPackageTestCase, artifact, make_temp_dir, remove_temp_dir,
                             run, substitute_executables)
from harness import Capture  # noqa: E402  (found through package_harness)

HERE = os.path.dirname(os.path.abspath(__file__))


class Wheel(InstalledPackageTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.venv = make_temp_dir("harkwell-venv-")
        cls.addClassCleanup(remove_temp_dir, cls.venv)
        for argv in ([sys.executable, "-m", "venv", cls.venv],
                     [cls.venv_bin("pip"), "install", "--no-index", "--no-cache-dir",
                      "--disable-pip-version-check", artifact("wheel-linux")]):
            completed = run(argv, env=cls.server.env)
            if completed.returncode != 0:
                raise AssertionError("%s failed: %s" % (argv, completed.stderr.decode()[-2000:]))
        cls.probe_script = os.path.join(cls.venv, "probe.py")
        shutil.copy(os.path.join(HERE, "python", "probe.py"), cls.probe_script)

    @classmethod
    def venv_bin(cls, name):
        return os.path.join(cls.venv, "bin", name)

    def probe(self, *args, env=None):
        completed = run([self.venv_bin("python"), self.probe_script] + [str(a) for a in args],
                        env=env or self.server.env, timeout=WAIT_TIMEOUT + STOP_TIMEOUT,
                        cwd=self.venv)
        self.assertRun(completed, "probe.py %s" % " ".join(map(str, args)))
        return json.loads(completed.stdout.decode().strip().splitlines()[-1])

    def test_the_executables_are_inside_the_installed_package(self):
        found = run([self.venv_bin("python"), "-c",
                     "import harkwell; print(harkwell.binary_path('tool')); "
                     "print(harkwell.binary_path('lister'))"], env=self.server.env)
        self.assertRun(found, "binary_path")
        paths = found.stdout.decode().split()
        for path, name in zip(paths, ("harkwell", "harkwell-list")):
            self.assertTrue(path.startswith(self.venv) and path.endswith("/harkwell/bin/" + name),
                            path)
            self.assertReleaseExecutable(path, name)

    def test_records_a_player_tree_in_both_modes_and_stops(self):
        for mode in ("include", "exclude"):
            with self.subTest(mode=mode):
                wav = os.path.join(self.work, "python-%s.wav" % mode)
                answer = self.probe("record", self.tree_a.pid, mode, SECONDS, wav)
                self.assertEqual({"returncode": 0, "all_bytes": True}, answer)
                self.assertWavOfTreeA(wav, mode)

    def test_the_readme_example_records_five_seconds(self):
        self.assertReadmeExampleRecords("python", self.venv_bin("python"), self.venv)

    def test_read_returns_what_was_asked_and_leaving_the_block_stops(self):
        pcm = os.path.join(self.work, "python-read.pcm")
        answer = self.probe("read_exact", self.tree_a.pid, "include", SECONDS, pcm)
        self.assertEqual((0, answer["wanted"]), (answer["returncode"], answer["bytes"]))
        with open(pcm, "rb") as f:
            self.assertPcmOfTreeA(f.read(), "include")

    def test_failures_raise_with_the_status_and_message(self):
        substitutes = substitute_executables(self.work)
        no_server = self.probe("failure", self.tree_a.pid, env=self.no_server_env())
        self.assertEqual(("HarkwellError", 1, 0),
                         (no_server["name"], no_server["status"], no_server["bytes"]))
        self.assertTrue(no_server["tool_message"].startswith(
            "activate failed: 0x80070070: no PipeWire server to connect to"), no_server)
        self.assertIn(no_server["tool_message"], no_server["message"])

        no_library = self.probe("failure", self.tree_a.pid, env=dict(
            self.server.env, HARKWELL_BINARY=substitutes["no-pipewire"]))
        self.assertEqual(127, no_library["status"])
        self.assertIn(MISSING_LIBRARY_WORDS, no_library["message"])

        stuck = self.probe("stuck", "0.3", env=dict(
            self.server.env, HARKWELL_BINARY=substitutes["stuck"]))
        self.assertEqual((-9, "harkwell did not end within 0.3 s of its input closing and was "
                              "killed"), (stuck["status"], stuck["message"]))

        listing = self.probe("list_error", env=self.no_server_env())
        self.assertEqual(1, listing["status"])
        self.assertIn("harkwell-list exited with status 1: cannot reach the audio system: "
                      "0x80070070", listing["message"])

    def test_bad_arguments_are_refused_before_anything_starts(self):
        self.assertArgumentsRefused(self.probe("bad_arguments"), "ValueError", bad_pids=5)

    def test_list_streams_returns_typed_rows(self):
        answer = self.probe("list_streams")
        self.assertTrue(answer["typed"])
        self.assertListsTreeA(answer["rows"])

    def test_console_scripts_run_the_executables(self):
        listed = run([self.venv_bin("harkwell-list"), "--json"], env=self.server.env)
        self.assertRun(listed, "harkwell-list --json")
        self.assertListsTreeA([json.loads(line) for line in listed.stdout.decode().splitlines()])

        usage = run([self.venv_bin("harkwell"), "1"], env=self.server.env)
        self.assertEqual((2, b"usage: harkwell <pid> <include|exclude>\n"),
                         (usage.returncode, usage.stderr))

        capture = Capture(self.server.env, [self.tree_a.pid, "include"],
                          program=[self.venv_bin("harkwell")])
        self.addCleanup(capture.kill)
        self.assertTrue(capture.wait_for_sound(SECONDS), "nothing recorded through the script")
        result = capture.stop()
        self.assertEqual((0, b""), (result.status, result.stderr))
        self.assertPcmOfTreeA(result.stdout, "include")

    def test_an_override_that_names_nothing_is_reported(self):
        answer = self.probe("start_error", env=dict(self.server.env,
                                                    HARKWELL_BINARY="/nonexistent"))
        self.assertEqual("HARKWELL_BINARY names /nonexistent, which does not exist",
                         answer["message"])


if __name__ == "__main__":
    unittest.main()
