"""The processes that play audio now, from `harkwell-list --json`."""

import json
import subprocess
from dataclasses import dataclass
from typing import List, Optional

from ._binary import binary_path
from ._errors import HarkwellError, exit_failure, start_failure

# The lister answers or gives up within 10 seconds of its own.
LIST_TIMEOUT = 30.0


@dataclass(frozen=True)
class PlayingProcess:
    """A process that plays audio now. Pass `root` to capture() to record it
    with its relatives; `application` (Linux only) is the name its stream
    states, or None."""

    pid: int
    root: int
    state: str  # "active" or "inactive"
    name: str
    application: Optional[str] = None


def list_streams(binary=None) -> List[PlayingProcess]:
    """One row per process that plays now, in pid order."""
    path = binary or binary_path("lister")
    try:
        completed = subprocess.run([path, "--json"], stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=LIST_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise HarkwellError("harkwell-list did not answer within %g s" % LIST_TIMEOUT) from None
    except OSError as error:
        raise start_failure(path, error) from error
    if completed.returncode != 0:
        raise exit_failure("harkwell-list", completed.returncode, completed.stderr)
    return [PlayingProcess(**json.loads(line)) for line in completed.stdout.splitlines()
            if line.strip()]
