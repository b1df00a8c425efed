"""What every package in dist/ carries: the release executables and nothing
of a test build, the one version of the CMake project, and the metadata its
installer reads (npm's platform fields, the wheels' tags and records, the
Debian package's control fields and files)."""

import base64
import gzip
import csv
import hashlib
import io
import json
import os
import re
import struct
import sys
import unittest

from package_harness import (LINUX_EXECUTABLES, ROOT, VERSION, WINDOWS_EXECUTABLES, artifact,
                             release_build, run, tarball_members, wheel_members)

sys.path.insert(0, os.path.join(ROOT, "tests", "windows", "release"))
from check_pe import PeImage  # noqa: E402

RT_MANIFEST = 24
VS_FIXEDFILEINFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def deb_members(path):
    """{path: mode} of the files and folders in a Debian package."""
    listing = run(["dpkg-deb", "--contents", path], check=True).stdout.decode()
    members = {}
    for line in listing.splitlines():
        fields = line.split()
        permissions, name = fields[0], fields[5]
        members[name.lstrip(".")] = permissions
    return members


def deb_file(path, member):
    """The bytes of one file in a Debian package."""
    return run(["sh", "-c", 'dpkg-deb --fsys-tarfile "$1" | tar -xOf - ".$2"', "sh", path, member],
               check=True).stdout


def pe_file_version(data):
    """The file version in an executable's version resource, as a.b.c.d."""
    at = data.find(VS_FIXEDFILEINFO_SIGNATURE)
    if at < 0:
        raise AssertionError("no VS_FIXEDFILEINFO in the executable")
    high, low = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def pe_version_string(data, field):
    """A value of the version resource's string table, such as FileVersion."""
    key = (field + "\0").encode("utf-16-le")
    at = data.find(key)
    if at < 0:
        raise AssertionError("no %s in the version resource" % field)
    at += len(key)
    while data[at:at + 2] == b"\0\0":  # padding to a 32-bit boundary
        at += 2
    text = data[at:at + 256].decode("utf-16-le", "replace")
    return text.split("\0", 1)[0]


def elf_section_names(data):
    section_offset, = struct.unpack_from("<Q", data, 0x28)
    entry_size, count, names_index = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQ", data, section_offset + i * entry_size)
               for i in range(count)]
    names_at = headers[names_index][4]
    return [data[names_at + name:data.index(b"\0", names_at + name)].decode()
            for name, *_ in headers]


def readelf_glibc_minor(path):
    """The newest GLIBC_2.N an executable needs, as binutils' readelf reads it."""
    listing = run(["readelf", "--version-info", "--wide", path], check=True).stdout.decode()
    return max(int(minor) for minor in re.findall(r"Name: GLIBC_2\.(\d+)", listing))


class ReleaseExecutables(unittest.TestCase):
    """Every package's executables are byte for byte the release presets'
    builds, which are stripped and carry the project's version."""

    def packaged_executables(self):
        """(package, name, bytes) of every executable in every package."""
        found = []
        for kind in ("npm-linux", "npm-windows"):
            contents, _ = tarball_members(artifact(kind))
            found += [(kind, name.rsplit("/", 1)[1], data) for name, data in contents.items()
                      if name.startswith("package/bin/")]
        for kind in ("wheel-linux", "wheel-windows"):
            contents, _ = wheel_members(artifact(kind))
            found += [(kind, name.rsplit("/", 1)[1], data) for name, data in contents.items()
                      if name.startswith("harkwell/bin/")]
        deb = artifact("deb")
        found += [("deb", name, deb_file(deb, "/usr/bin/" + name)) for name in LINUX_EXECUTABLES]
        return found

    def test_every_package_carries_the_release_builds(self):
        found = self.packaged_executables()
        expected = sorted([(kind, name) for kind in ("npm-linux", "wheel-linux", "deb")
                           for name in LINUX_EXECUTABLES] +
                          [(kind, name) for kind in ("npm-windows", "wheel-windows")
                           for name in WINDOWS_EXECUTABLES])
        self.assertEqual(expected, sorted((kind, name) for kind, name, _ in found))
        for kind, name, data in found:
            with self.subTest(package=kind, executable=name):
                self.assertTrue(data == release_build(name),
                                "%s in %s is not the release build" % (name, kind))

    def test_the_release_builds_are_stripped_and_not_instrumented(self):
        for name in LINUX_EXECUTABLES:
            with self.subTest(executable=name):
                data = release_build(name)
                self.assertNotIn(".symtab", elf_section_names(data))
                self.assertNotIn(".debug_info", elf_section_names(data))
                self.assertNotIn(b"__asan_init", data)
        for name in WINDOWS_EXECUTABLES:
            with self.subTest(executable=name):
                image = PeImage(release_build(name))
                self.assertEqual(0, image.symbol_count)
                # The test build of the lister is redirected to the simulated
                # audio system by a manifest; the release build has none.
                self.assertNotIn(RT_MANIFEST, image.resource_types())

    def test_the_windows_executables_carry_the_project_version(self):
        for name in WINDOWS_EXECUTABLES:
            with self.subTest(executable=name):
                data = release_build(name)
                self.assertEqual(VERSION + ".0", pe_file_version(data))
                for field in ("FileVersion", "ProductVersion"):
                    self.assertEqual(VERSION, pe_version_string(data, field))

    def test_no_package_carries_a_manifest_or_test_file(self):
        names = list(tarball_members(artifact("npm-windows"))[0]) + \
            list(wheel_members(artifact("wheel-windows"))[0]) + list(deb_members(artifact("deb")))
        for name in names:
            self.assertFalse(re.search(r"\.manifest$|simaudio|mmdevapi\.dll|test", name, re.I),
                             name)


class NpmPackages(unittest.TestCase):
    def manifest(self, kind):
        contents, _ = tarball_members(artifact(kind))
        return json.loads(contents["package/package.json"])

    def test_one_version_and_exact_pins(self):
        main = self.manifest("npm")
        self.assertEqual(VERSION, main["version"])
        self.assertEqual({"@harkwell/linux-x64": VERSION, "@harkwell/win32-x64": VERSION},
                         main["optionalDependencies"])
        for kind in ("npm-linux", "npm-windows"):
            self.assertEqual(VERSION, self.manifest(kind)["version"])

    def test_no_install_scripts_and_typed(self):
        main = self.manifest("npm")
        for kind in ("npm", "npm-linux", "npm-windows"):
            self.assertNotIn("scripts", self.manifest(kind), kind)
        contents, modes = tarball_members(artifact("npm"))
        self.assertIn("package/" + main["types"], contents)
        self.assertEqual({"harkwell": "bin/harkwell.js", "harkwell-list": "bin/harkwell-list.js"},
                         main["bin"])
        for shim in main["bin"].values():
            self.assertTrue(contents["package/" + shim].startswith(b"#!/usr/bin/env node\n"))

    def test_platform_packages_hold_their_executables_only(self):
        cases = [("npm-linux", "@harkwell/linux-x64", ["linux"], ["x64"], ["glibc"],
                  LINUX_EXECUTABLES),
                 ("npm-windows", "@harkwell/win32-x64", ["win32"], ["x64"], None,
                  WINDOWS_EXECUTABLES)]
        for kind, name, system, cpu, libc, executables in cases:
            with self.subTest(package=name):
                manifest = self.manifest(kind)
                self.assertEqual((name, system, cpu, libc),
                                 (manifest["name"], manifest["os"], manifest["cpu"],
                                  manifest.get("libc")))
                contents, modes = tarball_members(artifact(kind))
                self.assertEqual(sorted(["package/package.json", "package/README.md",
                                         "package/LICENSE"] +
                                        ["package/bin/" + exe for exe in executables]),
                                 sorted(contents))
                for exe in executables:
                    self.assertEqual(0o755, modes["package/bin/" + exe] & 0o777)


class Wheels(unittest.TestCase):
    def dist_info(self, contents, member):
        return contents["harkwell-%s.dist-info/%s" % (VERSION, member)].decode()

    def test_tags_versions_records_and_scripts(self):
        cases = [("wheel-linux", LINUX_EXECUTABLES), ("wheel-windows", WINDOWS_EXECUTABLES)]
        for kind, executables in cases:
            with self.subTest(wheel=kind):
                path = artifact(kind)
                contents, modes = wheel_members(path)
                tag = os.path.basename(path)[:-len(".whl")].split("-", 2)[2]
                wheel = self.dist_info(contents, "WHEEL")
                self.assertIn("Tag: %s\n" % tag, wheel)
                self.assertIn("Root-Is-Purelib: false\n", wheel)
                self.assertIn("Version: %s\n" % VERSION, self.dist_info(contents, "METADATA"))
                self.assertIn("libpipewire-0.3-0", self.dist_info(contents, "METADATA"))
                self.assertIn("harkwell = harkwell._cli:tool\n",
                              self.dist_info(contents, "entry_points.txt"))
                self.assertIn("harkwell-list = harkwell._cli:lister\n",
                              self.dist_info(contents, "entry_points.txt"))
                self.assertEqual(sorted("harkwell/bin/" + exe for exe in executables),
                                 sorted(name for name in contents
                                        if name.startswith("harkwell/bin/")))
                for exe in executables:
                    self.assertEqual(0o755, modes["harkwell/bin/" + exe] & 0o777)
                self.assertRecordMatches(contents)

    def assertRecordMatches(self, contents):
        record_name = "harkwell-%s.dist-info/RECORD" % VERSION
        rows = list(csv.reader(io.StringIO(contents[record_name].decode())))
        self.assertEqual(sorted(contents), sorted(row[0] for row in rows))
        for name, digest, size in rows:
            if name == record_name:
                continue
            data = contents[name]
            expected = "sha256=" + base64.urlsafe_b64encode(
                hashlib.sha256(data).digest()).rstrip(b"=").decode()
            self.assertEqual((expected, str(len(data))), (digest, size), name)

    def test_windows_wheel_is_for_64_bit_windows(self):
        self.assertTrue(artifact("wheel-windows").endswith("-py3-none-win_amd64.whl"))

    def test_linux_tag_names_the_glibc_the_executables_need(self):
        needed = max(readelf_glibc_minor(os.path.join(ROOT, "build", "linux-release", name))
                     for name in LINUX_EXECUTABLES)
        self.assertTrue(artifact("wheel-linux").endswith(
            "-py3-none-manylinux_2_%d_x86_64.whl" % needed), artifact("wheel-linux"))


class DebianPackage(unittest.TestCase):
    def control(self, field):
        return run(["dpkg-deb", "--field", artifact("deb"), field],
                   check=True).stdout.decode().strip()

    def test_version_and_computed_dependencies(self):
        self.assertEqual(("harkwell", VERSION + "-1", "amd64"),
                         (self.control("Package"), self.control("Version"),
                          self.control("Architecture")))
        depends = [clause.strip().split()[0] for clause in self.control("Depends").split(",")]
        # From dpkg-shlibdeps: the C library, the C++ runtime and PipeWire's client library.
        for package in ("libc6", "libpipewire-0.3-0", "libstdc++6"):
            self.assertIn(package, depends)

    def test_files_and_their_modes(self):
        members = deb_members(artifact("deb"))
        files = {name: mode for name, mode in members.items() if not name.endswith("/")}
        self.assertEqual({
            "/usr/bin/harkwell": "-rwxr-xr-x",
            "/usr/bin/harkwell-list": "-rwxr-xr-x",
            "/usr/share/man/man1/harkwell.1.gz": "-rw-r--r--",
            "/usr/share/man/man1/harkwell-list.1.gz": "-rw-r--r--",
            "/usr/share/doc/harkwell/copyright": "-rw-r--r--",
            "/usr/share/doc/harkwell/changelog.Debian.gz": "-rw-r--r--",
            "/usr/share/lintian/overrides/harkwell": "-rw-r--r--",
        }, files)
        for name, mode in members.items():
            if name.endswith("/"):
                self.assertEqual("drwxr-xr-x", mode, name)

    def test_manual_pages_and_changelog_carry_the_version(self):
        deb = artifact("deb")
        for page in ("harkwell", "harkwell-list"):
            text = gzip.decompress(deb_file(deb, "/usr/share/man/man1/%s.1.gz" % page)).decode()
            self.assertIn('"Harkwell %s"' % VERSION, text.splitlines()[1])
        changelog = gzip.decompress(deb_file(deb, "/usr/share/doc/harkwell/changelog.Debian.gz"))
        self.assertTrue(changelog.startswith(("harkwell (%s-1) " % VERSION).encode()))


if __name__ == "__main__":
    unittest.main()
