#!/usr/bin/env python3
"""Measures the Linux harkwell beside PipeWire's own pw-record and beside cat,
in one run on one private, headless PipeWire (the test harness's server).

    python3 bench/linux/run_benchmarks.py [--tool build/linux-release/harkwell]
                                          [--server host|debian13]

--server chooses the test harness's server: the host's PipeWire (the
default), or PipeWire 1.4 with WirePlumber 0.5 from the Debian 13 tree that
tools/install-deps.sh builds, whose players, recorder and client library
(for harkwell and harkwell-list too) are then that tree's.

Four players play long tones: two native streams (pw-play) and two through the
PulseAudio bridge (paplay). Then, interleaved round by round:

- CPU per second of capture: harkwell recording the tree of one pw-play
  stream (include), and recording the other three (exclude), beside
  `pw-record --target <that stream>`; user + system time from the reaped
  child's rusage, divided by the wall time from start to exit; and steady,
  without the start-up: its threads' CPU time (schedstat) from a second
  after the first byte to the stop, divided by that wall time.
- Stop latency: stdin closed -> exit reaped, harkwell during a capture beside
  `cat` copying stdin to a pipe.
- First byte: start -> first byte on stdout, harkwell beside pw-record, both
  aimed at a stream that is already playing.
- The period of every device, read from the server's profiler (the tests'
  clock_groups probe: each driver's period and followers) before, during and
  after a capture: with the players as they are, with a player that asks for
  a small period, and with a tree that plays on the default sink and on a
  second sink forced to 512 frames (include, and exclude of another tree);
  the silent gaps pw-record hears meanwhile in a stream of the default sink;
  and how far the two devices' clocks drift apart over a minute.
- Listing: harkwell-list, start -> exit with the table read, beside pw-dump
  reading the whole graph once.
- CPU in exclude mode with 1, 8 and 32 streams linked (the other players
  ended, a crowd of pw-play and paplay started), beside pw-record of the
  sink's monitor (everything the sink plays); run last.

Prints a Markdown report on stdout.
"""

import argparse
import os
import platform
import resource
import select
import shlex
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "linux", "e2e"))

from harness import children_of, wait_until  # noqa: E402
from pcm import RATE, write_tone  # noqa: E402
from pcm import Pcm, gaps_between  # noqa: E402
from private_server import SERVERS, SINK, PrivatePipeWire, client_command  # noqa: E402
from process_groups import end_group, make_temp_dir, spawn  # noqa: E402
from sink_layouts import SECOND_DEVICE, add_desktop_sinks, clock_groups  # noqa: E402

PARTS = ("cpu", "stop", "first-byte", "period", "devices", "list", "crowd")
CROWDS = (1, 8, 32)  # streams linked to an exclude capture
DRIFT_SECONDS = 60.0
STEADY_AFTER = 1.0  # seconds after the first byte that steady CPU is counted from
GROUPS_SECONDS = 1.5  # the profiler is read this long for each look at the devices
EXIT_TIMEOUT = 20.0
WAIT_TIMEOUT = 20.0
TONES = {"pw-play": (440, 660), "paplay": (550, 880)}


class Reader:
    """Drains a child's stdout as fast as it comes, noting the first byte."""

    def __init__(self, process, started, keep=False):
        self.process = process
        self.started = started
        self.first_byte = None
        self.count = 0
        self.data = bytearray() if keep else None  # what it wrote, when kept
        self.first = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        fd = self.process.stdout.fileno()
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            if self.first_byte is None:
                self.first_byte = time.monotonic() - self.started
                self.first.set()
            self.count += len(chunk)
            if self.data is not None:
                self.data.extend(chunk)

    def join(self):
        self.thread.join(EXIT_TIMEOUT)
        if self.thread.is_alive():
            raise RuntimeError("stdout of pid %d stayed open" % self.process.pid)


class Run:
    """One measured program: started in its own process group, stdout
    drained, reaped with wait4 for its rusage."""

    def __init__(self, argv, env, stdin=subprocess.PIPE, keep=False):
        self.started = time.monotonic()
        self.process = spawn(argv, env, stdin=stdin, stdout=subprocess.PIPE)
        self.reader = Reader(self.process, self.started, keep)

    def cpu_seconds_so_far(self):
        """CPU time of its threads that are alive now, to the nanosecond
        (the first field of each thread's schedstat)."""
        total = 0
        task_dir = "/proc/%d/task" % self.process.pid
        for task in os.listdir(task_dir):
            try:
                with open(os.path.join(task_dir, task, "schedstat")) as f:
                    total += int(f.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass  # the thread ended meanwhile
        return total / 1e9

    def wait_first_byte(self):
        if not self.reader.first.wait(WAIT_TIMEOUT):
            self.abort()
            raise RuntimeError("no byte from %s" % self.process.args)
        return self.reader.first_byte

    def stop(self, how="stdin"):
        """Stops it (closing stdin, or SIGINT as pw-record wants) and reaps
        it. Returns (seconds from the stop to the reaping, CPU seconds, wall
        seconds from start to exit)."""
        stop_at = time.monotonic()
        if how == "stdin":
            self.process.stdin.close()
        else:
            os.kill(self.process.pid, signal.SIGINT)
        deadline = stop_at + EXIT_TIMEOUT
        while True:
            pid, status, usage = os.wait4(self.process.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                self.abort()
                raise RuntimeError("%s did not exit" % self.process.args)
            time.sleep(0.0002)
        ended = time.monotonic()
        self.process.returncode = os.waitstatus_to_exitcode(status)
        end_group(self.process, grace=0)  # reaped already: only forgets the group
        self.reader.join()
        # pw-record ends with status 1 after SIGINT when it writes to a pipe.
        accepted = (0,) if how == "stdin" else (0, 1, -signal.SIGINT, 130)
        if self.process.returncode not in accepted:
            raise RuntimeError("%s exited with %d" % (self.process.args, self.process.returncode))
        return ended - stop_at, usage.ru_utime + usage.ru_stime, ended - self.started

    def abort(self):
        end_group(self.process, grace=0)


def median(values):
    return statistics.median(values)


class Bench:
    def __init__(self, tool, lister, seconds, rounds, server, drift_seconds=DRIFT_SECONDS):
        self.drift_seconds = drift_seconds
        self.seconds = seconds
        self.rounds = rounds
        self.server = add_desktop_sinks(PrivatePipeWire(server), second_device=True).start()
        self.tool = client_command(self.server.env, [tool])
        self.lister = client_command(self.server.env, [lister])
        self.work = make_temp_dir("harkwell-bench-")
        self.players = {}

    def close(self):
        for player in self.players.values():
            end_group(player)
        self.server.stop()

    def start_players(self):
        long_tone = 600 * RATE  # longer than the whole run
        for program, tones in TONES.items():
            for hz in tones:
                wav = write_tone(os.path.join(self.work, "%d.wav" % hz), hz, long_tone, 0.2)
                # sh waits for its player, so the tree's root is the shell.
                self.players[hz] = spawn(["sh", "-c", "%s %s & wait" % (program, shlex.quote(wav))],
                                         self.server.env)

        def all_linked():
            graph = self.server.dump()
            return graph if len(graph.streams()) >= 4 else None
        self.graph = wait_until(all_linked, WAIT_TIMEOUT)
        if self.graph is None:
            raise RuntimeError("the four players never reached the graph")
        time.sleep(0.5)

    def target_serial(self, hz):
        """The object serial of the stream the player of `hz` plays."""
        graph = self.server.dump()
        # The player is the child of the tree's shell.
        nodes = graph.nodes_of(children_of(self.players[hz].pid), "Stream/Output/Audio")
        if len(nodes) != 1:
            raise RuntimeError("expected one stream for %d Hz, found %r" % (hz, nodes))
        return graph.serial(graph.nodes, nodes[0])

    def harkwell(self, pid, mode):
        return Run(self.tool + [str(pid), mode], self.server.env)

    def pw_record(self, serial, keep=False):
        return Run(["pw-record", "--target", str(serial), "-"], self.server.env,
                   stdin=subprocess.DEVNULL, keep=keep)

    def cpu(self):
        target = self.players[440].pid
        serial = self.target_serial(440)
        programs = {
            "harkwell include (1 stream)": (lambda: self.harkwell(target, "include"), "stdin"),
            "harkwell exclude (3 streams)": (lambda: self.harkwell(target, "exclude"), "stdin"),
            "pw-record --target (1 stream)": (lambda: self.pw_record(serial), "sigint"),
        }
        return self.cpu_rounds(programs)

    def cpu_rounds(self, programs):
        """{name: [(CPU ms per s, audio s per s, steady CPU ms per s)]} of
        each program, started and stopped in turn for every round. The
        first is over the whole run, start-up included; the steady figure
        is over the capture from STEADY_AFTER seconds after the first byte
        to the stop."""
        figures = {name: [] for name in programs}
        for _ in range(self.rounds):
            for name, (start, how) in programs.items():
                run = start()
                run.wait_first_byte()
                time.sleep(STEADY_AFTER)
                steady_from, steady_cpu = time.monotonic(), run.cpu_seconds_so_far()
                time.sleep(max(0.0, self.seconds - STEADY_AFTER))
                steady_cpu = run.cpu_seconds_so_far() - steady_cpu
                steady_wall = time.monotonic() - steady_from
                _, cpu, wall = run.stop(how)
                figures[name].append((1000.0 * cpu / wall, run.reader.count / 4 / RATE / wall,
                                      1000.0 * steady_cpu / steady_wall))
        return figures

    def stop_latency(self):
        target = self.players[440].pid
        figures = {"harkwell": [], "cat": []}
        for _ in range(self.rounds * 5):
            run = self.harkwell(target, "include")
            run.wait_first_byte()
            time.sleep(0.3)
            figures["harkwell"].append(1000.0 * run.stop("stdin")[0])
            run = Run(["cat"], self.server.env)
            time.sleep(0.3)
            figures["cat"].append(1000.0 * run.stop("stdin")[0])
        return figures

    def first_byte(self):
        target = self.players[440].pid
        serial = self.target_serial(440)
        figures = {"harkwell": [], "pw-record": []}
        for _ in range(self.rounds * 3):
            run = self.harkwell(target, "include")
            figures["harkwell"].append(1000.0 * run.wait_first_byte())
            run.stop("stdin")
            run = self.pw_record(serial)
            figures["pw-record"].append(1000.0 * run.wait_first_byte())
            run.stop("sigint")
        return figures

    def periods(self):
        target = self.players[440].pid
        rows = []
        for label in ("players as they are", "with a player asking for 256 frames"):
            extra = None
            if "256" in label:
                wav = write_tone(os.path.join(self.work, "330.wav"), 330, 600 * RATE, 0.2)
                extra = spawn(["pw-play", "--latency", "256", wav], self.server.env)
                time.sleep(1.0)
            before = self.server.period_frames()
            run = self.harkwell(target, "include")
            run.wait_first_byte()
            time.sleep(0.3)
            during = self.server.period_frames()
            run.stop("stdin")
            after = self.server.period_frames()
            rows.append((label, before, during, after))
            if extra is not None:
                end_group(extra)
        return rows

    def device_periods(self):
        """{device: period} from the profiler; a device that follows another
        is shown as following it."""
        groups = clock_groups(self.server, GROUPS_SECONDS)
        graph = self.server.dump()
        periods = {}
        for device in (SINK, SECOND_DEVICE):
            if device in groups:
                periods[device] = str(groups[device]["period"])
            for driver, group in groups.items():
                if graph.node_named(device) in group["followers"] and driver != device:
                    periods[device] = "%d (follows %s)" % (group["period"], driver)
        return periods

    def devices(self):
        """Two devices: the periods of both around captures that take
        streams from one or from both, the gaps in a stream of the default
        sink at the capture's start and end, and the drift of the two clocks
        apart."""
        wav = write_tone(os.path.join(self.work, "770.wav"), 770, 600 * RATE, 0.2)
        both = spawn(["sh", "-c", "pw-play %s & pw-play --target %s %s & wait"
                      % (shlex.quote(wav), SECOND_DEVICE, shlex.quote(wav))], self.server.env)
        try:
            def on_both():
                graph = self.server.dump()
                second = graph.node_named(SECOND_DEVICE)
                return graph.links_between(graph.streams(), [second])
            if not wait_until(on_both, WAIT_TIMEOUT):
                raise RuntimeError("the player never reached the second device")
            time.sleep(0.5)
            drift = clock_groups(self.server, self.drift_seconds)
            rows = []
            cases = (("one device: include of a pw-play tree", self.players[440].pid, "include"),
                     ("both devices: include of a tree on both", both.pid, "include"),
                     ("both devices: exclude of a pw-play tree", self.players[440].pid,
                      "exclude"))
            serial = self.target_serial(440)
            for label, pid, mode in cases:
                reference = self.pw_record(serial, keep=True)
                reference.wait_first_byte()
                before = self.device_periods()
                run = self.harkwell(pid, mode)
                run.wait_first_byte()
                time.sleep(0.3)
                during = self.device_periods()
                run.stop("stdin")
                after = self.device_periods()
                reference.stop("sigint")
                gaps = gaps_between(Pcm(reference.reader.data).sound_runs(block=64))
                rows.append((label, before, during, after, gaps))
        finally:
            end_group(both)
        return rows, drift

    def crowd(self):
        """CPU of exclude captures with 1, 8 and 32 streams linked, beside
        pw-record of the sink's monitor; the other players are ended."""
        for hz in (550, 660, 880):
            end_group(self.players.pop(hz))
        target = self.players[440].pid
        crowd = []
        figures = {}
        try:
            for count in CROWDS:
                while len(crowd) < count:
                    program = "pw-play" if len(crowd) % 2 == 0 else "paplay"
                    wav = write_tone(os.path.join(self.work, "crowd-%d.wav" % len(crowd)),
                                     300 + 37 * len(crowd), 600 * RATE, 0.02)
                    crowd.append(spawn([program, wav], self.server.env))
                def all_playing():
                    return len(self.server.dump().streams()) >= count + 1
                if not wait_until(all_playing, WAIT_TIMEOUT):
                    raise RuntimeError("the crowd of %d never played" % count)
                time.sleep(0.5)
                programs = {
                    "harkwell exclude (%d stream%s)" % (count, "s" if count > 1 else ""):
                        (lambda: self.harkwell(target, "exclude"), "stdin"),
                    "pw-record of the sink's monitor (%d streams on it)" % (count + 1):
                        (lambda: Run(["pw-record", "-P", "{ stream.capture.sink = true }",
                                      "--target", SINK, "-"], self.server.env,
                                     stdin=subprocess.DEVNULL), "sigint"),
                }
                figures.update(self.cpu_rounds(programs))
        finally:
            for player in crowd:
                end_group(player)
        return figures

    def listing(self):
        """Wall time of one listing, beside pw-dump reading the graph once;
        also the rows of the last listing."""
        programs = {"harkwell-list": self.lister, "pw-dump": ["pw-dump"]}
        figures = {name: [] for name in programs}
        for _ in range(self.rounds * 10):
            for name, argv in programs.items():
                started = time.monotonic()
                result = subprocess.run(argv, env=self.server.env, stdin=subprocess.DEVNULL,
                                        capture_output=True, timeout=EXIT_TIMEOUT)
                elapsed = time.monotonic() - started
                if result.returncode != 0:
                    raise RuntimeError("%s failed: %r" % (name, result.stderr))
                figures[name].append(1000.0 * elapsed)
                if name == "harkwell-list":
                    rows = len(result.stdout.splitlines()) - 1  # after the header
        return figures, rows


def describe_machine(pipewire):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "cpu": "%s, %d logical cores" % (cpu, os.cpu_count()),
        "kernel": platform.release(),
        "pipewire": pipewire,
        "load": " ".join("%.2f" % x for x in os.getloadavg()),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "linux-release", "harkwell"))
    parser.add_argument("--lister",
                        default=os.path.join(ROOT, "build", "linux-release", "harkwell-list"))
    parser.add_argument("--seconds", type=float, default=10.0, help="seconds per CPU run")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--server", choices=SERVERS, default="host",
                        help="the PipeWire to measure on (default: the host's)")
    parser.add_argument("--drift-seconds", type=float, default=DRIFT_SECONDS,
                        help="how long the two devices' clocks are compared")
    parser.add_argument("--clock-groups",
                        default=os.path.join(ROOT, "build", "linux", "tests", "e2e",
                                             "clock_groups"),
                        help="the tests' clock_groups probe (built by the linux preset)")
    parser.add_argument("--only", choices=PARTS, action="append",
                        help="measure only this part (may be repeated)")
    args = parser.parse_args()
    parts = args.only or PARTS
    tool = os.path.abspath(args.tool)
    lister = os.path.abspath(args.lister)
    os.environ["HARKWELL_CLOCK_GROUPS"] = os.path.abspath(args.clock_groups)
    for program in (tool, lister, os.environ["HARKWELL_CLOCK_GROUPS"]):
        if not os.access(program, os.X_OK):
            sys.exit("no executable at %s (build the linux-release preset first)" % program)

    bench = Bench(tool, lister, args.seconds, args.rounds, args.server, args.drift_seconds)
    try:
        pipewire = bench.server.describe()
        bench.start_players()
        cpu = bench.cpu() if "cpu" in parts else None
        stop = bench.stop_latency() if "stop" in parts else None
        first = bench.first_byte() if "first-byte" in parts else None
        periods = bench.periods() if "period" in parts else None
        devices = bench.devices() if "devices" in parts else None
        listing = bench.listing() if "list" in parts else None
        crowd = bench.crowd() if "crowd" in parts else None
    finally:
        bench.close()

    machine = describe_machine(pipewire)
    print("- Date: %s; load average at the end %s" % (machine["date"], machine["load"]))
    print("- CPU: %s; Linux %s; %s" % (machine["cpu"], machine["kernel"], machine["pipewire"]))
    print("- Tool: `%s`%s" % (os.path.relpath(tool, ROOT),
                              ", run in the Debian 13 tree with its libpipewire"
                              if args.server == "debian13" else ""))
    if cpu is not None:
        print_cpu(cpu, args)
    if stop is not None:
        print_times("Stop latency: stdin closed -> exit (%d runs, ms)" % len(stop["cat"]), stop,
                    digits=2)
    if first is not None:
        print_first_byte(first)
    if periods is not None:
        print_periods(periods)
    if devices is not None:
        print_devices(*devices, args.drift_seconds)
    if crowd is not None:
        print_crowd(crowd, args)
    if listing is not None:
        figures, rows = listing
        print_times("Listing: start -> exit (%d runs, ms; %d rows listed)"
                    % (len(figures["pw-dump"]), rows), figures, digits=1)


def print_cpu(cpu, args):
    print()
    print("### CPU per second of capture (%d runs of %g s each, medians)"
          % (args.rounds, args.seconds))
    print()
    print("| Program | CPU ms per s | Audio s per s | vs pw-record | steady CPU ms per s | vs pw-record |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    reference = median([c for c, _, _ in cpu["pw-record --target (1 stream)"]])
    steady_reference = median([c for _, _, c in cpu["pw-record --target (1 stream)"]])
    for name, values in cpu.items():
        cpu_ms = median([c for c, _, _ in values])
        audio = median([a for _, a, _ in values])
        steady = median([c for _, _, c in values])
        print("| %s | %.2f | %.3f | %.2f | %.2f | %.2f |"
              % (name, cpu_ms, audio, cpu_ms / reference, steady, steady / steady_reference))


def print_devices(rows, drift, drift_seconds):
    print()
    print("### Two devices: the period of each, frames (profiler, median over %g s)"
          % GROUPS_SECONDS)
    print()
    print("| Capture | device | before | during | after | gaps in a default-sink stream |")
    print("| --- | --- | ---: | ---: | ---: | --- |")
    for label, before, during, after, gaps in rows:
        for device in (SINK, SECOND_DEVICE):
            print("| %s | %s | %s | %s | %s | %s |"
                  % (label, device, before.get(device, "-"), during.get(device, "-"),
                     after.get(device, "-"),
                     ", ".join("%d frames" % gap for gap in gaps) or "none"))
    print()
    print("Clocks over %g s, groups apart: %s" % (drift_seconds, "; ".join(
        "%s %.3f frames/s" % (name, group["frames_per_second"])
        for name, group in drift.items() if name in (SINK, SECOND_DEVICE))))
    if SINK in drift and SECOND_DEVICE in drift:
        apart = drift[SINK]["frames_per_second"] - drift[SECOND_DEVICE]["frames_per_second"]
        print("(apart by %.3f frames/s, %.2f ppm)" % (apart, 1e6 * apart / RATE))


def print_crowd(crowd, args):
    print()
    print("### CPU with many streams (%d runs of %g s each, medians)" % (args.rounds, args.seconds))
    print()
    print("| Program | CPU ms per s | Audio s per s | steady CPU ms per s |")
    print("| --- | ---: | ---: | ---: |")
    for name, values in crowd.items():
        print("| %s | %.2f | %.3f | %.2f |" % (name, median([c for c, _, _ in values]),
                                                median([a for _, a, _ in values]),
                                                median([c for _, _, c in values])))


def print_times(heading, figures, digits):
    """A table of times per program: median, min and max."""
    print()
    print("### " + heading)
    print()
    print("| Program | median | min | max |")
    print("| --- | ---: | ---: | ---: |")
    row = "| %%s | %%.%df | %%.%df | %%.%df |" % (digits, digits, digits)
    for name, values in figures.items():
        print(row % (name, median(values), min(values), max(values)))


def print_first_byte(first):
    print()
    print("### First byte after start (%d runs, ms)" % len(first["harkwell"]))
    print()
    print("| Program | median | mean | min | max |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for name, values in first.items():
        print("| %s | %.1f | %.1f | %.1f | %.1f |" % (name, median(values), statistics.mean(values),
                                                    min(values), max(values)))


def print_periods(periods):
    print()
    print("### The graph's period, frames (pw-profiler, median over 1.5 s)")
    print()
    print("| Graph | before | during a capture | after |")
    print("| --- | ---: | ---: | ---: |")
    for label, before, during, after in periods:
        print("| %s | %d | %d | %d |" % (label, before, during, after))


if __name__ == "__main__":
    main()
