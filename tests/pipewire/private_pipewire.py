"""A private, headless PipeWire for the tests, and the process groups it runs in.

Everything here is private to one server: its own runtime, config, state,
data and home folders, its own session bus, and an environment from which
every variable that could point a client at another PipeWire, PulseAudio or
bus has been removed. Other PipeWire servers on the machine are never seen.

Every process this module starts (daemons, players, the tool) leads a process
group of its own and is ended by that id: SIGTERM, then SIGKILL after a bound.
A guard ends whatever is still running when the interpreter exits or is told
to stop (SIGINT, SIGTERM, SIGHUP). A watchdog process, told of every group and
folder as they come and go, ends what is left if the test run itself is
killed: it kills a group only while every member still carries the private
runtime folder in its environment, so a reused id is never hit.
"""

import atexit
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from pcm import RATE

SINK = "harkwell_test_sink"
START_TIMEOUT = 20.0  # seconds for the daemons to become ready
TERM_GRACE = 3.0  # seconds a process group gets between SIGTERM and SIGKILL
KILL_BOUND = 5.0  # seconds a process group gets to vanish after SIGKILL
CLIENT_TIMEOUT = 15.0  # seconds a helper client (pactl, pw-dump) may take

# Variables that would point a client at some other server or bus.
FOREIGN_PREFIXES = ("PIPEWIRE_", "PULSE_", "WIREPLUMBER_", "SPA_", "JACK_", "DBUS_", "XDG_")

SINK_CONF = """\
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "%s"
      node.description = "Harkwell test sink"
      media.class = "Audio/Sink"
      audio.position = [ FL FR ]
      audio.rate = 48000
    }
  }
]
""" % SINK

# Numbered below the stock 90-enable-all.lua, which reads these switches.
WIREPLUMBER_MAIN_LUA = """\
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
"""
WIREPLUMBER_BLUETOOTH_LUA = """\
bluez_monitor.enabled = false
bluez_monitor.properties["with-logind"] = false
"""

# --- process groups -------------------------------------------------------

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


# --- the server -------------------------------------------------------------

def private_environment(base, folders):
    """The environment for every process of one private server."""
    env = {key: value for key, value in base.items()
           if not key.startswith(FOREIGN_PREFIXES)}
    env.update({
        "XDG_RUNTIME_DIR": folders["runtime"],
        "XDG_CONFIG_HOME": folders["config"],
        "XDG_STATE_HOME": folders["state"],
        "XDG_DATA_HOME": folders["data"],
        "HOME": folders["home"],
        "DBUS_SESSION_BUS_ADDRESS": "unix:path=%s" % os.path.join(folders["runtime"], "bus"),
        "LC_ALL": "C",
    })
    return env


class ServerNotReady(RuntimeError):
    pass


def _accepts_connections(path):
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


class PrivatePipeWire:
    """pipewire, wireplumber and pipewire-pulse on a private runtime folder,
    with a null sink as the default sink that drives the graph."""

    DAEMONS = ("dbus", "pipewire", "wireplumber", "pipewire-pulse")

    def __init__(self):
        self.root = make_temp_dir("harkwell-pw-")
        self.folders = {name: os.path.join(self.root, name)
                        for name in ("runtime", "config", "state", "data", "home", "logs")}
        for path in self.folders.values():
            os.makedirs(path, mode=0o700)
        # pipewire-pulse races over creating this folder when it is missing.
        os.makedirs(os.path.join(self.folders["runtime"], "pulse"), mode=0o700)
        self._write_config()
        self.env = private_environment(os.environ, self.folders)
        self.daemons = {}
        self.ready_seconds = None

    def _write_config(self):
        files = {
            "pipewire/pipewire.conf.d/50-harkwell-test-sink.conf": SINK_CONF,
            "wireplumber/main.lua.d/51-harkwell-headless.lua": WIREPLUMBER_MAIN_LUA,
            "wireplumber/bluetooth.lua.d/51-harkwell-headless.lua": WIREPLUMBER_BLUETOOTH_LUA,
        }
        for relative, text in files.items():
            path = os.path.join(self.folders["config"], relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)

    @property
    def runtime_dir(self):
        return self.folders["runtime"]

    @property
    def pulse_socket(self):
        return os.path.join(self.runtime_dir, "pulse", "native")

    def log_path(self, name):
        return os.path.join(self.folders["logs"], name + ".log")

    def start(self, timeout=START_TIMEOUT):
        started = time.monotonic()
        commands = {
            "dbus": ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--address=" + self.env["DBUS_SESSION_BUS_ADDRESS"]],
            "pipewire": ["pipewire"],
            "wireplumber": ["wireplumber"],
            "pipewire-pulse": ["pipewire-pulse"],
        }
        # WirePlumber gives up at once when it finds no bus or no server.
        listening_on = {"dbus": "bus", "pipewire": "pipewire-0"}
        deadline = started + timeout
        try:
            for name in self.DAEMONS:
                with open(self.log_path(name), "wb") as log:
                    self.daemons[name] = spawn(commands[name], self.env, stdout=log,
                                               stderr=subprocess.STDOUT,
                                               cwd=self.folders["home"])
                if name in listening_on:
                    path = os.path.join(self.runtime_dir, listening_on[name])
                    self._wait(lambda: _accepts_connections(path), deadline,
                               "%s to listen on %s" % (name, path))
            self._wait(lambda: os.path.exists(self.pulse_socket)
                       and self.default_sink() == SINK, deadline,
                       "pipewire-pulse to serve %s as the default sink" % SINK)
        except BaseException:
            self.stop()
            raise
        self.ready_seconds = time.monotonic() - started
        return self

    def _wait(self, condition, deadline, what):
        while not condition():
            for name, process in self.daemons.items():
                if leader_exited(process):
                    raise ServerNotReady("%s exited while waiting for %s\n%s"
                                         % (name, what, self.logs()))
            if time.monotonic() >= deadline:
                raise ServerNotReady("timed out waiting for %s\n%s" % (what, self.logs()))
            time.sleep(0.005)

    def default_sink(self):
        try:
            result = subprocess.run(["pactl", "get-default-sink"], env=self.env,
                                    capture_output=True, timeout=CLIENT_TIMEOUT)
        except subprocess.TimeoutExpired:
            return None
        return result.stdout.decode(errors="replace").strip() if result.returncode == 0 else None

    def logs(self, tail=2000):
        parts = []
        for name in self.DAEMONS:
            try:
                with open(self.log_path(name), "rb") as f:
                    text = f.read()[-tail:].decode(errors="replace")
            except OSError:
                continue
            parts.append("--- %s ---\n%s" % (name, text))
        return "\n".join(parts)

    def pid(self, name="pipewire"):
        """The pid of a daemon."""
        return self.daemons[name].pid

    def kill_server(self):
        """Kills the pipewire daemon at once, as a crash would; the other
        daemons are ended by stop()."""
        process = self.daemons["pipewire"]
        signal_group(process, signal.SIGKILL)
        wait_leader(process, KILL_BOUND)

    def stop(self):
        for name in reversed(self.DAEMONS):
            process = self.daemons.pop(name, None)
            if process is not None:
                end_group(process)
        remove_temp_dir(self.root)

    def period_frames(self, seconds=1.5):
        """The graph's period in frames (the median of what pw-profiler logs
        while it watches for `seconds`; its fourth column is the period in
        microseconds)."""
        work = make_temp_dir("harkwell-profiler-")
        try:
            log = os.path.join(work, "profiler.log")
            # It leaves plotting scripts in its working folder.
            profiler = spawn(["pw-profiler", "-o", log], self.env, cwd=work)
            time.sleep(seconds)
            end_group(profiler)
            periods = []
            with open(log) as f:
                for line in f:
                    fields = line.split("\t")
                    if len(fields) > 4 and fields[3].strip():
                        periods.append(float(fields[3]) * RATE / 1e6)
        finally:
            remove_temp_dir(work)
        if not periods:
            raise RuntimeError("pw-profiler logged nothing")
        return round(statistics.median(periods))

    def dump(self):
        """The whole graph as pw-dump reports it."""
        problems = []
        for _ in range(3):
            result = subprocess.run(["pw-dump"], env=self.env, capture_output=True,
                                    timeout=CLIENT_TIMEOUT)
            text = result.stdout.decode(errors="replace")
            try:
                objects, end = json.JSONDecoder().raw_decode(text)
            except ValueError as error:
                problems.append("status %d, %s, stderr %r"
                                % (result.returncode, error, result.stderr[-300:]))
                continue
            # When the graph changes while it is being read, pw-dump goes on
            # with a second document of changes: read it again.
            if not text[end:].strip():
                return Graph(objects)
            problems.append("the graph changed while it was read")
        raise RuntimeError("pw-dump failed three times: %s" % "; ".join(problems))


# --- the graph --------------------------------------------------------------

class Graph:
    """One snapshot of the graph: nodes, ports, links and clients by id."""

    def __init__(self, objects):
        self.objects = objects
        self.nodes, self.ports, self.links, self.clients = {}, {}, {}, {}
        kinds = {"PipeWire:Interface:Node": self.nodes, "PipeWire:Interface:Port": self.ports,
                 "PipeWire:Interface:Link": self.links,
                 "PipeWire:Interface:Client": self.clients}
        for item in objects:
            table = kinds.get(item.get("type"))
            if table is not None:
                table[item["id"]] = item

    @staticmethod
    def props(item):
        return (item.get("info") or {}).get("props") or {}

    def client_pid(self, client_id):
        client = self.clients.get(client_id)
        pid = self.props(client).get("pipewire.sec.pid") if client else None
        return int(pid) if pid is not None else None

    def node_pids(self, node_id):
        """Who plays through a node: the pid the socket vouches for (native
        clients) and the pid the client names (PulseAudio-protocol clients,
        whose socket peer is pipewire-pulse)."""
        props = self.props(self.nodes[node_id])
        pids = set()
        client_id = props.get("client.id")
        if client_id is not None and self.client_pid(int(client_id)) is not None:
            pids.add(self.client_pid(int(client_id)))
        if props.get("application.process.id") is not None:
            pids.add(int(props["application.process.id"]))
        return pids

    def nodes_of(self, pids, media_class=None):
        pids = set(pids)
        return sorted(node_id for node_id in self.nodes
                      if self.node_pids(node_id) & pids
                      and (media_class is None
                           or self.props(self.nodes[node_id]).get("media.class") == media_class))

    def node_named(self, name):
        for node_id, node in self.nodes.items():
            if self.props(node).get("node.name") == name:
                return node_id
        return None

    def link_ends(self, link_id):
        info = self.links[link_id].get("info") or {}
        return (info.get("output-node-id"), info.get("output-port-id"),
                info.get("input-node-id"), info.get("input-port-id"))

    def links_between(self, output_nodes, input_nodes):
        """Links as (output node, output port, input node, input port)."""
        output_nodes, input_nodes = set(output_nodes), set(input_nodes)
        return sorted(ends for ends in map(self.link_ends, self.links)
                      if ends[0] in output_nodes and ends[2] in input_nodes)

    def links_touching(self, node_ids):
        node_ids = set(node_ids)
        return sorted(ends for ends in map(self.link_ends, self.links)
                      if ends[0] in node_ids or ends[2] in node_ids)

    def streams(self):
        """Every playback stream."""
        return self.nodes_with_class("Stream/Output/Audio")

    def nodes_with_class(self, media_class):
        return sorted(node_id for node_id, node in self.nodes.items()
                      if self.props(node).get("media.class") == media_class)

    def serial(self, table, object_id):
        """Ids are reused as soon as an object goes; serials never are."""
        return int(self.props(table[object_id])["object.serial"])

    def sink_links(self):
        """For each playback stream (by serial), its links to the sink (by
        serial, with the ports they join): the same serials in two snapshots
        mean the very same links."""
        sink = self.node_named(SINK)
        result = {}
        for stream in self.streams():
            result[self.serial(self.nodes, stream)] = sorted(
                (self.serial(self.links, link_id),
                 self.props(self.ports[ends[1]]).get("port.name"),
                 self.props(self.ports[ends[3]]).get("port.name"))
                for link_id, ends in ((link_id, self.link_ends(link_id)) for link_id in self.links)
                if ends[0] == stream and ends[2] == sink)
        return result

    def object_metadata(self):
        """Metadata about single objects (a stream's target, for one): every
        entry whose subject is not the whole graph."""
        return sorted((entry["subject"], entry["key"], json.dumps(entry.get("value")))
                      for item in self.objects if item.get("type") == "PipeWire:Interface:Metadata"
                      for entry in item.get("metadata") or [] if entry.get("subject") != 0)

    def objects_of_pid(self, pid):
        """Every client, node and link that belongs to a process."""
        clients = [cid for cid in self.clients if self.client_pid(cid) == pid]
        nodes = self.nodes_of([pid])
        links = [lid for lid, link in self.links.items()
                 if self.props(link).get("client.id") in clients
                 or set(self.link_ends(lid)[0::2]) & set(nodes)]
        return {"clients": clients, "nodes": nodes, "links": links}
