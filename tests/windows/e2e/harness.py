"""Runs the real Harkwell.exe under Wine against the simulated audio stack.

The build folder holds Harkwell.exe and the simulated mmdevapi.dll side by
side; the DLL is loaded instead of Wine's own only when WINEDLLOVERRIDES asks
for it. The simulated stack is scripted by a scenario file and writes a
record of every call it receives (see simaudio/).
"""

import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
from array import array

BUILD_DIR = os.environ.get("HARKWELL_BUILD_DIR", "")
WINE = os.environ.get("HARKWELL_WINE", "wine")
TIMEOUT = 30.0  # seconds any one run may take before the test fails

USAGE = b"usage: Harkwell.exe <pid> <include|exclude>\r\n"
PATTERN_BASE = 0x5A5A0000


def pattern_bytes(position, frames):
    """Frames the simulated stack delivers at a stream position."""
    start = (PATTERN_BASE + position) & 0xFFFFFFFF
    values = array("I", range(start, min(start + frames, 1 << 32)))
    if len(values) < frames:
        values.extend(range(0, frames - len(values)))
    if values.itemsize != 4:
        raise RuntimeError("array('I') is not 32-bit here")
    return values.tobytes()


def expected_output(packets):
    """The exact stdout for a list of (kind, frames) packets."""
    out = bytearray()
    position = 0
    for kind, frames in packets:
        if kind == "data":
            out += pattern_bytes(position, frames)
            position += frames
        elif kind == "silent":
            out += bytes(4 * frames)
            position += frames
    return bytes(out)


def wine_glitch(returncode, stderr):
    """Wine itself failed the run: the process died by a Unix signal, or
    Wine's client library reported a fatal error of its own. Both were seen
    about once in a few hundred runs on a loaded machine, with programs as
    trivial as one that only returns 0; a crash of the tool shows up
    differently (Wine's unhandled-exception report on stderr)."""
    return returncode < 0 or b"wine client error:" in stderr


class Run:
    """The outcome of one run of the tool."""

    def __init__(self, returncode, stdout, stderr, record):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.record = record

    def calls(self, name):
        return [line for line in self.record if line.split(" ", 1)[0] == name]

    def names(self):
        return [line.split(" ", 1)[0] for line in self.record]


class ToolRunner:
    """Starts Harkwell.exe (or another of the build's programs) with pipes on
    all three streams."""

    def __init__(self, exe_dir=None, simulated=True, exe_name="Harkwell.exe"):
        self.exe_dir = exe_dir or BUILD_DIR
        self.simulated = simulated
        self.exe_name = exe_name
        self.work = tempfile.mkdtemp(prefix="harkwell-e2e-")

    def cleanup(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def environment(self, scenario):
        env = dict(os.environ)
        env["WINEDEBUG"] = "-all"
        env.pop("SIMAUDIO_SCENARIO", None)
        env.pop("SIMAUDIO_RECORD", None)
        if self.simulated:
            env["WINEDLLOVERRIDES"] = "mmdevapi=n,b"
            record = os.path.join(self.work, "record.txt")
            if os.path.exists(record):
                os.remove(record)
            env["SIMAUDIO_RECORD"] = record
            if scenario is not None:
                path = os.path.join(self.work, "scenario.txt")
                with open(path, "w") as f:
                    f.write(scenario)
                env["SIMAUDIO_SCENARIO"] = path
        else:
            env.pop("WINEDLLOVERRIDES", None)
        return env

    def read_record(self):
        path = os.path.join(self.work, "record.txt")
        if not self.simulated or not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\n") for line in f if line.strip()]

    def start(self, args, scenario=None, stdin="pipe"):
        """Starts the tool; stdin is 'pipe', 'devnull', 'closed' or a file path."""
        exe = os.path.join(self.exe_dir, self.exe_name)
        kwargs = {}
        if stdin == "pipe":
            kwargs["stdin"] = subprocess.PIPE
        elif stdin == "devnull":
            kwargs["stdin"] = subprocess.DEVNULL
        elif stdin == "closed":
            # The child starts with no file descriptor 0 at all.
            kwargs["stdin"] = None
            kwargs["preexec_fn"] = lambda: os.close(0)
        else:
            kwargs["stdin"] = open(stdin, "rb")
        process = subprocess.Popen(
            [WINE, exe] + list(args),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=self.environment(scenario),
            cwd=self.work,
            **kwargs,
        )
        if stdin not in ("pipe", "devnull", "closed"):
            kwargs["stdin"].close()
        return process

    def run(self, args, scenario=None, stdin="devnull", input_bytes=None,
            close_stdin_after_bytes=None, keep_stdin_open=False, timeout=TIMEOUT):
        """Runs the tool to its end and collects everything.

        With close_stdin_after_bytes, stdin stays open until that many bytes
        have arrived on stdout, then it is closed: the caller's way to stop.
        With keep_stdin_open, the pipe stays open until the tool has ended.
        """
        for attempt in range(2):
            run = self._run_once(args, scenario, stdin, input_bytes,
                                 close_stdin_after_bytes, keep_stdin_open, timeout)
            if not wine_glitch(run.returncode, run.stderr) or attempt == 1:
                return run
            print("rerunning once after a failure of Wine's own: status %d, stderr %r"
                  % (run.returncode, run.stderr[:80]))
        return run

    def _run_once(self, args, scenario, stdin, input_bytes, close_after, keep_open, timeout):
        uses_pipe = input_bytes is not None or close_after is not None or keep_open
        process = self.start(args, scenario, "pipe" if uses_pipe else stdin)
        stdout = bytearray()
        stderr = bytearray()
        arrived = threading.Event()

        def pump_stdout():
            while True:
                chunk = process.stdout.read1(65536)
                if not chunk:
                    break
                stdout.extend(chunk)
                if close_after is not None and len(stdout) >= close_after:
                    arrived.set()
            arrived.set()

        def pump_stderr():
            stderr.extend(process.stderr.read())

        readers = [threading.Thread(target=pump_stdout, daemon=True),
                   threading.Thread(target=pump_stderr, daemon=True)]
        for reader in readers:
            reader.start()
        deadline = time.monotonic() + timeout
        try:
            if uses_pipe:
                if input_bytes:
                    try:
                        process.stdin.write(input_bytes)
                        process.stdin.flush()
                    except BrokenPipeError:
                        pass  # the tool stopped reading: its input had ended (0x1A)
                if close_after is not None:
                    if not arrived.wait(max(0.0, deadline - time.monotonic())):
                        raise AssertionError(
                            "only %d of %d bytes arrived in time" % (len(stdout), close_after))
                if not keep_open:
                    process.stdin.close()
            process.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise AssertionError("%s did not end within %.0f s" % (self.exe_name, timeout))
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        if uses_pipe and not process.stdin.closed:
            try:
                process.stdin.close()
            except BrokenPipeError:
                pass
        for reader in readers:
            reader.join(5)
        process.stdout.close()
        process.stderr.close()
        return Run(process.returncode, bytes(stdout), bytes(stderr), self.read_record())


def stop_by_closing_stdin(process, timeout=TIMEOUT):
    """Closes the tool's stdin and waits for it to end; kills it if it does
    not. Returns the exit status and what it wrote to stderr."""
    try:
        process.stdin.close()
        returncode = process.wait(timeout)
        stderr = process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()
    return returncode, stderr


def wait_for_record(runner, predicate, timeout=TIMEOUT):
    """Polls the simulated stack's record until predicate(record) holds."""
    deadline = time.monotonic() + timeout
    record = runner.read_record()
    while not predicate(record) and time.monotonic() < deadline:
        time.sleep(0.05)
        record = runner.read_record()
    return record


PACKET_FRAMES = 480
PACKET_BYTES = PACKET_FRAMES * 4
F_GETPIPE_SZ = 1032  # Linux fcntl: the capacity of a pipe


def delivered_packets(record):
    return sum(int(line.split("=")[1]) for line in record if line.startswith("Wake packets="))


class StalledRun:
    """What a reader that stopped reading for a while received."""

    def __init__(self, run, pipe_bytes):
        self.run = run
        self.pipe_bytes = pipe_bytes

    def positions(self):
        """The stream position of each packet on stdout, or None for a chunk
        that is not one whole packet of the pattern."""
        data = self.run.stdout
        positions = []
        for offset in range(0, len(data) - len(data) % PACKET_BYTES, PACKET_BYTES):
            first = int.from_bytes(data[offset:offset + 4], "little")
            position = (first - PATTERN_BASE) & 0xFFFFFFFF
            whole = (position % PACKET_FRAMES == 0 and
                     data[offset:offset + PACKET_BYTES] == pattern_bytes(position, PACKET_FRAMES))
            positions.append(position if whole else None)
        return positions

    def dropped_packets(self):
        return sum(int(line.split()[1].split("=")[1]) for line in self.run.record
                   if line.startswith("Overflow "))

    def flagged_packets(self):
        """Packets handed out with the data-discontinuity flag after a gap:
        the first packet after Start carries it too, as on the platform, and
        is left out."""
        handed_out = [line for line in self.run.record
                      if line.startswith("GetBuffer -> 0x00000000")]
        return [line for line in handed_out[1:] if " flags=0x00000001 " in line]


def run_with_stalled_reader(runner, packets, stall_after_bytes, stall_seconds, timeout=TIMEOUT):
    """Streams `packets` packets of the pattern in real time (10 ms each) to
    a reader of stdout that stops reading for `stall_seconds` once
    `stall_after_bytes` have arrived. Once the stack has delivered every
    packet and the tool has drained them all, stdin is closed to stop it."""
    process = runner.start(["1000", "include"],
                           scenario="pacing realtime\ndata %d %d\n" % (PACKET_FRAMES, packets))
    try:
        import fcntl
        pipe_bytes = fcntl.fcntl(process.stdout.fileno(), F_GETPIPE_SZ)
    except (ImportError, OSError):
        pipe_bytes = None
    stdout = bytearray()

    def read():
        stalled = False
        while True:
            chunk = process.stdout.read1(65536)
            if not chunk:
                break
            stdout.extend(chunk)
            if not stalled and len(stdout) >= stall_after_bytes:
                stalled = True
                time.sleep(stall_seconds)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()

    def drained(record):
        calls = [i for i, line in enumerate(record)
                 if line.startswith(("GetBuffer", "ReleaseBuffer", "GetNextPacketSize", "Wake"))]
        return (delivered_packets(record) == packets and bool(calls) and
                record[calls[-1]] == "GetNextPacketSize -> 0x00000000 frames=0")

    try:
        wait_for_record(runner, drained, timeout)
        process.stdin.close()
        returncode = process.wait(timeout)
        reader.join(timeout)
        stderr = process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        reader.join(5)
        process.stdout.close()
        process.stderr.close()
    return StalledRun(Run(returncode, bytes(stdout), stderr, runner.read_record()), pipe_bytes)


class ToolTestCase(unittest.TestCase):
    """A test with a fresh runner per test."""

    simulated = True

    def setUp(self):
        if not BUILD_DIR or not os.path.exists(os.path.join(BUILD_DIR, "Harkwell.exe")):
            self.fail("HARKWELL_BUILD_DIR must name the folder holding Harkwell.exe")
        self.runner = ToolRunner(simulated=self.simulated)
        self.addCleanup(self.runner.cleanup)

    def assertCleanExit(self, run, status):
        """Exact status, nothing on stderr, and the run reached its end."""
        self.assertEqual(b"", run.stderr, run.stderr)
        self.assertEqual(status, run.returncode)
        if self.simulated:
            self.assertTrue(run.record and run.record[-1].startswith("ProcessExit"),
                            "the process did not reach a normal exit: %r" % run.record[-3:])
