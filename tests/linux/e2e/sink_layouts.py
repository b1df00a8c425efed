"""Sinks of real desktops for a private server: surround and mono layouts
and a second device, added to the server's configuration before it starts;
and the graph's clock groups as the server's profiler shows them."""

import json
import os
import subprocess

# Name → channel positions of each extra sink.
LAYOUTS = {
    "harkwell_sink_51": "FL FR FC LFE RL RR",
    "harkwell_sink_71": "FL FR FC LFE RL RR SL SR",
    "harkwell_sink_mono": "MONO",
}
SECOND_DEVICE = "harkwell_sink_second"
SECOND_DEVICE_QUANTUM = 512

_SINK = """  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "%s"
      media.class = "Audio/Sink"
      audio.position = [ %s ]
      audio.rate = 48000
      %s
    }
  }"""


def add_desktop_sinks(server, second_device=False):
    """Writes the extra sinks into the (not yet started) server's config."""
    sinks = [_SINK % (name, positions, "") for name, positions in LAYOUTS.items()]
    if second_device:
        # A device that drives its own clock at a period of its own.
        sinks.append(_SINK % (SECOND_DEVICE, "FL FR",
                              "node.force-quantum = %d" % SECOND_DEVICE_QUANTUM))
    path = os.path.join(server.folders["config"], "pipewire", "pipewire.conf.d",
                        "60-harkwell-desktop-sinks.conf")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("context.objects = [\n%s\n]\n" % "\n".join(sinks))
    return server


PROBE_TIMEOUT = 30.0  # seconds beyond the watch itself


def clock_groups(server, seconds=1.0):
    """Every driver that ran while the profiler was watched for `seconds`:
    {driver node name: {"period": frames, "followers": node ids, "driver":
    its id, "frames_per_second": its clock's rate}} (tests/linux/e2e/
    clock_groups.cpp, named by HARKWELL_CLOCK_GROUPS)."""
    probe = os.environ.get("HARKWELL_CLOCK_GROUPS", "")
    if not probe or not os.access(probe, os.X_OK):
        raise AssertionError("HARKWELL_CLOCK_GROUPS must name the clock_groups probe")
    result = subprocess.run([probe, "%g" % seconds], env=server.env, capture_output=True,
                            timeout=seconds + PROBE_TIMEOUT)
    if result.returncode != 0:
        raise RuntimeError("clock_groups failed: %r" % result.stderr)
    groups = {}
    for line in result.stdout.decode().splitlines():
        driver = json.loads(line)
        groups[driver.pop("name")] = driver
    return groups
