"""Tones to play and the judging of captured PCM (s16le, 2 channels, 48 kHz).

Tone strength is measured per block by correlating the samples with a sine
and a cosine of the tone's frequency (one bin of a discrete Fourier
transform); the sums run in C through map(), fast enough for minutes of audio.
"""

import math
import operator
import random
import sys
import wave
from array import array

RATE = 48000
CHANNELS = 2
FRAME_BYTES = 4
FULL_SCALE = 32768.0
SILENCE = 64  # |sample| above this counts as sound (about -54 dBFS)


def tone_samples(hz, frames, amplitude, rate=RATE, channels=CHANNELS):
    """A cosine, interleaved over the channels: its first sample is at full
    amplitude, so the start of the tone is exact in a capture."""
    step = 2.0 * math.pi * hz / rate
    peak = amplitude * (FULL_SCALE - 1)
    # A whole number of cycles per second repeats exactly: compute one second.
    period = rate if float(hz).is_integer() else frames
    mono = array("h", (int(round(peak * math.cos(step * n))) for n in range(min(frames, period))))
    while len(mono) < frames:
        mono.extend(mono[:frames - len(mono)])
    samples = array("h", bytes(2 * channels * frames))
    for channel in range(channels):
        samples[channel::channels] = mono
    if sys.byteorder == "big":
        samples.byteswap()
    return samples.tobytes()


def write_tone(path, hz, frames, amplitude=0.3, rate=RATE, channels=CHANNELS):
    """A 16-bit WAV file holding a tone (see tone_samples)."""
    with wave.open(path, "wb") as wav:
        wav.setnchannels(channels)
        wav.setsampwidth(2)
        wav.setframerate(rate)
        wav.writeframes(tone_samples(hz, frames, amplitude, rate, channels))
    return path


def write_noise(path, frames, amplitude=0.3, seed=1, channels=CHANNELS):
    """A 16-bit WAV file of white noise, the same on both front channels
    (and silence on any others): unlike a tone, no stretch of it repeats, so
    a stretch of a capture can be found in another capture of the same
    stream. The same seed gives the same noise for any number of channels."""
    peak = int(amplitude * (FULL_SCALE - 1))
    rng = random.Random(seed)
    mono = array("h", (rng.randint(-peak, peak) for _ in range(frames)))
    samples = array("h", bytes(2 * channels * frames))
    samples[0::channels] = mono
    samples[1::channels] = mono
    if sys.byteorder == "big":
        samples.byteswap()
    with wave.open(path, "wb") as wav:
        wav.setnchannels(channels)
        wav.setsampwidth(2)
        wav.setframerate(RATE)
        wav.writeframes(samples.tobytes())
    return path


def write_silence(path, frames, rate=RATE, channels=CHANNELS):
    with wave.open(path, "wb") as wav:
        wav.setnchannels(channels)
        wav.setsampwidth(2)
        wav.setframerate(rate)
        wav.writeframes(bytes(2 * channels * frames))
    return path


def follow_source(capture, source, probe_frames=64, min_silence=32):
    """How a capture of a stream of noise (no stretch of which repeats)
    follows the noise it played, both as bytes. Returns the capture's
    stretches in order, each (kind, first, end, source_first) in frames:
    "source" for a stretch equal, sample for sample, to the source from
    source_first on; "silence" for zero frames (at least min_silence of
    them); "other" for what is neither."""
    frames = len(capture) // FRAME_BYTES
    zero_probe = bytes(min_silence * FRAME_BYTES)
    stretches = []
    expected = None  # where the source goes on after the last stretch of it
    at = 0
    while at < frames:
        begin = at * FRAME_BYTES
        if capture[begin:begin + len(zero_probe)] == zero_probe:
            end = at + min_silence
            while end < frames and capture[end * FRAME_BYTES:(end + 1) * FRAME_BYTES] == \
                    bytes(FRAME_BYTES):
                end += 1
            stretches.append(("silence", at, end, None))
            at = end
            continue
        probe = capture[begin:begin + min(probe_frames, frames - at) * FRAME_BYTES]
        found = -1
        if expected is not None and \
                source[expected * FRAME_BYTES:expected * FRAME_BYTES + len(probe)] == probe:
            found = expected * FRAME_BYTES
        else:
            found = source.find(probe)
            while found >= 0 and found % FRAME_BYTES:
                found = source.find(probe, found + 1)
        if found < 0:
            end = min(frames, at + probe_frames)
            if stretches and stretches[-1][0] == "other":
                stretches[-1] = ("other", stretches[-1][1], end, None)
            else:
                stretches.append(("other", at, end, None))
            at = end
            continue
        first = found // FRAME_BYTES
        # How far it goes on equal to the source: a block at a time, then
        # frame by frame in the block that differs.
        length, block = 0, 4096
        while at + length < frames:
            step = min(block, frames - at - length)
            ours = capture[(at + length) * FRAME_BYTES:(at + length + step) * FRAME_BYTES]
            theirs = source[(first + length) * FRAME_BYTES:(first + length + step) * FRAME_BYTES]
            if ours == theirs:
                length += step
                continue
            length += next(n for n in range(step)
                           if ours[n * FRAME_BYTES:(n + 1) * FRAME_BYTES]
                           != theirs[n * FRAME_BYTES:(n + 1) * FRAME_BYTES])
            break
        stretches.append(("source", at, at + length, first))
        expected = first + length
        at += length
    return stretches


def one_channel_starts(capture, source, stretches, max_frames):
    """follow_source's stretches with each "other" stretch of at most
    max_frames that leads into a stretch of the source, and in which one
    channel is already that source while the other is still silent, marked
    ("one channel", first, end, source_first): the links of a stream's two
    ports became active a cycle apart."""
    def channel(data, first, end, index):
        return array("h", data[first * FRAME_BYTES:end * FRAME_BYTES])[index::CHANNELS]

    marked = list(stretches)
    for k, (kind, first, end, _) in enumerate(stretches[:-1]):
        after = stretches[k + 1]
        if kind != "other" or end - first > max_frames or after[0] != "source":
            continue
        source_first = after[3] - (end - first)
        if source_first < 0:
            continue
        ours = [channel(capture, first, end, i) for i in range(CHANNELS)]
        theirs = [channel(source, source_first, source_first + end - first, i)
                  for i in range(CHANNELS)]
        silent = [not any(samples) for samples in ours]
        same = [ours[i] == theirs[i] for i in range(CHANNELS)]
        if any(same[i] and any(silent[:i] + silent[i + 1:]) for i in range(CHANNELS)):
            marked[k] = ("one channel", first, end, source_first)
    return marked


def source_heard(stretches):
    """The frames of the source a capture holds, as (first, end) ranges."""
    return [(source_first, source_first + end - first)
            for kind, first, end, source_first in stretches if kind == "source"]


def source_faults(stretches, source, reference=None, late_frames=0):
    """What in follow_source's stretches is not the source played on, with
    nothing lost or repeated: stretches of other sound, stretches of the
    source that repeat some, and frames of the source that are missing (a
    skip over silent frames of the noise itself is none). Silence between
    stretches is allowed: it is sound that had not come yet, not sound lost.
    With the stretches of another recording of the same stream at the same
    time (reference), frames missing from it too are what the server gave
    neither, and are no fault either. Nor are up to late_frames frames in
    all that are missing in stretches no longer than that: what the server
    did not give this recorder in cycles it was found late in."""
    faults, expected = [], None
    heard = source_heard(reference) if reference is not None else []
    span = (min(a for a, _ in heard), max(b for _, b in heard)) if heard else None

    def lost_by_both(first, end):
        return (span is not None and span[0] <= first and end <= span[1]
                and not any(a < end and first < b for a, b in heard))

    for kind, first, end, source_first in stretches:
        if kind == "other":
            faults.append("frames %d to %d are not the source" % (first, end))
        elif kind == "source":
            if expected is not None and source_first != expected:
                skipped = source[expected * FRAME_BYTES:source_first * FRAME_BYTES]
                if source_first < expected:
                    faults.append("frame %d repeats %d frames of the source"
                                  % (first, expected - source_first))
                elif skipped != bytes(len(skipped)) and not lost_by_both(expected, source_first):
                    missing = source_first - expected
                    if missing <= late_frames:
                        late_frames -= missing
                    else:
                        faults.append("frame %d: %d frames of the source are missing"
                                      % (first, missing))
            expected = source_first + (end - first)
    return faults


def gaps_between(runs):
    """The lengths of the silences between Pcm.sound_runs' stretches."""
    return [later[0] - earlier[1] for earlier, later in zip(runs, runs[1:])]


class Pcm:
    """Captured stereo PCM, split into its channels."""

    def __init__(self, data):
        whole = len(data) - len(data) % FRAME_BYTES
        samples = array("h")
        samples.frombytes(bytes(data[:whole]))
        if sys.byteorder == "big":
            samples.byteswap()
        self.channels = (samples[0::2], samples[1::2])
        self.frames = len(self.channels[0])

    @property
    def seconds(self):
        return self.frames / RATE

    def sound_span(self):
        """(first, last + 1) frame holding sound in either channel, or None."""
        first = last = None
        for channel in self.channels:
            loud = _loud_edges(channel)
            if loud:
                first = loud[0] if first is None else min(first, loud[0])
                last = loud[-1] if last is None else max(last, loud[-1])
        return None if first is None else (first, last + 1)

    def describe_edges(self, span, count=4):
        """The first and last samples of a stretch of sound: a tone that
        starts at its peak and lost its head shows here."""
        first, end = span
        return "first frames %s, last frames %s" % (
            list(zip(*(channel[first:first + count] for channel in self.channels))),
            list(zip(*(channel[end - count:end] for channel in self.channels))))

    def sound_runs(self, block=480):
        """The stretches of sound, as (first, end) frame ranges in whole
        blocks, split wherever a block is silent."""
        runs, first = [], None
        for begin in range(0, self.frames, block):
            loud = any(max(part) > SILENCE or min(part) < -SILENCE
                       for part in (channel[begin:begin + block] for channel in self.channels))
            if loud and first is None:
                first = begin
            elif not loud and first is not None:
                runs.append((first, begin))
                first = None
        if first is not None:
            runs.append((first, self.frames))
        return runs

    def louder_tone(self, tones, first, end):
        """Which of `tones` (Hz) sounds loudest between frames first and end."""
        def level(hz):
            return max(abs(z) for _, row in self.block_phasors(hz, end - first, first, end)
                       for z in row)
        return max(tones, key=level)

    def block_phasors(self, hz, block, start=0, stop=None):
        """Per block of `block` frames from `start`: for each channel the
        complex amplitude of the tone (|z| in full-scale units, arg(z) its
        phase measured against frame 0 of the capture)."""
        stop = self.frames if stop is None else stop
        step = 2.0 * math.pi * hz / RATE
        cos_table = array("d", (math.cos(step * n) for n in range(block)))
        sin_table = array("d", (math.sin(step * n) for n in range(block)))
        scale = 2.0 / (block * FULL_SCALE)
        result = []
        for begin in range(start, stop - block + 1, block):
            rotate = complex(math.cos(step * begin), -math.sin(step * begin))
            row = []
            for channel in self.channels:
                part = channel[begin:begin + block]
                real = sum(map(operator.mul, part, cos_table))
                imag = -sum(map(operator.mul, part, sin_table))
                row.append(complex(real, imag) * scale * rotate)
            result.append((begin, row))
        return result

    def tone_levels(self, hz, block=4800):
        """The tone's amplitude (0..1 of full scale) per block, the louder
        channel of each block."""
        return [max(abs(z) for z in row) for _, row in self.block_phasors(hz, block)]

    def heard_seconds(self, hz, amplitude, block=4800):
        """How long the tone sounds at no less than 70 % of its amplitude."""
        levels = self.tone_levels(hz, block)
        return sum(block for level in levels if level >= 0.7 * amplitude) / RATE

    def peak_level(self, hz, block=4800):
        return max(self.tone_levels(hz, block), default=0.0)

    def continuity_faults(self, hz, amplitude, start, stop, block=960):
        """Blocks between `start` and `stop` where a continuous tone is not
        what it should be: level off by more than 10 % in either channel, or
        phase away from the first block's by more than 0.1 rad (a frame lost
        or repeated anywhere before shifts every later block)."""
        faults = []
        blocks = self.block_phasors(hz, block, start, stop)
        if not blocks:
            return ["no whole block between frames %d and %d" % (start, stop)]
        reference = [z / abs(z) if abs(z) > 0 else 1 for z in blocks[0][1]]
        for begin, row in blocks:
            for channel, (z, ref) in enumerate(zip(row, reference)):
                if abs(abs(z) - amplitude) > 0.1 * amplitude:
                    faults.append("frame %d ch %d: level %.4f, expected %.4f"
                                  % (begin, channel, abs(z), amplitude))
                elif abs(math.remainder(math.atan2((z / ref).imag, (z / ref).real), 2 * math.pi)) > 0.1:
                    faults.append("frame %d ch %d: phase moved by %.3f rad"
                                  % (begin, channel, math.atan2((z / ref).imag, (z / ref).real)))
        return faults


def _loud_edges(channel):
    """The first and last index of a sample louder than SILENCE, found a
    chunk at a time so that long silent stretches cost little."""
    chunk = 4096
    first = last = None
    for begin in range(0, len(channel), chunk):
        part = channel[begin:begin + chunk]
        if max(part) > SILENCE or min(part) < -SILENCE:
            index = next(n for n, v in enumerate(part) if v > SILENCE or v < -SILENCE)
            first = begin + index
            break
    if first is None:
        return []
    for end in range(len(channel), first, -chunk):
        begin = max(first, end - chunk)
        part = channel[begin:end]
        if max(part) > SILENCE or min(part) < -SILENCE:
            index = next(n for n in range(len(part) - 1, -1, -1)
                         if part[n] > SILENCE or part[n] < -SILENCE)
            last = begin + index
            break
    return [first, last]


def stream_tone(out, hz, frames, amplitude):
    """Writes `frames` of a tone of whole hertz as raw samples (s16le,
    stereo, 48 kHz), one second at a time."""
    data = tone_samples(hz, RATE, amplitude)
    left = frames * FRAME_BYTES
    while left > 0:
        out.write(data[:left])
        left -= len(data)
    out.flush()


if __name__ == "__main__":
    # pcm.py tone <hz> <frames> <amplitude>: raw s16le stereo 48 kHz on stdout.
    if len(sys.argv) != 5 or sys.argv[1] != "tone" or not float(sys.argv[2]).is_integer():
        sys.exit("usage: pcm.py tone <whole hz> <frames> <amplitude>")
    try:
        stream_tone(sys.stdout.buffer, float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
    except BrokenPipeError:
        pass  # the player was stopped
