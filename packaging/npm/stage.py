#!/usr/bin/env python3
"""Stages the npm packages and packs them: the main package `harkwell` and
one package per platform holding its two executables.

    stage.py VERSION LINUX_BIN_DIR WINDOWS_BIN_DIR WORK_DIR DIST_DIR
"""

import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
LICENSE = os.path.join(HERE, "..", "..", "LICENSE")

# npm's name for the platform: (os, cpu, libc or None, executables)
PLATFORMS = {
    "linux-x64": ("linux", "x64", "glibc", ["harkwell", "harkwell-list"]),
    "win32-x64": ("win32", "x64", None, ["Harkwell.exe", "Harkwell-list.exe"]),
}


def write_json(path, value):
    with open(path, "w") as f:
        json.dump(value, f, indent=2)
        f.write("\n")


def stage_main(version, work):
    target = os.path.join(work, "harkwell")
    shutil.copytree(os.path.join(HERE, "harkwell"), target)
    shutil.copy(LICENSE, target)
    path = os.path.join(target, "package.json")
    with open(path) as f:
        manifest = json.load(f)
    manifest["version"] = version
    # Exact pins: the main package runs only the executables of its own version.
    manifest["optionalDependencies"] = {name: version for name in manifest["optionalDependencies"]}
    write_json(path, manifest)
    return target


def stage_platform(version, work, platform, bin_dir):
    system, cpu, libc, executables = PLATFORMS[platform]
    name = "@harkwell/" + platform
    target = os.path.join(work, platform)
    os.makedirs(os.path.join(target, "bin"))
    manifest = {
        "name": name,
        "version": version,
        "description": "The %s executables of harkwell; install harkwell, which depends on this"
                       % platform,
        "license": "MIT",
        "os": [system],
        "cpu": [cpu],
        "files": ["bin"],
        "preferUnplugged": True,
    }
    if libc:
        manifest["libc"] = [libc]
    write_json(os.path.join(target, "package.json"), manifest)
    with open(os.path.join(target, "README.md"), "w") as f:
        f.write("# %s\n\nThe executables of [harkwell](https://www.npmjs.com/package/harkwell) "
                "for %s. Install `harkwell`, which finds them here.\n" % (name, platform))
    shutil.copy(LICENSE, target)
    for executable in executables:
        destination = os.path.join(target, "bin", executable)
        shutil.copyfile(os.path.join(bin_dir, executable), destination)
        os.chmod(destination, 0o755)
    return target


def main(version, linux_bin, windows_bin, work, dist):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.makedirs(dist, exist_ok=True)
    staged = [stage_main(version, work),
              stage_platform(version, work, "linux-x64", linux_bin),
              stage_platform(version, work, "win32-x64", windows_bin)]
    for folder in staged:
        subprocess.run(["npm", "pack", "--silent", "--pack-destination", os.path.abspath(dist)],
                       cwd=folder, check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
