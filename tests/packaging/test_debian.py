"""The Debian package: lintian's verdict, then installed on this machine with
apt-get, run against a private PipeWire, its manual pages read, and removed
again, leaving the machine's packages as they were. Installing needs root
(or sudo without a password)."""

import json
import os
import re
import subprocess
import unittest

from package_harness import (COMMAND_TIMEOUT, SECONDS, VERSION, InstalledPackageTestCase,
                             artifact, run)
from harness import Capture  # noqa: E402  (found through package_harness)

APT_TIMEOUT = 600  # seconds for apt-get, which may wait for another's lock
INSTALLED_FILES = ["/usr/bin/harkwell", "/usr/bin/harkwell-list",
                   "/usr/share/man/man1/harkwell.1.gz", "/usr/share/man/man1/harkwell-list.1.gz",
                   "/usr/share/doc/harkwell/copyright"]


def as_root(argv):
    if os.geteuid() == 0:
        return argv
    if subprocess.run(["sudo", "-n", "true"], capture_output=True).returncode == 0:
        return ["sudo", "-n"] + argv
    raise AssertionError("installing the Debian package needs root or sudo without a password")


def installed_packages():
    """{package:architecture: version} of every installed package."""
    listing = run(["dpkg-query", "-W", "-f", "${Package}:${Architecture} ${Version} "
                   "${db:Status-Abbrev}\n"], check=True).stdout.decode()
    packages = {}
    for line in listing.splitlines():
        name, version, status = (line.split(" ", 2) + ["", ""])[:3]
        if status.startswith("ii"):
            packages[name] = version
    return packages


def new_packages(apt_output):
    """The packages apt-get says it installs anew."""
    match = re.search(r"^The following NEW packages will be installed:\n((?:  .*\n)+)",
                      apt_output, re.M)
    return match.group(1).split() if match else []


class DebianPackage(InstalledPackageTestCase):
    def apt_get(self, *args):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        return run(as_root(["apt-get", "-o", "DPkg::Lock::Timeout=300"] + list(args)), env=env,
                   timeout=APT_TIMEOUT)

    def test_lintian_reports_no_error_and_no_warning(self):
        completed = run(["lintian", "--fail-on", "error,warning", artifact("deb")],
                        timeout=COMMAND_TIMEOUT)
        report = completed.stdout.decode()
        self.assertEqual(0, completed.returncode, report + completed.stderr.decode())
        self.assertEqual([], [line for line in report.splitlines() if line[:2] in ("E:", "W:")])

    def test_installs_records_reads_its_manual_and_removes(self):
        before = installed_packages()
        self.assertNotIn("harkwell:amd64", before,
                         "harkwell is installed on this machine already; remove it first")
        install = self.apt_get("install", "-y", "--no-install-recommends", artifact("deb"))
        output = install.stdout.decode()
        added = new_packages(output)
        self.addCleanup(self.remove, added)  # also when a check below fails
        self.assertEqual(0, install.returncode, output + install.stderr.decode())
        self.assertIn("harkwell", added)
        self.assertEqual(VERSION + "-1", installed_packages().get("harkwell:amd64"))

        capture = Capture(self.server.env, [self.tree_a.pid, "include"],
                          program=["/usr/bin/harkwell"])
        self.addCleanup(capture.kill)
        self.assertTrue(capture.wait_for_sound(SECONDS), "nothing recorded by /usr/bin/harkwell")
        result = capture.stop()
        self.assertEqual((0, b""), (result.status, result.stderr))
        self.assertPcmOfTreeA(result.stdout, "include")

        listed = run(["/usr/bin/harkwell-list", "--json"], env=self.server.env)
        self.assertRun(listed, "harkwell-list --json")
        self.assertListsTreeA([json.loads(line) for line in listed.stdout.decode().splitlines()])

        pages = {"harkwell": ["SYNOPSIS", "OUTPUT FORMAT", "STOPPING", "EXIT STATUS",
                              "DIAGNOSTICS", "WHICH PID", "EXAMPLES", "activate failed"],
                 "harkwell-list": ["SYNOPSIS", "COLUMNS", "--json", "EXIT STATUS", "EXAMPLES"]}
        for page, sections in pages.items():
            with self.subTest(page=page):
                manual = run(["man", "-P", "cat", page], env=dict(self.server.env, MANWIDTH="80"))
                self.assertRun(manual, "man " + page)
                text = manual.stdout.decode()
                for words in sections + ["Harkwell " + VERSION]:
                    self.assertIn(words, text)

        self.remove(added)
        after = installed_packages()
        self.assertEqual([], [name for name in added
                              if name in {key.split(":")[0] for key in after}])
        self.assertEqual({}, {name: (version, after.get(name)) for name, version in before.items()
                              if after.get(name) != version})
        self.assertEqual([], [path for path in INSTALLED_FILES if os.path.exists(path)])

    def remove(self, packages):
        installed = {key.split(":")[0] for key in installed_packages()}
        present = [name for name in packages if name in installed]
        if present:
            completed = self.apt_get("purge", "-y", *present)
            self.assertEqual(0, completed.returncode, completed.stderr.decode())


if __name__ == "__main__":
    unittest.main()
