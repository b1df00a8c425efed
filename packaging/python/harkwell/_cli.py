"""The console scripts harkwell and harkwell-list: run the executable with
this process's standard streams and arguments, and end with its status."""

import os
import subprocess
import sys

from ._binary import binary_path
from ._errors import HarkwellError, start_failure


def _run(which):
    try:
        path = binary_path(which)
    except HarkwellError as error:
        print(error, file=sys.stderr)
        return 1
    argv = [path] + sys.argv[1:]
    try:
        if os.name != "nt":
            os.execv(path, argv)  # the executable takes this process's place
        return subprocess.call(argv)
    except OSError as error:
        print(start_failure(path, error), file=sys.stderr)
        return 1


def tool():
    sys.exit(_run("tool"))


def lister():
    sys.exit(_run("lister"))
