"""The errors of a run of the executables."""

import re
import signal

# The dynamic loader's words when a shared library the executable needs is
# not installed (Linux), and its exit status then.
_MISSING_LIBRARY = re.compile(r"error while loading shared libraries: ([^:\s]+)")
_LOADER_STATUS = 127


class HarkwellError(Exception):
    """A run of harkwell or harkwell-list that failed.

    status is the exit status (1: a failure after the arguments were accepted,
    2: usage; negative: killed by that signal), or None when it did not run;
    tool_message is the line it wrote on stderr.
    """

    def __init__(self, message, status=None, tool_message=""):
        super().__init__(message)
        self.status = status
        self.tool_message = tool_message


def exit_failure(program, status, stderr):
    """The error of an executable that ended with `status`."""
    tool_message = stderr.decode("utf-8", "replace").strip()
    library = _MISSING_LIBRARY.search(tool_message) if status == _LOADER_STATUS else None
    if library:
        return HarkwellError(
            "%s cannot start: the shared library %s is missing. It needs the PipeWire client "
            "library (Debian, Ubuntu: apt install libpipewire-0.3-0) and a running PipeWire "
            "server." % (program, library.group(1)), status, tool_message)
    if status < 0:
        how = "was killed by " + _signal_name(-status)
    else:
        how = "exited with status %d" % status
    return HarkwellError("%s %s%s" % (program, how, ": " + tool_message if tool_message else ""),
                         status, tool_message)


def _signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def start_failure(path, cause):
    """The error of an executable that could not be started at all."""
    return HarkwellError("cannot start %s: %s" % (path, cause))
