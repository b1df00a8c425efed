"""What the package tests share: the artifacts tools/package.sh wrote into
dist/, the release builds they must carry, and a private PipeWire with two
player trees for the installed packages to record.

The server, the players and the process groups come from the Linux tests'
harness (tests/linux/e2e).
"""

import os
import subprocess
import sys
import tarfile
import wave
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "linux", "e2e"))

# The timeouts and wait_until are here for the package tests too.
from harness import (STOP_TIMEOUT, TWO_TREES_A_HZ, TWO_TREES_B_HZ,  # noqa: E402
                     WAIT_TIMEOUT, TwoTreesTestCase, wait_until)
from pcm import Pcm  # noqa: E402
from process_groups import make_temp_dir, remove_temp_dir  # noqa: E402

DIST = os.path.join(ROOT, "dist")
LINUX_RELEASE = os.path.join(ROOT, "build", "linux-release")
WINDOWS_RELEASE = os.path.join(ROOT, "build", "mingw-release")
LINUX_EXECUTABLES = ["harkwell", "harkwell-list"]
WINDOWS_EXECUTABLES = ["Harkwell.exe", "Harkwell-list.exe"]
COMMAND_TIMEOUT = 120  # seconds for an install, a pack or a publish

AMPLITUDE = 0.3
TREE_A_HZ = TWO_TREES_A_HZ  # played by tree A, the one recorded
TREE_B_HZ = TWO_TREES_B_HZ  # played by tree B, everything else
SECONDS = 1.5  # recorded by each run


def project_version():
    """The version set in the CMake project, as the release build saw it."""
    with open(os.path.join(LINUX_RELEASE, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:STATIC="):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no project version in the linux-release build")


VERSION = project_version()
ARTIFACTS = {
    "deb": "harkwell_%s-1_amd64.deb" % VERSION,
    "npm": "harkwell-%s.tgz" % VERSION,
    "npm-linux": "harkwell-linux-x64-%s.tgz" % VERSION,
    "npm-windows": "harkwell-win32-x64-%s.tgz" % VERSION,
    "wheel-windows": "harkwell-%s-py3-none-win_amd64.whl" % VERSION,
}


def artifact(kind):
    """The path of an artifact in dist/; the Linux wheel's name carries the
    glibc its executables need, so it is looked up by its other parts."""
    if kind == "wheel-linux":
        names = [name for name in sorted(os.listdir(DIST))
                 if name.startswith("harkwell-%s-py3-none-manylinux_2_" % VERSION)
                 and name.endswith("_x86_64.whl")]
        if len(names) != 1:
            raise AssertionError("expected one Linux wheel in dist/, found %s" % names)
        return os.path.join(DIST, names[0])
    path = os.path.join(DIST, ARTIFACTS[kind])
    if not os.path.exists(path):
        raise AssertionError("%s is missing: run tools/package.sh first" % path)
    return path


def readme_example(language):
    """The example in that language in the README's Install section."""
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    section = text[text.index("\n## Install\n"):]
    section = section[:section.index("\n## ", 1)]
    start = section.index("```%s\n" % language) + len(language) + 4
    return section[start:section.index("```", start)]


README_EXAMPLE_SECONDS = 5  # what the README's examples record


def release_build(name):
    """The bytes of an executable as the release preset built it."""
    folder = LINUX_RELEASE if name in LINUX_EXECUTABLES else WINDOWS_RELEASE
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


def substitute_executables(folder):
    """Executables that fail as an installed package can meet them:
    "no-pipewire" is the release harkwell linked against a PipeWire library
    that does not exist (as on a machine without it), "stuck" a program that
    does not end when its stdin closes."""
    with open(os.path.join(LINUX_RELEASE, "harkwell"), "rb") as f:
        data = f.read()
    needed = b"libpipewire-0.3.so.0\0"
    if data.count(needed) != 1:
        raise AssertionError("harkwell does not name %r once" % needed)
    paths = {"no-pipewire": os.path.join(folder, "harkwell-no-pipewire"),
             "stuck": os.path.join(folder, "harkwell-stuck")}
    with open(paths["no-pipewire"], "wb") as f:
        f.write(data.replace(needed, b"libpipewire-0.3.so.9\0"))
    with open(paths["stuck"], "w") as f:
        f.write("#!/bin/sh\nexec sleep 60\n")
    for path in paths.values():
        os.chmod(path, 0o755)
    return paths


MISSING_LIBRARY_WORDS = ("harkwell cannot start: the shared library libpipewire-0.3.so.9 is "
                         "missing. It needs the PipeWire client library (Debian, Ubuntu: apt "
                         "install libpipewire-0.3-0)")


def tarball_members(path):
    """{name: bytes or None for folders} of an npm tarball, and their modes."""
    contents, modes = {}, {}
    with tarfile.open(path) as archive:
        for member in archive.getmembers():
            modes[member.name] = member.mode
            contents[member.name] = archive.extractfile(member).read() if member.isfile() else None
    return contents, modes


def wheel_members(path):
    """{name: bytes} of a wheel, and {name: unix mode}."""
    with zipfile.ZipFile(path) as archive:
        return ({info.filename: archive.read(info) for info in archive.infolist()},
                {info.filename: info.external_attr >> 16 for info in archive.infolist()})


def run(argv, timeout=COMMAND_TIMEOUT, **kwargs):
    """Runs a command to its end; its output is kept for the failure message."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(argv, capture_output=True, timeout=timeout, **kwargs)


class InstalledPackageTestCase(TwoTreesTestCase):
    """The two player trees, and checks of what a package installed."""

    def no_server_env(self):
        """The private environment with a runtime folder no server listens in."""
        runtime = make_temp_dir("harkwell-no-server-")
        self.addCleanup(remove_temp_dir, runtime)
        return dict(self.server.env, XDG_RUNTIME_DIR=runtime)

    def assertReleaseExecutable(self, path, name):
        """An installed executable: runnable, and byte for byte the release build."""
        self.assertTrue(os.access(path, os.X_OK), path)
        with open(path, "rb") as f:
            self.assertTrue(f.read() == release_build(name), "%s is not the release build" % path)

    def assertReadmeExampleRecords(self, language, interpreter, folder):
        """The README's example in that language, run in `folder` where the
        package is installed, writes a WAV file of tree A."""
        script = os.path.join(folder, "readme-example." + {"js": "js", "python": "py"}[language])
        with open(script, "w") as f:
            f.write(readme_example(language))
        completed = run([interpreter, script, str(self.tree_a.pid)], cwd=folder,
                        env=self.server.env, timeout=README_EXAMPLE_SECONDS + STOP_TIMEOUT)
        self.assertRun(completed, "the README's %s example" % language)
        self.assertWavOfTreeA(os.path.join(folder, "app.wav"), "include", README_EXAMPLE_SECONDS)

    def assertArgumentsRefused(self, answers, error_name, bad_pids):
        """The probe's answers to its bad arguments: `bad_pids` bad pids, then
        a bad mode, each refused with an error of that name."""
        expected = ["pid must be a process id"] * bad_pids + ['mode must be "include" or "exclude"']
        self.assertEqual(len(expected), len(answers), answers)
        for answer, words in zip(answers, expected):
            self.assertEqual(error_name, answer.get("name"), answer)
            self.assertIn(words, answer["message"])

    def assertRun(self, completed, what):
        self.assertEqual(0, completed.returncode, "%s failed: %s %s"
                         % (what, completed.stdout[-2000:], completed.stderr[-2000:]))

    def assertWavOfTreeA(self, path, mode, seconds=SECONDS):
        """A PCM WAV file in harkwell's format that hears tree A alone
        (include) or tree B alone (exclude)."""
        with wave.open(path, "rb") as wav:
            self.assertEqual((2, 2, 48000, "NONE"), (wav.getnchannels(), wav.getsampwidth(),
                                                     wav.getframerate(), wav.getcomptype()))
            frames = wav.readframes(wav.getnframes())
        self.assertEqual(os.path.getsize(path), 44 + len(frames),
                         "the header's sizes do not match the file")
        self.assertPcmOfTreeA(frames, mode, seconds)

    def assertPcmOfTreeA(self, data, mode, seconds=SECONDS):
        heard, other = (TREE_A_HZ, TREE_B_HZ) if mode == "include" else (TREE_B_HZ, TREE_A_HZ)
        self.assertEqual(0, len(data) % 4, "a partial frame")
        pcm = Pcm(data)
        self.assertHears(pcm, heard, seconds - 0.5, AMPLITUDE)
        self.assertDoesNotHear(pcm, other, AMPLITUDE)

    def assertListsTreeA(self, rows):
        """harkwell-list's rows, as dicts, name tree A's player with its
        root, and tree B's."""
        players = {row["pid"]: row for row in rows}
        for tree in (self.tree_a, self.tree_b):
            playing = [pid for pid in tree.pids() if pid in players]
            self.assertTrue(playing, "no row for tree %d in %s" % (tree.pid, rows))
            self.assertEqual("active", players[playing[0]]["state"])
