#!/usr/bin/env python3
"""Records a call until Ctrl-C and prints a line per finished segment: its
track, where it starts in the call, and its level in dBFS.

    python3 levels.py [path/to/velkin-capture]
"""
import math
import signal
import sys
import threading

from velkin_capture import CaptureError, read_segment, start_capture


def level_dbfs(samples):
    """The RMS level of 16-bit samples against full scale."""
    power = sum(s * s for s in samples) / max(len(samples), 1)
    return 10 * math.log10(power / 32768**2) if power else -math.inf


def main():
    try:
        capture = start_capture(executable=sys.argv[1] if len(sys.argv) > 1 else None)
    except CaptureError as error:
        sys.exit(f"velkin-capture did not start: {error}")
    with capture:
        # Ctrl-C or SIGTERM stops the agent in order (on a thread of its own:
        # stop() waits); the loop then ends once the segments it finished on
        # the way out are printed.
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, lambda *_: threading.Thread(target=capture.stop).start())
        print(f"Recording into {capture.segment_directory}. Ctrl-C stops.", flush=True)
        for segment in capture.segments():
            minutes, seconds = divmod(segment.start_seconds, 60)
            level = level_dbfs(read_segment(segment.path).samples)
            print(f"[{minutes:02d}:{seconds:02d}] {segment.track:<11} {level:6.1f} dBFS", flush=True)
    print(f"velkin-capture exited with status {capture.returncode}")
    return capture.returncode


if __name__ == "__main__":
    sys.exit(main())
