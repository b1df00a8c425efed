"""Drives the installed harkwell package through its public API, one case per
command, and prints what it saw as one JSON line. Run with the Python of the
environment the wheel was installed into:

    python probe.py <command> [arguments...]
"""

import dataclasses
import json
import sys
import threading
import time

import harkwell


def describe(error):
    return {"name": type(error).__name__, "message": str(error),
            "status": getattr(error, "status", None),
            "tool_message": getattr(error, "tool_message", None)}


def record(pid, mode, seconds, wav_path):
    """Iterates for `seconds`, stopped by stop() from a timer, into a WAV file."""
    with harkwell.capture(int(pid), mode) as cap, harkwell.wav_writer(wav_path) as wav:
        threading.Timer(float(seconds), cap.stop).start()
        chunks = [chunk for chunk in cap]
        for chunk in chunks:
            wav.writeframes(chunk)
    return {"returncode": cap.returncode, "all_bytes": all(type(c) is bytes for c in chunks)}


def read_exact(pid, mode, seconds, pcm_path):
    """read(n) returns n bytes while the capture runs; leaving the block stops it."""
    size = int(float(seconds) * harkwell.SAMPLE_RATE) * harkwell.CHANNELS * harkwell.SAMPLE_WIDTH
    started = time.monotonic()
    with harkwell.capture(int(pid), mode) as cap:
        data = cap.read(size)
    with open(pcm_path, "wb") as f:
        f.write(data)
    return {"returncode": cap.returncode, "bytes": len(data), "wanted": size,
            "seconds": time.monotonic() - started}


def failure(pid):
    """A capture the tool fails: leaving the block raises HarkwellError."""
    data = b""
    try:
        with harkwell.capture(int(pid)) as cap:
            data = cap.read()
    except harkwell.HarkwellError as error:
        return dict(describe(error), bytes=len(data))
    return {"raised": False}


def stuck(stop_timeout):
    """A tool that does not end when its stdin closes is killed after the
    time given, and leaving the block says so."""
    try:
        with harkwell.capture(1, stop_timeout=float(stop_timeout)):
            pass
    except harkwell.HarkwellError as error:
        return describe(error)
    return {"raised": False}


def bad_arguments():
    answers = []
    for args in [("abc",), (0,), (1.5,), (2 ** 31,), (True,), (1, "sideways")]:
        try:
            harkwell.capture(*args)
            answers.append({"accepted": repr(args)})
        except Exception as error:  # noqa: BLE001: the type is what is checked
            answers.append(describe(error))
    return answers


def start_error():
    try:
        with harkwell.capture(1):
            pass
    except harkwell.HarkwellError as error:
        return describe(error)
    return {"raised": False}


def list_streams():
    rows = harkwell.list_streams()
    return {"typed": all(isinstance(row, harkwell.PlayingProcess) for row in rows),
            "rows": [dataclasses.asdict(row) for row in rows]}


def list_error():
    try:
        harkwell.list_streams()
    except harkwell.HarkwellError as error:
        return describe(error)
    return {"raised": False}


COMMANDS = {"record": record, "read_exact": read_exact, "failure": failure, "stuck": stuck,
            "bad_arguments": bad_arguments, "start_error": start_error,
            "list_streams": list_streams, "list_error": list_error}

if __name__ == "__main__":
    print(json.dumps(COMMANDS[sys.argv[1]](*sys.argv[2:])))
