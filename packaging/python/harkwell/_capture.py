"""A running harkwell as a context manager, read like an input stream."""

import subprocess
import threading
import wave

from ._binary import binary_path
from ._errors import HarkwellError, exit_failure, start_failure

SAMPLE_RATE = 48000
CHANNELS = 2
SAMPLE_WIDTH = 2  # bytes per sample: signed 16-bit little-endian
MODES = ("include", "exclude")
MAX_PID = 2147483647
CHUNK_BYTES = 65536
STOP_TIMEOUT = 10.0  # seconds the tool gets to end once its stdin is closed


def _check_arguments(pid, mode):
    if isinstance(pid, bool) or not isinstance(pid, int) or not 1 <= pid <= MAX_PID:
        raise ValueError("pid must be a process id, an integer from 1 to %d; got %r"
                         % (MAX_PID, pid))
    if mode not in MODES:
        raise ValueError('mode must be "include" or "exclude"; got %r' % (mode,))


class Capture:
    """The audio of the process tree rooted at `pid` (mode "include") or of
    everything else ("exclude"), as PCM bytes.

    Entering the block starts the tool; iterating yields the bytes as they
    arrive and ends when the tool has ended; read(n) reads n bytes (fewer at
    the end). stop(), from any thread, closes the tool's stdin, which stops
    it. Leaving the block stops it, waits up to `stop_timeout` seconds for it
    to end (then kills it), and raises HarkwellError unless it ended with
    status 0.
    """

    def __init__(self, pid, mode="include", stop_timeout=STOP_TIMEOUT, binary=None):
        _check_arguments(pid, mode)
        self.pid = pid
        self.mode = mode
        self.stop_timeout = stop_timeout
        self._path = binary or binary_path("tool")
        self._process = None
        self._stderr = []
        self._stderr_reader = None
        self._stop_lock = threading.Lock()

    @property
    def returncode(self):
        """The tool's exit status once it has ended, else None."""
        return None if self._process is None else self._process.returncode

    def start(self):
        try:
            self._process = subprocess.Popen([self._path, str(self.pid), self.mode],
                                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                             stderr=subprocess.PIPE)
        except OSError as error:
            raise start_failure(self._path, error) from error
        # stderr is read on a thread of its own, so that it can never fill up.
        self._stderr_reader = threading.Thread(
            target=lambda: self._stderr.append(self._process.stderr.read()), daemon=True)
        self._stderr_reader.start()
        return self

    def __enter__(self):
        return self.start()

    def __iter__(self):
        while True:
            chunk = self._process.stdout.read1(CHUNK_BYTES)
            if not chunk:
                return
            yield chunk

    def read(self, size=-1):
        """Up to `size` bytes (all until the end when negative); fewer only at the end."""
        return self._process.stdout.read(size)

    def stop(self):
        """Closes the tool's stdin: the capture stops and the tool ends."""
        with self._stop_lock:
            if not self._process.stdin.closed:
                try:
                    self._process.stdin.close()
                except BrokenPipeError:
                    pass  # the tool had already ended

    def close(self):
        """Stops the tool and waits for it to end; raises HarkwellError unless
        it ended with status 0."""
        self.stop()
        # Audio nobody reads any more is drained, so that the tool is never
        # left waiting to write it.
        drain = threading.Thread(target=lambda: self._process.stdout.read(), daemon=True)
        drain.start()
        try:
            status = self._process.wait(self.stop_timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            status = self._process.wait()
            raise HarkwellError("harkwell did not end within %g s of its input closing and was "
                                "killed" % self.stop_timeout, status) from None
        finally:
            drain.join(self.stop_timeout)
            self._stderr_reader.join(self.stop_timeout)
        if status != 0:
            raise exit_failure("harkwell", status, b"".join(self._stderr))

    def __exit__(self, exc_type, exc, traceback):
        if exc_type is None:
            self.close()
            return False
        try:
            self.close()
        except HarkwellError:
            pass  # the block's own exception says more
        return False


def capture(pid, mode="include", stop_timeout=STOP_TIMEOUT, binary=None):
    """A Capture, to use in a with block."""
    return Capture(pid, mode, stop_timeout, binary)


def wav_writer(path):
    """A wave writer set to harkwell's format: writeframes(chunk) the bytes of a capture."""
    writer = wave.open(path, "wb")
    writer.setnchannels(CHANNELS)
    writer.setsampwidth(SAMPLE_WIDTH)
    writer.setframerate(SAMPLE_RATE)
    return writer
