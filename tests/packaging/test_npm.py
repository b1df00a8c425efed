"""The npm packages, installed as a user installs them: published to a private
registry on 127.0.0.1 (verdaccio, no uplink), installed with npm into fresh
projects, and driven through the public API and the commands against a
private PipeWire with real players.

verdaccio and TypeScript come from tools/install-deps.sh, in
HARKWELL_NPM_TOOLS (default ~/.cache/harkwell/npm-tools).
"""

import json
import os
import shutil
import socket
import unittest
import urllib.request

from package_harness import (LINUX_RELEASE, MISSING_LIBRARY_WORDS, SECONDS, STOP_TIMEOUT,
                             VERSION, WAIT_TIMEOUT, InstalledPackageTestCase, artifact,
                             make_temp_dir, remove_temp_dir, run, substitute_executables,
                             wait_until)
from harness import Capture  # noqa: E402  (found through package_harness)
from process_groups import end_group, spawn  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
NPM_TOOLS = os.environ.get("HARKWELL_NPM_TOOLS") or \
    os.path.expanduser("~/.cache/harkwell/npm-tools")
TOOL_BIN = os.path.join(NPM_TOOLS, "node_modules", ".bin")
REGISTRY_START_TIMEOUT = 60.0

VERDACCIO_CONFIG = """\
storage: %(storage)s
auth:
  htpasswd:
    file: %(htpasswd)s
uplinks: {}
packages:
  '**':
    access: $all
    publish: $authenticated
server:
  keepAliveTimeout: 0
log: { type: file, path: %(log)s, level: warn }
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class PrivateRegistry:
    """verdaccio on 127.0.0.1 with no uplink: it serves what is published to
    it and nothing else."""

    def __init__(self, env):
        self.root = make_temp_dir("harkwell-registry-")
        self.port = free_port()
        self.url = "http://127.0.0.1:%d/" % self.port
        self.log = os.path.join(self.root, "verdaccio.log")
        config = os.path.join(self.root, "config.yaml")
        with open(config, "w") as f:
            f.write(VERDACCIO_CONFIG % {"storage": os.path.join(self.root, "storage"),
                                        "htpasswd": os.path.join(self.root, "htpasswd"),
                                        "log": self.log})
        verdaccio = os.path.join(TOOL_BIN, "verdaccio")
        if not os.access(verdaccio, os.X_OK):
            raise AssertionError("%s is missing: run tools/install-deps.sh" % verdaccio)
        self.process = spawn([verdaccio, "--config", config,
                              "--listen", "127.0.0.1:%d" % self.port], env, cwd=self.root)
        try:
            self._wait_ready()
            self.npmrc = os.path.join(self.root, "npmrc")
            with open(self.npmrc, "w") as f:
                f.write("registry=%s\n//127.0.0.1:%d/:_authToken=%s\n"
                        % (self.url, self.port, self._add_user()))
        except BaseException:
            self.stop()
            raise

    def _wait_ready(self):
        def answers():
            try:
                with urllib.request.urlopen(self.url + "-/ping", timeout=2) as response:
                    return response.status == 200
            except OSError:
                return False
        if not wait_until(answers, REGISTRY_START_TIMEOUT, interval=0.2):
            raise AssertionError("verdaccio did not answer on %s within %.0f s"
                                 % (self.url, REGISTRY_START_TIMEOUT))

    def _add_user(self):
        """Registers a user (verdaccio's htpasswd accepts new ones) and
        returns its token, with which npm publishes."""
        body = json.dumps({"name": "harkwell-test", "password": "harkwell-test"}).encode()
        request = urllib.request.Request(self.url + "-/user/org.couchdb.user:harkwell-test",
                                         data=body, method="PUT",
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=WAIT_TIMEOUT) as response:
            return json.load(response)["token"]

    def stop(self):
        end_group(self.process)
        remove_temp_dir(self.root)


class NpmPackages(InstalledPackageTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.registry = PrivateRegistry(cls.server.env)
        cls.addClassCleanup(cls.registry.stop)
        cls.npm_cache = make_temp_dir("harkwell-npm-cache-")
        cls.addClassCleanup(remove_temp_dir, cls.npm_cache)
        for kind in ("npm-linux", "npm-windows", "npm"):
            completed = run(["npm", "publish", artifact(kind)], env=cls.npm_env())
            if completed.returncode != 0:
                raise AssertionError("npm publish %s failed: %s"
                                     % (artifact(kind), completed.stderr.decode()[-2000:]))
        cls.project = cls.install_project()

    @classmethod
    def npm_env(cls, **extra):
        return dict(cls.server.env, npm_config_userconfig=cls.registry.npmrc,
                    npm_config_cache=cls.npm_cache, npm_config_audit="false",
                    npm_config_fund="false", npm_config_update_notifier="false", **extra)

    @classmethod
    def install_project(cls, *options):
        """A fresh project that ran `npm install harkwell` with these options."""
        project = make_temp_dir("harkwell-npm-project-")
        cls.addClassCleanup(remove_temp_dir, project)
        with open(os.path.join(project, "package.json"), "w") as f:
            json.dump({"name": "recorder", "version": "1.0.0", "private": True}, f)
        completed = run(["npm", "install", "harkwell@" + VERSION] + list(options),
                        cwd=project, env=cls.npm_env())
        if completed.returncode != 0:
            raise AssertionError("npm install harkwell %s failed: %s"
                                 % (" ".join(options), completed.stderr.decode()[-2000:]))
        shutil.copy(os.path.join(HERE, "node", "probe.js"), project)
        return project

    def probe(self, *args, project=None, env=None):
        """Runs one command of probe.js in a project; its JSON answer."""
        completed = run(["node", "probe.js"] + [str(arg) for arg in args],
                        cwd=project or self.project, env=env or self.server.env,
                        timeout=WAIT_TIMEOUT + STOP_TIMEOUT)
        self.assertRun(completed, "probe.js %s" % " ".join(map(str, args)))
        answer = json.loads(completed.stdout.decode().strip().splitlines()[-1])
        self.assertNotIn("unexpected", answer)
        return answer

    def installed(self, project, relative):
        return os.path.join(project, "node_modules", relative)

    def test_installs_the_main_package_and_this_platforms_executables(self):
        self.assertTrue(os.path.isdir(self.installed(self.project, "harkwell")))
        self.assertFalse(os.path.exists(self.installed(self.project, "@harkwell/win32-x64")))
        for name in ("harkwell", "harkwell-list"):
            path = self.installed(self.project, "@harkwell/linux-x64/bin/" + name)
            self.assertReleaseExecutable(path, name)

    def test_records_a_player_tree_in_both_modes_and_stops(self):
        for mode in ("include", "exclude"):
            with self.subTest(mode=mode):
                wav = os.path.join(self.work, "npm-%s.wav" % mode)
                answer = self.probe("record", self.tree_a.pid, mode, SECONDS, wav)
                self.assertEqual(0, answer["status"])
                self.assertEqual({"encoding": "s16le", "sampleRate": 48000, "channels": 2,
                                  "bitsPerSample": 16, "bytesPerFrame": 4}, answer["format"])
                self.assertWavOfTreeA(wav, mode)

    def test_the_readme_example_records_five_seconds(self):
        self.assertReadmeExampleRecords("js", "node", self.project)

    def test_an_aborted_signal_stops_the_capture(self):
        pcm = os.path.join(self.work, "npm-abort.pcm")
        answer = self.probe("abort", self.tree_a.pid, "include", SECONDS, pcm)
        self.assertEqual({"aborted": True, "chunksAreBuffers": True}, answer)
        with open(pcm, "rb") as f:
            self.assertPcmOfTreeA(f.read(), "include")

    def test_bad_arguments_are_refused_before_anything_starts(self):
        self.assertArgumentsRefused(self.probe("badArguments"), "RangeError", bad_pids=4)

    def test_no_server_rejects_done_with_the_status_and_message(self):
        answer = self.probe("failure", self.tree_a.pid, env=self.no_server_env())
        self.assertEqual(1, answer["status"])
        self.assertTrue(answer["isHarkwellError"])
        self.assertTrue(answer["streamReportsIt"])
        self.assertTrue(answer["toolMessage"].startswith(
            "activate failed: 0x80070070: no PipeWire server to connect to"), answer)
        self.assertIn(answer["toolMessage"], answer["message"])

    def test_a_missing_library_and_a_tool_that_does_not_end(self):
        substitutes = substitute_executables(self.work)
        answer = self.probe("failure", self.tree_a.pid, env=dict(
            self.server.env, HARKWELL_BINARY=substitutes["no-pipewire"]))
        self.assertEqual(127, answer["status"])
        self.assertIn(MISSING_LIBRARY_WORDS, answer["message"])

        answer = self.probe("stuck", 300, env=dict(self.server.env,
                                                   HARKWELL_BINARY=substitutes["stuck"]))
        self.assertEqual((None, "harkwell was killed by SIGKILL"),
                         (answer["status"], answer["message"]))

    def test_list_streams_names_the_players(self):
        self.assertListsTreeA(self.probe("list"))

    def test_commands_run_the_executables(self):
        listed = run(["npx", "harkwell-list", "--json"], cwd=self.project,
                     env=self.npm_env())
        self.assertRun(listed, "npx harkwell-list --json")
        self.assertListsTreeA([json.loads(line) for line in listed.stdout.decode().splitlines()])

        shim = self.installed(self.project, ".bin/harkwell")
        usage = run([shim, "1"], env=self.server.env)
        self.assertEqual((2, b"usage: harkwell <pid> <include|exclude>\n"),
                         (usage.returncode, usage.stderr))

        capture = Capture(self.server.env, [self.tree_a.pid, "include"], program=[shim])
        self.addCleanup(capture.kill)
        self.assertTrue(capture.wait_for_sound(SECONDS), "nothing recorded through the command")
        result = capture.stop()
        self.assertEqual((0, b""), (result.status, result.stderr))
        self.assertPcmOfTreeA(result.stdout, "include")

    def test_typescript_declarations_compile_a_users_program(self):
        shutil.copy(os.path.join(HERE, "node", "usage.ts"), self.project)
        completed = run([os.path.join(TOOL_BIN, "tsc"), "--noEmit", "--strict",
                         "--target", "es2022", "--module", "commonjs", "--moduleResolution",
                         "node", "--types", "node", "--typeRoots",
                         os.path.join(NPM_TOOLS, "node_modules", "@types"), "usage.ts"],
                        cwd=self.project, env=self.server.env)
        self.assertRun(completed, "tsc usage.ts")

    def test_without_the_optional_dependency_every_way_in_says_so(self):
        project = self.install_project("--omit=optional")
        self.assertFalse(os.path.exists(self.installed(project, "@harkwell/linux-x64")))
        words = ("needs the package @harkwell/linux-x64 for linux-x64 (glibc), and it is not "
                 "installed")
        answer = self.probe("startError", project=project)
        self.assertIn(words, answer["message"])
        self.assertIn("--omit=optional", answer["message"])
        for command in ("harkwell", "harkwell-list"):
            with self.subTest(command=command):
                completed = run([self.installed(project, ".bin/" + command)], env=self.server.env)
                self.assertEqual(1, completed.returncode)
                self.assertIn(words.encode(), completed.stderr)
        # The override variable names an executable in its place.
        shim = self.installed(project, ".bin/harkwell")
        overridden = run([shim, "1"], env=dict(self.server.env, HARKWELL_BINARY=os.path.join(
            LINUX_RELEASE, "harkwell")))
        self.assertEqual((2, b"usage: harkwell <pid> <include|exclude>\n"),
                         (overridden.returncode, overridden.stderr))
        missing = run([shim, "1"], env=dict(self.server.env, HARKWELL_BINARY="/nonexistent"))
        self.assertEqual((1, b"HARKWELL_BINARY names /nonexistent, which does not exist\n"),
                         (missing.returncode, missing.stderr))

    def test_platforms_injected_into_the_resolution(self):
        windows_project = self.install_project("--os=win32", "--cpu=x64")
        self.assertFalse(os.path.exists(self.installed(windows_project, "@harkwell/linux-x64")))
        found = self.probe("resolve", "win32", "x64", project=windows_project)
        for key, name in (("tool", "Harkwell.exe"), ("lister", "Harkwell-list.exe")):
            self.assertEqual(self.installed(windows_project, "@harkwell/win32-x64/bin/" + name),
                             found.get(key), found)
            self.assertReleaseExecutable(found[key], name)

        cases = [
            (windows_project, ("linux", "x64", "glibc"),
             "found @harkwell/win32-x64 but this machine is linux-x64 (glibc), which needs "
             "@harkwell/linux-x64"),
            (self.project, ("win32", "x64", ""),
             "found @harkwell/linux-x64 but this machine is win32-x64, which needs "
             "@harkwell/win32-x64"),
            (self.project, ("darwin", "arm64", ""),
             "harkwell has no executable for darwin-arm64; it ships for linux-x64 (glibc) and "
             "win32-x64"),
            (self.project, ("linux", "x64", "musl"), "no executable for linux-x64 (musl)"),
            (self.project, ("win32", "ia32", ""), "no executable for win32-ia32"),
        ]
        for project, host, words in cases:
            with self.subTest(host=host):
                answer = self.probe("resolve", *host, project=project)
                self.assertIn(words, answer.get("message", ""), answer)


if __name__ == "__main__":
    unittest.main()
