"""A private, headless PipeWire for the tests.

Everything here is private to one server: its own runtime, config, state,
data and home folders, its own session bus, and an environment from which
every variable that could point a client at another PipeWire, PulseAudio or
bus has been removed. Other PipeWire servers on the machine are never seen.
The daemons run in process groups of their own (process_groups).
"""

import json
import os
import signal
import socket
import statistics
import subprocess
import time

from graph import Graph
from pcm import RATE
from process_groups import (end_group, leader_exited, make_temp_dir, remove_temp_dir,
                            signal_group, spawn, wait_leader, KILL_BOUND)

SINK = "harkwell_test_sink"
START_TIMEOUT = 20.0  # seconds for the daemons to become ready
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
