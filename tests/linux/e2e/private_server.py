"""A private, headless PipeWire for the tests.

Everything here is private to one server: its own runtime, config, state,
data and home folders, its own session bus, and an environment from which
every variable that could point a client at another PipeWire, PulseAudio or
bus has been removed. Other PipeWire servers on the machine are never seen.
The daemons run in process groups of their own (process_groups).

HARKWELL_PIPEWIRE chooses the server: "host" (the default) is the machine's
own PipeWire and WirePlumber, "debian13" the PipeWire 1.4 and WirePlumber 0.5
of the Debian 13 tree (debian13.py), whose players then run from the same
tree. Each gets the same configuration, in the form its session manager reads.
"""

import contextlib
import json
import os
import shlex
import signal
import socket
import statistics
import subprocess
import time
import zlib

import debian13
from graph import Graph
from pcm import RATE
from process_groups import (end_group, leader_exited, make_temp_dir, remove_temp_dir,
                            signal_group, spawn, wait_leader, KILL_BOUND)

SINK = "harkwell_test_sink"
START_TIMEOUT = 20.0  # seconds for the daemons to become ready
CLIENT_TIMEOUT = 15.0  # seconds a helper client (pactl, pw-dump) may take
SERVERS = ("host", "debian13")
TREE_RUN = "HARKWELL_DEBIAN13_RUN"  # in the environment of a tree's server: its RUN launcher

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

# WirePlumber 0.4 reads Lua, numbered below the stock 90-enable-all.lua,
# which reads these switches.
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
# WirePlumber 0.5 reads .conf fragments, merged into its profiles: the same
# monitors and services turned off.
WIREPLUMBER_HEADLESS_CONF = """\
wireplumber.profiles = {
  main = {
    hardware.audio = disabled
    hardware.bluetooth = disabled
    hardware.video-capture = disabled
    support.portal-permissionstore = disabled
    script.client.access-portal = disabled
    support.logind = disabled
    support.reserve-device = disabled
  }
}
"""


def client_executable(env, path):
    """The executable to run a program of ours (the tool, the lister, the
    test player) as a client of the server whose environment env is: the
    program itself for the host's server; for the Debian 13 tree's, a script
    that runs it in the tree, with the tree's client library, as a user of
    that PipeWire would."""
    run = env.get(TREE_RUN)
    if not run:
        return path
    path = os.path.abspath(path)
    script = os.path.join(os.path.dirname(run), "%s-%08x" % (os.path.basename(path),
                                                             zlib.crc32(path.encode())))
    if not os.path.exists(script):
        with open(script, "w") as f:
            f.write('#!/bin/sh\nexec %s %s "$@"\n' % (shlex.quote(run), shlex.quote(path)))
        os.chmod(script, 0o755)
    return script


def client_command(env, argv):
    """argv, run as client_executable() says."""
    return [client_executable(env, argv[0])] + list(argv[1:])


def chosen_server():
    """The server HARKWELL_PIPEWIRE names."""
    name = os.environ.get("HARKWELL_PIPEWIRE", "host") or "host"
    if name not in SERVERS:
        raise ValueError("HARKWELL_PIPEWIRE=%s: expected one of %s" % (name, ", ".join(SERVERS)))
    return name


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


class ProfiledCycle:
    """One line of pw-profiler's log: a cycle of the graph's driver. Its
    fourth column is the period in microseconds; then come eight columns per
    follower node: its id, five timings and two states, the first of which
    is 3 when the node had finished the cycle."""

    FOLLOWER_COLUMNS = 8
    FINISHED = 3

    def __init__(self, period_frames, follower_states):
        self.period_frames = period_frames
        self.follower_states = follower_states  # node id -> state

    @classmethod
    def parse(cls, line):
        fields = [field.strip() for field in line.split("\t")]
        if len(fields) < 4 or not fields[3]:
            return None
        states = {}
        followers = fields[4:]
        for first in range(0, len(followers) - cls.FOLLOWER_COLUMNS + 1, cls.FOLLOWER_COLUMNS):
            follower = followers[first:first + cls.FOLLOWER_COLUMNS]
            if follower[0] and follower[6]:
                states[int(follower[0])] = int(follower[6])
        return cls(round(float(fields[3]) * RATE / 1e6), states)

    def late(self, node_id):
        """Whether that node was a follower that had not finished."""
        state = self.follower_states.get(node_id)
        return state is not None and state != self.FINISHED


class PrivatePipeWire:
    """pipewire, wireplumber and pipewire-pulse on a private runtime folder,
    with a null sink as the default sink that drives the graph."""

    DAEMONS = ("dbus", "pipewire", "wireplumber", "pipewire-pulse")

    def __init__(self, server=None):
        self.server = server or chosen_server()
        self.root = make_temp_dir("harkwell-pw-")
        self.folders = {name: os.path.join(self.root, name)
                        for name in ("runtime", "config", "state", "data", "home", "logs")}
        for path in self.folders.values():
            os.makedirs(path, mode=0o700)
        # pipewire-pulse races over creating this folder when it is missing.
        os.makedirs(os.path.join(self.folders["runtime"], "pulse"), mode=0o700)
        self.env = private_environment(os.environ, self.folders)
        self._versions = None
        self.daemons = {}
        try:
            if self.server == "debian13":
                run = debian13.make_launchers(os.path.join(self.root, "bin"))
                self.env["PATH"] = os.path.dirname(run) + os.pathsep + self.env.get("PATH",
                                                                                     os.defpath)
                self.env[TREE_RUN] = run
            self._write_config()
        except BaseException:
            remove_temp_dir(self.root)
            raise
        self.ready_seconds = None

    def _write_config(self):
        files = {"pipewire/pipewire.conf.d/50-harkwell-test-sink.conf": SINK_CONF}
        if self.versions()["wireplumber"] >= (0, 5):
            files["wireplumber/wireplumber.conf.d/51-harkwell-headless.conf"] = \
                WIREPLUMBER_HEADLESS_CONF
        else:
            files.update({
                "wireplumber/main.lua.d/51-harkwell-headless.lua": WIREPLUMBER_MAIN_LUA,
                "wireplumber/bluetooth.lua.d/51-harkwell-headless.lua": WIREPLUMBER_BLUETOOTH_LUA,
            })
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

    def versions(self):
        """The versions of this server's daemons, as their programs report
        the library they run on: {"pipewire": (1, 4, 2), "wireplumber": ...}."""
        if self._versions is None:
            versions = {}
            for program in ("pipewire", "wireplumber"):
                result = subprocess.run([program, "--version"], env=self.env,
                                        capture_output=True, text=True, timeout=CLIENT_TIMEOUT)
                linked = [line.split()[-1] for line in result.stdout.splitlines()
                          if line.startswith("Linked with")]
                if result.returncode != 0 or not linked:
                    raise RuntimeError("%s --version said %r" % (program, result.stdout))
                versions[program] = tuple(int(part) for part in linked[0].split("."))
            self._versions = versions
        return self._versions

    def describe(self):
        """"PipeWire 1.4.2, WirePlumber 0.5.8"."""
        versions = self.versions()
        return "PipeWire %s, WirePlumber %s" % tuple(
            ".".join(map(str, versions[name])) for name in ("pipewire", "wireplumber"))

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

    @contextlib.contextmanager
    def profiled(self):
        """Runs pw-profiler while the block runs; the list it yields holds,
        once the block has ended, a ProfiledCycle per cycle of the graph's
        driver that it logged."""
        cycles = []
        work = make_temp_dir("harkwell-profiler-")
        try:
            log = os.path.join(work, "profiler.log")
            # It leaves plotting scripts in its working folder.
            profiler = spawn(["pw-profiler", "-o", log], self.env, cwd=work)
            try:
                yield cycles
            finally:
                end_group(profiler)
            with open(log) as f:
                cycles.extend(cycle for cycle in map(ProfiledCycle.parse, f) if cycle)
        finally:
            remove_temp_dir(work)

    def period_frames(self, seconds=1.5):
        """The graph's period in frames: the median of the cycles pw-profiler
        logs while it watches for `seconds`."""
        with self.profiled() as cycles:
            time.sleep(seconds)
        if not cycles:
            raise RuntimeError("pw-profiler logged nothing")
        return round(statistics.median(cycle.period_frames for cycle in cycles))

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
