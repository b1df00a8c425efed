"""The process groups the Linux tests run in, and the guards that end them.

Every process the tests start (daemons, players, the tool) leads a process
group of its own and is ended by that id: SIGTERM, then SIGKILL after a bound.
A guard ends whatever is still running when the interpreter exits or is told
to stop (SIGINT, SIGTERM, SIGHUP). A watchdog process, told of every group and
folder as they come and go, ends what is left if the test run itself is
killed: it kills a group only while every member still carries the private
runtime folder in its environment, so a reused id is never hit.
"""

import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

TERM_GRACE = 3.0  # seconds a process group gets between SIGTERM and SIGKILL
KILL_BOUND = 5.0  # seconds a process group gets to vanish after SIGKILL

# Reads what the test run tells it; at end of input (the run has ended, however)
# it kills the groups and removes the folders it was not told are gone.
WATCHDOG = r"""
import os, shutil, signal, sys
groups, dirs = {}, set()
for line in sys.stdin:
    op, _, arg = line.rstrip("\n").partition(" ")
    if op == "group":
        pgid, _, marker = arg.partition(" ")
        groups[int(pgid)] = marker.encode()
    elif op == "ended":
        groups.pop(int(arg), None)
    elif op == "dir":
        dirs.add(arg)
    elif op == "removed":
        dirs.discard(arg)

def live_members(pgid):
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != b"Z":
            found.append(entry)
    return found

def carries(pid, marker):
    try:
        with open("/proc/%s/environ" % pid, "rb") as f:
            return marker in f.read().split(b"\0")
    except OSError:
        return False

for pgid, marker in groups.items():
    members = live_members(pgid)
    if members and all(carries(pid, marker) for pid in members):
        try:
            os.killpg(pgid, signal.SIGKILL)
        except OSError:
            pass
for path in dirs:
    shutil.rmtree(path, ignore_errors=True)
"""

_lock = threading.Lock()
_groups = {}  # leader pid -> Popen: every group started here and not yet ended
_dirs = []  # temporary folders not yet removed
_watchdog = None  # the watchdog process, once the guard is installed


def spawn(argv, env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
          stderr=subprocess.DEVNULL, cwd=None):
    """Starts argv as the leader of a new process group (and session). env
    must hold a private XDG_RUNTIME_DIR: the watchdog knows its processes by it."""
    _install_guard()
    process = subprocess.Popen(argv, env=env, stdin=stdin, stdout=stdout, stderr=stderr,
                               start_new_session=True, cwd=cwd)
    with _lock:
        _groups[process.pid] = process
        _tell_watchdog("group %d XDG_RUNTIME_DIR=%s" % (process.pid, env["XDG_RUNTIME_DIR"]))
    return process


def _tell_watchdog(line):
    """Called with _lock held."""
    try:
        _watchdog.stdin.write((line + "\n").encode())
        _watchdog.stdin.flush()
    except (OSError, ValueError):
        pass  # the watchdog is gone: the guards in this process remain


def leader_exited(process):
    """Whether the group's leader has exited, without reaping it: an unreaped
    leader keeps its id reserved, so signalling the group stays safe."""
    if process.returncode is not None:
        return True
    try:
        return os.waitid(os.P_PID, process.pid,
                         os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


def wait_leader(process, timeout):
    """Waits (bounded) for the leader to exit, without reaping it."""
    deadline = time.monotonic() + timeout
    while not leader_exited(process):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.002)
    return True


def end_group(process, grace=TERM_GRACE):
    """Ends a process group started by spawn(): SIGTERM, then SIGKILL to
    whatever is left once the leader is gone or the grace has run out. Reaps
    the leader and returns its status. Safe to call more than once. Output
    pipes stay with whoever reads them."""
    with _lock:
        if _groups.pop(process.pid, None) is not None:
            _tell_watchdog("ended %d" % process.pid)
    if process.returncode is None:
        if grace > 0:
            signal_group(process, signal.SIGTERM)
            wait_leader(process, grace)
        signal_group(process, signal.SIGKILL)
        try:
            process.wait(KILL_BOUND)
        except subprocess.TimeoutExpired:
            raise RuntimeError("process %d did not end after SIGKILL" % process.pid)
    if process.stdin is not None:
        try:
            process.stdin.close()
        except OSError:
            pass  # a broken pipe: the process had stopped reading
    return process.returncode


def signal_group(process, sig):
    if process.returncode is not None:
        return  # reaped: the id may already belong to someone else
    try:
        os.killpg(process.pid, sig)
    except ProcessLookupError:
        pass


def make_temp_dir(prefix):
    _install_guard()
    path = tempfile.mkdtemp(prefix=prefix)
    with _lock:
        _dirs.append(path)
        _tell_watchdog("dir " + path)
    return path


def remove_temp_dir(path):
    with _lock:
        if path in _dirs:
            _dirs.remove(path)
            _tell_watchdog("removed " + path)
    shutil.rmtree(path, ignore_errors=True)


def end_everything():
    """Ends every group still running (newest first) and removes the folders."""
    with _lock:
        groups = list(_groups.values())
        dirs = list(_dirs)
    for process in reversed(groups):
        try:
            end_group(process, grace=1.0)
        except Exception as error:  # keep going: the rest must end too
            print("could not end process %d: %s" % (process.pid, error))
    for path in dirs:
        remove_temp_dir(path)


def _end_run():
    end_everything()
    if _watchdog.stdin.closed:
        return
    _watchdog.stdin.close()  # nothing left for it to end
    try:
        _watchdog.wait(KILL_BOUND)
    except subprocess.TimeoutExpired:
        pass


def _on_stop_signal(signum, _frame):
    _end_run()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def _install_guard():
    global _watchdog
    if _watchdog is not None:
        return
    _watchdog = subprocess.Popen([sys.executable, "-c", WATCHDOG], stdin=subprocess.PIPE,
                                 start_new_session=True)
    atexit.register(_end_run)
    if threading.current_thread() is threading.main_thread():
        # SIGINT raises KeyboardInterrupt, which ends the run through atexit.
        for signum in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(signum) == signal.SIG_DFL:
                signal.signal(signum, _on_stop_signal)
