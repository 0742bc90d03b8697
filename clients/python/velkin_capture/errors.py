"""The errors of this package."""


class CaptureError(Exception):
    """The agent could not be started or did not become ready; the message is
    the agent's own description when it gave one."""


class SegmentError(CaptureError):
    """A file that is not a finished segment was given to read_segment()."""
