"""The executables: inside this package (its bin folder), or where an
environment variable says."""

import os

from ._errors import HarkwellError

# tool, lister: the executables' names on Windows and elsewhere.
EXECUTABLES = {
    "tool": ("Harkwell.exe", "harkwell"),
    "lister": ("Harkwell-list.exe", "harkwell-list"),
}
# Name an executable of one's own build in place of the package's.
OVERRIDE_VARIABLES = {"tool": "HARKWELL_BINARY", "lister": "HARKWELL_LIST_BINARY"}
BIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin")


def binary_path(which="tool"):
    """The path of the executable: "tool" (harkwell) or "lister" (harkwell-list)."""
    if which not in EXECUTABLES:
        raise ValueError("unknown executable %r" % (which,))
    variable = OVERRIDE_VARIABLES[which]
    override = os.environ.get(variable)
    if override:
        if not os.path.isfile(override):
            raise HarkwellError("%s names %s, which does not exist" % (variable, override))
        return override
    windows_name, posix_name = EXECUTABLES[which]
    path = os.path.join(BIN_DIR, windows_name if os.name == "nt" else posix_name)
    if not os.path.isfile(path):
        raise HarkwellError(
            "this harkwell package holds no executable for this platform (%s is missing): "
            "install the wheel built for it (Windows x64, or Linux x64 with glibc), or set %s "
            "to the path of an executable built from source" % (path, variable))
    return path
