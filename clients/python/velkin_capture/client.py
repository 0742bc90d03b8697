"""Starts the agent, hands over each finished segment once, and stops it."""

from __future__ import annotations

import os
import queue
import re
import signal
import subprocess
import tempfile
import threading
import time
from collections.abc import Iterator, Mapping
from dataclasses import dataclass

from .errors import CaptureError
from .lines import LineEvent, LineSplitter, parse_line

SEGMENT_SECONDS = 5
_TRACKS = ("interviewer", "candidate")
_MARKER = re.compile(r"(interviewer|candidate)-([0-9]{6,})\.caf\.ready")
# The agent looks at its control files twice a second and finishes a segment
# every 5 s: a tenth of a second is soon enough for either, and cheap.
_SEGMENT_POLL_SECONDS = 0.1
_START_POLL_SECONDS = 0.02
# How long a SIGTERM is given before SIGKILL, and the output reader to finish.
_GRACE_SECONDS = 1.0
# A directory whose time has not moved since a scan that began this long after
# it has no new entry: one made since would have moved it on. Longer than any
# file system's clock step (the listing of a long call's directory is costly).
_SETTLED_NS = 1_000_000_000


@dataclass(frozen=True)
class Segment:
    track: str  # "interviewer" or "candidate"
    number: int  # from 1
    path: str  # absolute
    start_seconds: int  # where it starts in the call


class Capture:
    """One run of the agent, capturing. Made by start_capture()."""

    def __init__(self, process: subprocess.Popen, segment_directory: str,
                 control_directory: str) -> None:
        self.pid = process.pid
        self.segment_directory = segment_directory
        self.control_directory = control_directory
        # The agent's standard error lines as events, then None once it has
        # closed its standard error (it has exited).
        self.lines: queue.Queue[LineEvent | None] = queue.Queue()
        self._process = process
        self._last_event: LineEvent | None = None
        # Guards the segment bookkeeping: segments() may run on any thread,
        # and on several.
        self._lock = threading.Lock()
        # capture.pid's time once it holds this run's pid: a marker older than
        # it is an earlier run's leftover.
        self._run_started_ns: int | None = None
        # (number, track index): found and not handed out yet; handed out.
        self._pending: set[tuple[int, int]] = set()
        self._handed_out: set[tuple[int, int]] = set()
        self._highest = [0, 0]
        # The segment directory's time before the last scan, and when it began.
        self._scanned = (0, 0)
        self._reader = threading.Thread(target=self._read_lines, name="velkin-capture-lines",
                                        daemon=True)
        self._reader.start()

    @property
    def returncode(self) -> int | None:
        """None while the agent runs; then its exit status, or minus the signal."""
        return self._process.poll()

    def segments(self) -> Iterator[Segment]:
        """Each finished segment once, in call-time order: both tracks' segment N
        before either's N + 1. A segment waits for the other track's of its
        number, unless that track has moved past it or fallen a whole segment
        behind (its writer stalled or failed). Blocks between segments; ends
        once the agent has exited and the segments it marked on its way out
        have been handed over."""
        while True:
            # Exited first, looked at after: what it marked before it exited
            # is seen now.
            ended = self._process.poll() is not None
            with self._lock:
                self._scan(force=ended)
                ready = self._take_ready(ended)
            yield from ready
            if ended:
                return
            time.sleep(_SEGMENT_POLL_SECONDS)

    def stop(self, timeout: float = 3.0) -> int:
        """Asks the agent to stop ("capture.stop"), sends SIGTERM if it has not
        exited after `timeout` seconds, and SIGKILL a second later. Its exit
        status (0 for an orderly stop), or minus the signal that ended it."""
        if self._process.poll() is None:
            self._request_stop()
            try:
                self._process.wait(timeout)
            except subprocess.TimeoutExpired:
                self._process.send_signal(signal.SIGTERM)
                try:
                    self._process.wait(_GRACE_SECONDS)
                except subprocess.TimeoutExpired:
                    self._process.kill()
                    self._process.wait()
        self._reader.join(_GRACE_SECONDS)
        return self._process.returncode

    def __enter__(self) -> Capture:
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def _request_stop(self) -> None:
        try:
            os.makedirs(self.control_directory, exist_ok=True)
            fd = os.open(os.path.join(self.control_directory, "capture.stop"),
                         os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
            os.close(fd)
        except OSError:
            pass  # the deadline's signals stop it instead

    def _kill(self) -> None:
        if self._process.poll() is None:
            self._process.kill()
            self._process.wait()
        self._reader.join(_GRACE_SECONDS)

    # Runs on the reader thread.
    def _read_lines(self) -> None:
        splitter, stream = LineSplitter(), self._process.stderr
        while chunk := stream.read1(65536):
            self._publish(splitter.feed(chunk))
        self._publish(splitter.finish())
        stream.close()
        self.lines.put(None)

    def _publish(self, lines: list[str]) -> None:
        for line in lines:
            event = parse_line(line)
            if line.strip():
                self._last_event = event
            self.lines.put(event)

    def _await_ready(self, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        while True:
            status = self._process.poll()
            self._read_pid_file()
            if self._run_started_ns is not None and os.path.exists(
                    os.path.join(self.control_directory, "capture.ready")):
                return
            if status is not None:
                raise CaptureError(self._failure(status))
            if time.monotonic() >= deadline:
                raise CaptureError(f"the agent was not ready within {timeout:g} s")
            time.sleep(_START_POLL_SECONDS)

    def _read_pid_file(self) -> None:
        # The agent clears an earlier run's ready, error and stop files before
        # it writes its pid: once the pid is this child's, what follows is this
        # run's. The time comes from the file whose text was read.
        if self._run_started_ns is not None:
            return
        try:
            with open(os.path.join(self.control_directory, "capture.pid"), "rb") as file:
                if file.read().strip() == str(self.pid).encode():
                    self._run_started_ns = os.fstat(file.fileno()).st_mtime_ns
        except OSError:
            pass

    def _failure(self, status: int) -> str:
        if self._run_started_ns is not None:
            try:
                with open(os.path.join(self.control_directory, "capture.error"),
                          encoding="utf-8", errors="replace") as file:
                    if text := file.read().strip():
                        return text
            except OSError:
                pass
        self._reader.join(_GRACE_SECONDS)  # its last lines
        if event := self._last_event:
            return event.description if event.type == "capture-error" else event.line
        if status < 0:
            return f"the agent was ended by signal {-status} before it was ready"
        return f"the agent exited with status {status} before it was ready"

    def _scan(self, force: bool) -> None:
        if self._run_started_ns is None:
            return
        try:
            changed, began = os.stat(self.segment_directory).st_mtime_ns, time.time_ns()
            last_changed, last_began = self._scanned
            if not force and changed == last_changed and last_began - changed >= _SETTLED_NS:
                return
            entries = list(os.scandir(self.segment_directory))
        except OSError:
            return
        self._scanned = (changed, began)
        for entry in entries:
            match = _MARKER.fullmatch(entry.name)
            if not match:
                continue
            key = (int(match[2]), _TRACKS.index(match[1]))
            if key in self._pending or key in self._handed_out:
                continue
            try:
                if entry.stat().st_mtime_ns < self._run_started_ns:
                    continue  # an earlier run's, not yet replaced by this one
            except OSError:
                continue
            self._pending.add(key)
            self._highest[key[1]] = max(self._highest[key[1]], key[0])

    def _take_ready(self, ended: bool) -> list[Segment]:
        ready = []
        for number, track in sorted(self._pending):
            other = 1 - track
            other_has_it = ((number, other) in self._pending
                            or (number, other) in self._handed_out
                            or self._highest[other] > number)
            other_stalled = self._highest[track] >= number + 2
            if not (ended or other_has_it or other_stalled):
                break
            name = f"{_TRACKS[track]}-{number:06d}.caf"
            ready.append(Segment(_TRACKS[track], number,
                                 os.path.join(self.segment_directory, name),
                                 SEGMENT_SECONDS * (number - 1)))
            self._pending.remove((number, track))
            self._handed_out.add((number, track))
        return ready


def start_capture(executable: str | os.PathLike | None = None,
                  segment_directory: str | os.PathLike | None = None,
                  control_directory: str | os.PathLike | None = None,
                  env: Mapping[str, str] | None = None,
                  start_timeout: float = 10.0,
                  echo_cancel: bool = False) -> Capture:
    """Starts the agent with this process as its parent (it stops by itself
    once this process has ended) and returns once it captures.

    `executable`: the agent, by default "velkin-capture" from PATH.
    `segment_directory`, `control_directory`: by default in a fresh temporary
    directory ("segments" and "control"), kept after the run.
    `env`: the agent's whole environment, by default this process's.
    `echo_cancel`: take the call audio's echo out of the microphone (for
    speakers; a headset has none).
    Raises CaptureError with the agent's own description when the start fails,
    or when it is not capturing after `start_timeout` seconds (it is killed).
    """
    if segment_directory is None or control_directory is None:
        base = tempfile.mkdtemp(prefix="velkin-capture-")
        segment_directory = segment_directory or os.path.join(base, "segments")
        control_directory = control_directory or os.path.join(base, "control")
    segments = os.path.abspath(segment_directory)
    control = os.path.abspath(control_directory)
    executable = os.fspath(executable) if executable else "velkin-capture"
    try:
        # A session of its own: a Ctrl-C in the terminal reaches the parent
        # only, which then stops the agent in order.
        options = ["--echo-cancel"] if echo_cancel else []
        process = subprocess.Popen([executable, *options, "--", segments, control,
                                    str(os.getpid())],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, env=env, start_new_session=True)
    except OSError as error:
        raise CaptureError(f"cannot start {executable}: {error.strerror}") from error
    capture = Capture(process, segments, control)
    try:
        capture._await_ready(start_timeout)
    except BaseException:
        capture._kill()
        raise
    return capture
