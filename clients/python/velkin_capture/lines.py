"""The agent's standard error lines, as typed events."""

from __future__ import annotations

import re
from dataclasses import dataclass


@dataclass(frozen=True)
class LineEvent:
    """One line of the agent's standard error.

    `type` is one of "first-output" (`kind`), "capture-error" (`description`),
    "capture-stopped" (`description`), "warning" (`text`), "writer-resumed"
    (`track`, `held_seconds`, `dropped_seconds`), "writer-error" (`track`, None
    for an error of no single track, and `description`) or "text" (`text`).
    `line` is the line as the agent wrote it, without its line end.
    """

    type: str
    line: str
    kind: str | None = None
    description: str | None = None
    text: str | None = None
    track: str | None = None
    held_seconds: float | None = None
    dropped_seconds: float | None = None


_RESUMED = re.compile(r"Velkin (\w+) writer resumed: ([0-9.]+) s held, ([0-9.]+) s dropped")
_TRACK_WRITER_ERROR = re.compile(r"Velkin (\w+) writer error: (.*)")
_PREFIXES = (
    ("VELKIN_CAPTURE_FIRST_OUTPUT ", "first-output", "kind"),
    ("Velkin capture error: ", "capture-error", "description"),
    ("Velkin capture stopped: ", "capture-stopped", "description"),
    ("Velkin capture warning: ", "warning", "text"),
    ("Velkin writer error: ", "writer-error", "description"),
)


def parse_line(line: str) -> LineEvent:
    """The event of one line (without its line end); unknown lines are "text"."""
    for prefix, type_, field in _PREFIXES:
        if line.startswith(prefix):
            return LineEvent(type_, line, **{field: line[len(prefix):]})
    if match := _RESUMED.fullmatch(line):
        return LineEvent("writer-resumed", line, track=match[1],
                         held_seconds=float(match[2]), dropped_seconds=float(match[3]))
    if match := _TRACK_WRITER_ERROR.fullmatch(line):
        return LineEvent("writer-error", line, track=match[1], description=match[2])
    return LineEvent("text", line, text=line)


class LineSplitter:
    """Cuts a byte stream into lines: a read may hold several lines, or end in
    the middle of one, which is kept until its end arrives."""

    def __init__(self) -> None:
        self._carry = b""

    def feed(self, chunk: bytes) -> list[str]:
        *complete, self._carry = (self._carry + chunk).split(b"\n")
        return [_decode(line) for line in complete]

    def finish(self) -> list[str]:
        """What is left once the stream has ended: a last line without its end."""
        rest, self._carry = self._carry, b""
        return [_decode(rest)] if rest else []


def _decode(line: bytes) -> str:
    return line.removesuffix(b"\r").decode("utf-8", errors="replace")
