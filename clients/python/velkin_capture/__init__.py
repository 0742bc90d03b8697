"""A client for the velkin-capture agent: start it, take each finished segment
once in call-time order, read its output lines as events, stop it, and read a
segment's samples. Standard library only."""

from .aio import AsyncCapture, start_capture_async
from .caf import SegmentAudio, read_segment
from .client import SEGMENT_SECONDS, Capture, Segment, start_capture
from .errors import CaptureError, SegmentError
from .lines import LineEvent, parse_line

__all__ = [
    "SEGMENT_SECONDS", "AsyncCapture", "Capture", "CaptureError", "LineEvent", "Segment",
    "SegmentAudio", "SegmentError", "parse_line", "read_segment", "start_capture",
    "start_capture_async",
]
