#!/usr/bin/env python3
"""Builds a platform wheel of the Python package harkwell with the standard
library alone: the package's modules, the platform's two executables in
harkwell/bin, and the metadata, console scripts and RECORD of a wheel.

    build_wheel.py linux|windows VERSION BIN_DIR DIST_DIR

The Linux wheel's tag is manylinux_2_N_x86_64, N the newest glibc symbol
version the executables need, read from their ELF version tables.
"""

import base64
import hashlib
import os
import re
import struct
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.join(HERE, "harkwell")
LICENSE = os.path.join(HERE, "..", "..", "LICENSE")
EXECUTABLES = {"linux": ["harkwell", "harkwell-list"],
               "windows": ["Harkwell.exe", "Harkwell-list.exe"]}
CONSOLE_SCRIPTS = {"harkwell": "harkwell._cli:tool", "harkwell-list": "harkwell._cli:lister"}
# A fixed time for every member, so that a wheel depends on its contents alone.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)

SUMMARY = "Record the audio one process tree plays (or everything else) as raw PCM"
DESCRIPTION = """\
# harkwell

Record the audio one process tree plays (or everything except that tree) as raw PCM: signed 16-bit
little-endian, 2 channels, 48 kHz, no header.

```python
import threading
import harkwell

with harkwell.capture(4242, "include") as cap, harkwell.wav_writer("app.wav") as wav:
    threading.Timer(5, cap.stop).start()   # five seconds, then stop
    for chunk in cap:
        wav.writeframes(chunk)
```

- `harkwell.capture(pid, mode)`: a context manager; iterating yields `bytes`, `read(n)` reads,
  `stop()` closes the tool's stdin, leaving the block stops it and waits for it (then ends it);
  status 1 or 2 raises `HarkwellError` with `status` and `tool_message`.
- Read continuously: a reader that pauses makes the tool wait to write, and the audio system drops
  what it cannot hold, with no marker in the stream.
- `harkwell.list_streams()`: the processes that play now (`pid`, `root`, `state`, `name`,
  `application`); pass `root` to `capture()`.
- Console scripts: `harkwell <pid> <include|exclude>` and `harkwell-list [--json]`.
- No dependencies beyond the standard library.

**On Linux** the executables need PipeWire's client library, which a wheel cannot declare: install
it from your distribution (Debian, Ubuntu: `apt install libpipewire-0.3-0`), and have a PipeWire
server running (with a session manager such as WirePlumber). Without the library or the server the
API raises `HarkwellError` saying which is missing. **On Windows** they need Windows 10 build 20348
or later.

`HARKWELL_BINARY` and `HARKWELL_LIST_BINARY` name executables of your own build in place of the
wheel's.
"""

ELF_CLASS_64 = 2
ELF_LITTLE_ENDIAN = 1
SHT_GNU_VERNEED = 0x6FFFFFFE


def elf_needed_versions(path):
    """{library: {version names}} from an ELF file's version-needs table
    (.gnu.version_r), as the dynamic loader will check them."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != ELF_CLASS_64 or data[5] != ELF_LITTLE_ENDIAN:
        raise ValueError("%s is not a 64-bit little-endian ELF file" % path)
    section_offset, = struct.unpack_from("<Q", data, 0x28)
    entry_size, count = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, section_offset + i * entry_size)
                for i in range(count)]

    def string(table, offset):
        start = sections[table][4] + offset
        return data[start:data.index(b"\0", start)].decode()

    needed = {}
    for _name, kind, _flags, _addr, offset, _size, link, info, _align, _entsize in sections:
        if kind != SHT_GNU_VERNEED:
            continue
        entry = offset
        for _ in range(info):  # sh_info: the number of Verneed entries
            _version, aux_count, file_name, aux, following = struct.unpack_from("<HHIII", data,
                                                                                 entry)
            versions = needed.setdefault(string(link, file_name), set())
            at = entry + aux
            for _ in range(aux_count):
                _hash, _flags, _other, name, next_aux = struct.unpack_from("<IHHII", data, at)
                versions.add(string(link, name))
                at += next_aux
            entry += following
    return needed


def glibc_minor(paths):
    """The newest GLIBC_2.N any of the executables needs: its N."""
    minors = [int(match.group(1)) for path in paths
              for versions in elf_needed_versions(path).values() for version in versions
              for match in [re.fullmatch(r"GLIBC_2\.(\d+)(?:\.\d+)?", version)] if match]
    if not minors:
        raise ValueError("no glibc symbol versions in %s" % paths)
    return max(minors)


def platform_tag(platform, executables):
    if platform == "windows":
        return "win_amd64"
    return "manylinux_2_%d_x86_64" % glibc_minor(executables)


def metadata(version):
    headers = [("Metadata-Version", "2.1"), ("Name", "harkwell"), ("Version", version),
               ("Summary", SUMMARY), ("License", "MIT"), ("Requires-Python", ">=3.8"),
               ("Keywords", "audio,capture,record,loopback,pcm,wav,pipewire"),
               ("Classifier", "License :: OSI Approved :: MIT License"),
               ("Classifier", "Operating System :: Microsoft :: Windows :: Windows 10"),
               ("Classifier", "Operating System :: Microsoft :: Windows :: Windows 11"),
               ("Classifier", "Operating System :: POSIX :: Linux"),
               ("Classifier", "Programming Language :: Python :: 3"),
               ("Classifier", "Topic :: Multimedia :: Sound/Audio :: Capture/Recording"),
               ("Description-Content-Type", "text/markdown")]
    return "".join("%s: %s\n" % pair for pair in headers) + "\n" + DESCRIPTION


def record_line(name, content):
    digest = base64.urlsafe_b64encode(hashlib.sha256(content).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(content))


def build(platform, version, bin_dir, dist_dir):
    executables = [os.path.join(bin_dir, name) for name in EXECUTABLES[platform]]
    tag = "py3-none-" + platform_tag(platform, executables)
    dist_info = "harkwell-%s.dist-info" % version
    members = []  # (name, content, executable)
    for name in sorted(os.listdir(PACKAGE_DIR)):
        if name.endswith(".py") or name == "py.typed":
            with open(os.path.join(PACKAGE_DIR, name), "rb") as f:
                members.append(("harkwell/" + name, f.read(), False))
    for path in executables:
        with open(path, "rb") as f:
            members.append(("harkwell/bin/" + os.path.basename(path), f.read(), True))
    with open(LICENSE, "rb") as f:
        members.append((dist_info + "/LICENSE", f.read(), False))
    members.append((dist_info + "/METADATA", metadata(version).encode(), False))
    members.append((dist_info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: harkwell build_wheel"
                                           "\nRoot-Is-Purelib: false\nTag: %s\n" % tag).encode(),
                    False))
    members.append((dist_info + "/entry_points.txt",
                    ("[console_scripts]\n" + "".join("%s = %s\n" % item
                                                     for item in CONSOLE_SCRIPTS.items())).encode(),
                    False))
    record = "".join(record_line(name, content) for name, content, _ in members)
    members.append((dist_info + "/RECORD", (record + dist_info + "/RECORD,,\n").encode(), False))

    os.makedirs(dist_dir, exist_ok=True)
    wheel = os.path.join(dist_dir, "harkwell-%s-%s.whl" % (version, tag))
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, content, executable in members:
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            archive.writestr(info, content)
    return wheel


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in EXECUTABLES:
        sys.exit(__doc__)
    print(build(*sys.argv[1:]))
