#!/usr/bin/env python3
"""Measures Harkwell.exe beside baseline programs under the same Wine and
writes the figures to BENCHMARKS.md.

Run from the repository root after a mingw build:
    cmake --preset mingw && cmake --build --preset mingw
    python3 bench/windows/run_benchmarks.py            # about 2-3 minutes
    python3 bench/windows/run_benchmarks.py --smoke    # seconds; checks the runner, writes nothing

Every program runs as `wine <exe>` with stdin and stdout as pipes; this script
reads stdout as fast as it can for all of them. Times are taken with
time.perf_counter(); CPU time from /proc/<pid>/task/*/schedstat (nanoseconds),
memory from /proc/<pid>/status (VmHWM) of the Wine process.
"""

import argparse
import datetime
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHUNK = 1920  # bytes per packet: 480 frames of 4 bytes
BYTES_PER_SECOND = 48000 * 4
READ_SIZE = 1 << 20
SOAK_HEADING = "## Soak (one hour)"
SOAK_PLACEHOLDER = SOAK_HEADING + "\n\nto be filled by the soak run\n"

FULL = dict(burst_packets=640000, wake_packets=60000, throughput_runs=3,
            stop_runs=25, idle_seconds=3.0, idle_runs=2)
SMOKE = dict(burst_packets=6400, wake_packets=500, throughput_runs=1,
             stop_runs=2, idle_seconds=0.3, idle_runs=1)


# --- environment -----------------------------------------------------------

class Wine:
    """A private prefix with its server started before any measured run, so
    that no server start-up lands inside a measurement."""

    def __init__(self, build_dir, prefix):
        self.build_dir = build_dir
        self.env = dict(os.environ)
        self.env.update(WINEDEBUG="-all", WINEPREFIX=prefix,
                        WINEDLLOVERRIDES="mmdevapi=n,b")
        self.env.setdefault("HOME", "/root")
        self.env.pop("SIMAUDIO_RECORD", None)
        os.makedirs(self.env["HOME"], exist_ok=True)
        os.makedirs(prefix, exist_ok=True)
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=self.env, **quiet)
        boot_env = dict(self.env, WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run(["wine", "wineboot", "-i"], env=boot_env, check=True, **quiet)
        self.server_pid = find_wineserver(prefix)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def exe(self, name):
        path = os.path.join(self.build_dir, name)
        if not os.path.exists(path):
            sys.exit(f"missing {path}: build first (cmake --preset mingw && "
                     "cmake --build --preset mingw)")
        return path

    def tool(self):
        return ["wine", self.exe("Harkwell.exe"), "1", "include"]

    def bench(self, name, *args):
        return ["wine", self.exe(os.path.join("bench", name + ".exe"))] + [str(a) for a in args]


def find_wineserver(prefix):
    """The wineserver process serving `prefix` (its cwd is the prefix's
    server directory, so match on the environment instead)."""
    target = os.path.realpath(prefix)
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/comm") as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        for entry in env:
            if entry.startswith(b"WINEPREFIX=") and \
                    os.path.realpath(entry[11:].decode()) == target:
                return int(pid)
    return None


# --- /proc readings ----------------------------------------------------------

def cpu_ns(pid):
    """CPU time of all live threads of `pid`, in nanoseconds."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
    except OSError:
        return None
    return total


def status_kb(pid, field):
    try:
        with open(f"/proc/{pid}/status") as f:
            match = re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M)
    except OSError:
        return None
    return int(match.group(1)) if match else None


# --- one run ------------------------------------------------------------------

class Run:
    """A program started with pipes on stdin and stdout; stderr goes to a file."""

    def __init__(self, wine, command, scenario=None):
        env = dict(wine.env)
        if scenario is not None:
            env["SIMAUDIO_SCENARIO"] = scenario
        self.stderr = tempfile.TemporaryFile()
        self.launched = time.perf_counter()
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.stderr)
        self.fd = self.process.stdout.fileno()
        self.first = None
        self.last = None
        self.received = 0

    def read(self, count):
        """Reads until `count` bytes have arrived in all, or end of file."""
        while self.received < count:
            data = os.read(self.fd, READ_SIZE)
            if not data:
                break
            now = time.perf_counter()
            if self.first is None:
                self.first = now
            self.last = now
            self.received += len(data)
        return self.received >= count

    def stop(self):
        """Closes stdin; returns seconds from the close to the process's exit."""
        closed = time.perf_counter()
        self.process.stdin.close()
        self.process.wait()
        exited = time.perf_counter()
        self.drain()
        return exited - closed

    def finish(self):
        self.process.stdin.close()
        self.drain()
        self.process.wait()

    def drain(self):
        while os.read(self.fd, READ_SIZE):
            pass
        self.process.stdout.close()

    def check(self, what):
        self.stderr.seek(0)
        text = self.stderr.read().decode(errors="replace").strip()
        self.stderr.close()
        if self.process.returncode != 0 or text:
            sys.exit(f"{what}: exit status {self.process.returncode}, stderr: {text!r}")


def stream(wine, command, expected, scenario=None):
    """Reads `expected` bytes; returns (seconds first to last byte, VmHWM kB)."""
    run = Run(wine, command, scenario)
    if not run.read(expected):
        run.finish()
        run.check(" ".join(command))
        sys.exit(f"{' '.join(command)}: only {run.received} of {expected} bytes")
    peak = status_kb(run.process.pid, "VmHWM")
    if run.process.poll() is None:
        run.stop()
    else:
        run.finish()
    run.check(" ".join(command))
    return run.last - run.first, peak


# --- scenarios -----------------------------------------------------------------

def write_scenario(folder, name, lines):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def scenarios(folder, burst_packets, wake_packets):
    return dict(
        burst=write_scenario(folder, "burst.txt", [
            "pacing fast", "record-packets off", "batch 64", f"data 480 {burst_packets}"]),
        wake=write_scenario(folder, "wake.txt", [
            "pacing fast", "record-packets off", "batch 1", f"data 480 {wake_packets}"]),
        # One packet pending before the first wait, then nothing ever again.
        ready=write_scenario(folder, "ready.txt", [
            "pacing fast", "record-packets off", "prefill data 480 1"]),
    )


# --- measurements ----------------------------------------------------------------

def median(values):
    return statistics.median(values)


def p90(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(0.9 * (len(ordered) - 1))))]


def throughput(wine, plan, paths):
    packets = plan["burst_packets"]
    wake_packets = plan["wake_packets"]
    burst = {"tool": [], "copy": [], "bare": [], "handoff": []}
    wake = {"tool": [], "wake": []}
    peaks = []
    # Interleaved so that drifts in the machine's load hit all alike.
    for _ in range(plan["throughput_runs"]):
        seconds, peak = stream(wine, wine.tool(), packets * CHUNK, paths["burst"])
        burst["tool"].append(seconds)
        peaks.append(peak)
        burst["copy"].append(stream(wine, wine.bench("baseline_copy", packets, 64), packets * CHUNK)[0])
        burst["bare"].append(stream(wine, wine.bench("baseline_copy", packets, 0), packets * CHUNK)[0])
        burst["handoff"].append(
            stream(wine, wine.bench("baseline_wake", packets, 64), packets * CHUNK)[0])
        wake["tool"].append(stream(wine, wine.tool(), wake_packets * CHUNK, paths["wake"])[0])
        wake["wake"].append(stream(wine, wine.bench("baseline_wake", wake_packets), wake_packets * CHUNK)[0])
    return burst, wake, peaks


def ready_run(wine, command, scenario=None):
    """Starts a program that writes a first byte and then idles until its
    stdin closes; returns the run once the byte has arrived."""
    run = Run(wine, command, scenario)
    if not run.read(1):
        run.finish()
        run.check(" ".join(command))
        sys.exit(f"{' '.join(command)}: no first byte")
    return run


def stop_and_start(wine, plan, paths):
    """Launch to first byte, and stdin close to exit, for the tool (one packet
    pending at once) and for `trivial.exe wait` (one byte, then reads stdin)."""
    result = {"tool_first": [], "trivial_first": [], "tool_stop": [], "trivial_stop": [],
              "trivial_exit": [], "trivial_peak": []}
    for _ in range(plan["stop_runs"]):
        for name, command, scenario in (("tool", wine.tool(), paths["ready"]),
                                        ("trivial", wine.bench("trivial", "wait"), None)):
            run = ready_run(wine, command, scenario)
            result[name + "_first"].append(run.first - run.launched)
            time.sleep(0.05)  # both settle into their idle wait
            if name == "trivial":
                result["trivial_peak"].append(status_kb(run.process.pid, "VmHWM"))
            result[name + "_stop"].append(run.stop())
            run.check(" ".join(command))
        started = time.perf_counter()
        trivial = subprocess.run(wine.bench("trivial"), env=wine.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        result["trivial_exit"].append(time.perf_counter() - started)
        if trivial.returncode != 0:
            sys.exit(f"trivial.exe: exit status {trivial.returncode}")
    return result


def idle(wine, plan, paths):
    """CPU per idle second of the process, and of the Wine server meanwhile."""
    result = {"tool": [], "trivial": [], "tool_server": [], "trivial_server": []}
    seconds = plan["idle_seconds"]
    for _ in range(plan["idle_runs"]):
        for name, command, scenario in (("tool", wine.tool(), paths["ready"]),
                                        ("trivial", wine.bench("trivial", "wait"), None)):
            run = ready_run(wine, command, scenario)
            time.sleep(0.2)
            pid = run.process.pid
            before = (cpu_ns(pid), cpu_ns(wine.server_pid) if wine.server_pid else None,
                      time.perf_counter())
            time.sleep(seconds)
            after = (cpu_ns(pid), cpu_ns(wine.server_pid) if wine.server_pid else None,
                     time.perf_counter())
            run.stop()
            run.check(" ".join(command))
            wall = after[2] - before[2]
            result[name].append((after[0] - before[0]) / 1e6 / wall)
            if before[1] is not None and after[1] is not None:
                result[name + "_server"].append((after[1] - before[1]) / 1e6 / wall)
    return result


# --- report ------------------------------------------------------------------------

def machine_facts():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            match = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M)
            if match:
                cpu = match.group(1).strip()
    except OSError:
        pass
    wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True,
                                  env=dict(os.environ, WINEDEBUG="-all")).stdout.strip()
    return dict(cpu=cpu, cores=os.cpu_count(), wine=wine_version,
                kernel=platform.release(), python=platform.python_version(),
                date=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                load=" ".join(f"{x:.2f}" for x in os.getloadavg()))


def met(ok):
    return "met" if ok else "**not met**"


def report(plan, facts, burst, wake, peaks, stops, idles, command):
    burst_bytes = plan["burst_packets"] * CHUNK
    wake_packets = plan["wake_packets"]
    mbs = {k: burst_bytes / median(v) / 1e6 for k, v in burst.items()}
    rtf = {k: burst_bytes / BYTES_PER_SECOND / median(v) for k, v in burst.items()}
    per_packet = {k: median(v) / wake_packets * 1e6 for k, v in wake.items()}
    ms = {k: [x * 1000 for x in v] for k, v in stops.items() if not k.endswith("peak")}
    copy_ratio = mbs["tool"] / mbs["copy"]
    wake_ratio = per_packet["tool"] / per_packet["wake"]
    stop_gap = median(ms["tool_stop"]) - median(ms["trivial_stop"])
    stop_gap90 = p90(ms["tool_stop"]) - p90(ms["trivial_stop"])
    idle_tool = median(idles["tool"])
    runs = plan["throughput_runs"]
    stop_runs = plan["stop_runs"]

    def row(*cells):
        return "| " + " | ".join(str(c) for c in cells) + " |"

    def header(first, *numbers):
        """A table's heading and alignment rows: the first column text, the rest figures."""
        return [row(first, *numbers), row("---", *["---:"] * len(numbers))]

    lines = [
        "# Benchmarks",
        "",
        "Harkwell.exe measured beside small baseline programs (`bench/windows/`), all in one run under the",
        "same Wine, with the simulated audio stack (`windows/simaudio/`) standing in for the platform. Every",
        "program runs as `wine <exe>` with pipes on stdin and stdout; the runner reads stdout with",
        "`os.read` in 1 MiB blocks as fast as it can, for the tool and the baselines alike. Figures",
        "are medians over repeated runs, interleaved tool / baseline so that load drifts hit both.",
        "",
        "Re-run (from the repository root):",
        "",
        "```",
        command,
        "```",
        "",
        f"- Date: {facts['date']}",
        f"- CPU: {facts['cpu']}, {facts['cores']} logical cores; load average at the end "
        f"{facts['load']}",
        f"- Wine: {facts['wine']}; Linux {facts['kernel']}; Python {facts['python']}",
        "- Build: `mingw` preset (RelWithDebInfo, static), the stand-in `mmdevapi.dll` beside the",
        "  exe, scenarios with `record-packets off`.",
        "",
        "## 1a. Throughput in bursts (64 packets per wake)",
        "",
        f"Scenario `pacing fast`, `batch 64`, `data 480 {plan['burst_packets']}` "
        f"({burst_bytes / 1e6:.0f} MB, {burst_bytes / BYTES_PER_SECOND:.0f} s of audio); the stand-in",
        "queues the next 64 packets as soon as the previous 64 are released. Time from the first",
        f"to the last byte read; {runs} runs each. `baseline_copy N 64`: one fwrite + one fflush per",
        "1,920-byte chunk, plus one SetEvent + WaitForSingleObject per 64 chunks; `baseline_copy N 0`:",
        "the bare copy loop; `baseline_wake N 64`: the same writes, with a second thread handing",
        "over each 64 the way the stand-in does (set `ready`, wait `done`), but building nothing.",
        "",
        *header("Program", "MB/s", "Real-time factor", "Tool / program"),
        row("Harkwell.exe", f"{mbs['tool']:.0f}", f"{rtf['tool']:.0f}", "1.00"),
        row("baseline_copy (events)", f"{mbs['copy']:.0f}", f"{rtf['copy']:.0f}",
            f"{copy_ratio:.2f}"),
        row("baseline_copy (bare)", f"{mbs['bare']:.0f}", f"{rtf['bare']:.0f}",
            f"{mbs['tool'] / mbs['bare']:.2f}"),
        row("baseline_wake (two threads, 64 per wake)", f"{mbs['handoff']:.0f}",
            f"{rtf['handoff']:.0f}", f"{mbs['tool'] / mbs['handoff']:.2f}"),
        "",
        f"Goal: at least 0.8 of the baseline with events: {copy_ratio:.2f}, {met(copy_ratio >= 0.8)}.",
        "",
        "## 1b. One wake per packet",
        "",
        f"Scenario `pacing fast`, `batch 1`, `data 480 {wake_packets}`. `baseline_wake N`: a",
        "producer thread sets an auto-reset event and waits for the consumer's; the consumer waits,",
        "writes and flushes 1,920 bytes, and answers. Cost per packet = time first to last byte /",
        f"packets; {runs} runs each.",
        "",
        *header("Program", "µs per packet", "Packets/s", "Tool / program"),
        row("Harkwell.exe", f"{per_packet['tool']:.1f}", f"{1e6 / per_packet['tool']:.0f}", "1.00"),
        row("baseline_wake", f"{per_packet['wake']:.1f}", f"{1e6 / per_packet['wake']:.0f}",
            f"{wake_ratio:.2f}"),
        "",
        f"Goal: at most 1.2 × the baseline: {wake_ratio:.2f}, {met(wake_ratio <= 1.2)}.",
        "",
        "## 2. Stop latency",
        "",
        "From closing the program's stdin (the runner's `close()` of the pipe) to `waitpid`",
        "returning for the Wine process. The tool runs scenario `prefill data 480 1`; the close",
        "comes 50 ms after its first byte arrived, when it sleeps in its wait. The floor is",
        "`trivial.exe wait`: it writes one byte, then blocks in ReadFile on stdin and returns 0 at",
        f"end of input, so both exits start from a blocked read of stdin. {stop_runs} runs each.",
        "",
        *header("Program", "Median ms", "p90 ms"),
        row("Harkwell.exe", f"{median(ms['tool_stop']):.1f}", f"{p90(ms['tool_stop']):.1f}"),
        row("trivial.exe wait", f"{median(ms['trivial_stop']):.1f}",
            f"{p90(ms['trivial_stop']):.1f}"),
        row("Difference", f"{stop_gap:+.1f}", f"{stop_gap90:+.1f}"),
        "",
        f"Goal: within 10 ms of the trivial exe (median): {stop_gap:+.1f} ms, "
        f"{met(stop_gap <= 10)}.",
        "",
        "## 3. Idle cost",
        "",
        f"The tool with scenario `prefill data 480 1`: after its one packet nothing arrives. From",
        f"0.2 s after the first byte, CPU time over {plan['idle_seconds']:.0f} s wall, summed over",
        "the process's threads from `/proc/<pid>/task/*/schedstat` (ns resolution); the Wine",
        "server's CPU over the same window beside it (the prefix is private to the runner). "
        f"{plan['idle_runs']} runs each; medians.",
        "",
        *header("Program", "Process CPU ms per idle s", "wineserver CPU ms per idle s"),
        row("Harkwell.exe", f"{idle_tool:.3f}",
            f"{median(idles['tool_server']):.3f}" if idles["tool_server"] else "n/a"),
        row("trivial.exe wait", f"{median(idles['trivial']):.3f}",
            f"{median(idles['trivial_server']):.3f}" if idles["trivial_server"] else "n/a"),
        "",
        f"Goal: under 1 ms CPU per idle second: {idle_tool:.3f} ms, {met(idle_tool < 1)}.",
        "",
        "## 4. Start-up",
        "",
        "From `Popen` to the first byte read from stdout: the tool with one packet pending at once",
        "(`prefill data 480 1`), `trivial.exe wait` writing its byte first thing; and `trivial.exe`",
        f"(no arguments) from `Popen` to exit. {stop_runs} runs each (the runs of section 2).",
        "",
        *header("Program", "Median ms", "p90 ms", "Tool − program (median)"),
        row("Harkwell.exe, launch to first byte", f"{median(ms['tool_first']):.1f}",
            f"{p90(ms['tool_first']):.1f}", ""),
        row("trivial.exe wait, launch to first byte", f"{median(ms['trivial_first']):.1f}",
            f"{p90(ms['trivial_first']):.1f}",
            f"{median(ms['tool_first']) - median(ms['trivial_first']):+.1f}"),
        row("trivial.exe, launch to exit", f"{median(ms['trivial_exit']):.1f}",
            f"{p90(ms['trivial_exit']):.1f}",
            f"{median(ms['tool_first']) - median(ms['trivial_exit']):+.1f}"),
        "",
        "No goal is set; the figures are for comparison.",
        "",
        "## 5. Memory",
        "",
        "Peak resident set (`VmHWM` in `/proc/<pid>/status`) of the Wine process: the tool read",
        "right after the last byte of a burst run of section 1a (the stand-in's queue and",
        "DLL included), `trivial.exe wait` while it waits on stdin.",
        "",
        *header("Program", "Peak working set (MiB)"),
        row("Harkwell.exe during capture", f"{median(peaks) / 1024:.1f}"),
        row("trivial.exe wait", f"{median(stops['trivial_peak']) / 1024:.1f}"),
        row("Difference", f"{(median(peaks) - median(stops['trivial_peak'])) / 1024:+.1f}"),
        "",
        "No goal is set; most of either figure is Wine's own mappings.",
        "",
    ]
    return lines


def keep_soak_section(path):
    """The soak section as it stands in the existing file, or the placeholder."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return SOAK_PLACEHOLDER
    start = text.find(SOAK_HEADING)
    if start < 0:
        return SOAK_PLACEHOLDER
    end = text.find("\n## ", start + len(SOAK_HEADING))
    return text[start:] if end < 0 else text[start:end + 1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true",
                        help="tiny counts: checks that every measurement runs; writes nothing")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "mingw"))
    parser.add_argument("--output", default=os.path.join(ROOT, "BENCHMARKS.md"))
    parser.add_argument("--notes", default=os.path.join(ROOT, "bench", "windows", "notes.md"),
                        help="hand-written findings appended before the soak section")
    parser.add_argument("--prefix", default=os.path.join(ROOT, "build", "wineprefix-bench"),
                        help="Wine prefix used only by this runner (its server is stopped at the end)")
    args = parser.parse_args()
    plan = SMOKE if args.smoke else FULL

    started = time.perf_counter()
    wine = Wine(os.path.abspath(args.build_dir), os.path.abspath(args.prefix))
    try:
        with tempfile.TemporaryDirectory() as folder:
            paths = scenarios(folder, plan["burst_packets"], plan["wake_packets"])
            burst, wake, peaks = throughput(wine, plan, paths)
            stops = stop_and_start(wine, plan, paths)
            idles = idle(wine, plan, paths)
    finally:
        wine.close()
    facts = machine_facts()
    command = "cmake --preset mingw && cmake --build --preset mingw && python3 bench/windows/run_benchmarks.py"
    lines = report(plan, facts, burst, wake, peaks, stops, idles, command)
    lines.append(f"Runner wall time: {time.perf_counter() - started:.0f} s.")
    lines.append("")
    text = "\n".join(lines)
    if args.smoke:
        print(text)
        print("smoke run: every measurement ran; nothing written")
        return
    try:
        with open(args.notes) as f:
            text += "\n" + f.read().rstrip("\n") + "\n"
    except OSError:
        pass
    text += "\n" + keep_soak_section(args.output)
    with open(args.output, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
