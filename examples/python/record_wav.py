#!/usr/bin/env python3
"""Records the audio of a process tree into a WAV file, with the harkwell
package (pip install harkwell-<version>-<platform>.whl).

    python record_wav.py <pid> <include|exclude> <seconds> <out.wav>

HARKWELL_BINARY names an executable of your own build in place of the
package's.
"""

import argparse
import sys
import threading

import harkwell


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pid", type=int)
    parser.add_argument("mode", choices=["include", "exclude"])
    parser.add_argument("seconds", type=float)
    parser.add_argument("output")
    args = parser.parse_args()

    try:
        with harkwell.capture(args.pid, args.mode) as cap, \
                harkwell.wav_writer(args.output) as wav:
            # Record for the time asked, or less if the tool ends on its own
            # (a failure, raised when the block ends).
            timer = threading.Timer(args.seconds, cap.stop)
            timer.start()
            try:
                for chunk in cap:
                    wav.writeframesraw(chunk)
            finally:
                timer.cancel()
    except harkwell.HarkwellError as error:
        print(error, file=sys.stderr)
        return 1
    print("wrote %.2f s of audio to %s" % (wav.getnframes() / harkwell.SAMPLE_RATE, args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
