"""Record the audio one process tree plays, or everything else, as raw PCM.

    import harkwell

    with harkwell.capture(4242, "include") as cap, harkwell.wav_writer("app.wav") as wav:
        threading.Timer(5, cap.stop).start()
        for chunk in cap:
            wav.writeframes(chunk)

The audio is signed 16-bit little-endian, 2 channels, 48000 Hz (SAMPLE_RATE,
CHANNELS, SAMPLE_WIDTH), with no header; nothing arrives while the target
plays nothing.
"""

from ._binary import binary_path
from ._capture import CHANNELS, SAMPLE_RATE, SAMPLE_WIDTH, Capture, capture, wav_writer
from ._errors import HarkwellError
from ._listing import PlayingProcess, list_streams

__all__ = ["CHANNELS", "SAMPLE_RATE", "SAMPLE_WIDTH", "Capture", "HarkwellError",
           "PlayingProcess", "binary_path", "capture", "list_streams", "wav_writer"]
