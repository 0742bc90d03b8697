import asyncio
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from importlib.util import find_spec
from pathlib import Path

from velkin_capture import CaptureError, SegmentError, parse_line, read_segment, start_capture
from velkin_capture import start_capture_async
from velkin_capture.lines import LineSplitter

HERE = Path(__file__).resolve().parent


def caf(chunks):
    return b"caff\0\1\0\0" + b"".join(kind + struct.pack(">q", len(body) if size is None else size)
                                      + body for kind, body, size in chunks)


def desc(bits=16, flags=2):
    return b"desc", struct.pack(">d4sIIIII", 48000.0, b"lpcm", flags, bits // 4, 1, 2, bits), None


class Temporary(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)


class LinesTest(unittest.TestCase):
    def test_each_kind_of_line(self):
        for line, type_, fields in (
                ("VELKIN_CAPTURE_FIRST_OUTPUT audio", "first-output", {"kind": "audio"}),
                ("Velkin capture error: e", "capture-error", {"description": "e"}),
                ("Velkin capture stopped: s", "capture-stopped", {"description": "s"}),
                ("Velkin capture warning: w", "warning", {"text": "w"}),
                ("Velkin candidate writer resumed: 2.5 s held, 0.0 s dropped", "writer-resumed",
                 {"track": "candidate", "held_seconds": 2.5, "dropped_seconds": 0}),
                ("Velkin candidate writer error: f", "writer-error", {"track": "candidate"}),
                ("Velkin writer error: c", "writer-error", {"track": None, "description": "c"}),
                ("Velkin new", "text", {"text": "Velkin new"})):
            event = parse_line(line)
            self.assertEqual((event.type, event.line), (type_, line))
            self.assertEqual({name: getattr(event, name) for name in fields}, fields)

    def test_lines_cut_anywhere_by_the_reads(self):
        splitter = LineSplitter()
        self.assertEqual(splitter.feed(b"one\ntwo\nthr"), ["one", "two"])
        self.assertEqual(splitter.feed(b"ee"), [])
        self.assertEqual(splitter.feed(b"\r\nlast"), ["three"])
        self.assertEqual(splitter.finish(), ["last"])


class ReadSegmentTest(Temporary):
    def read(self, data, marked=True):
        path = Path(self.dir, "interviewer-000001.caf")
        path.write_bytes(data)
        Path(f"{path}.ready").touch() if marked else Path(f"{path}.ready").unlink(missing_ok=True)
        return read_segment(path)

    def test_reads_the_chunks_wherever_they_are(self):
        audio = struct.pack("<6h", 1, -2, 3, -4, 32767, -32768)
        for size in (None, -1):  # -1: the data runs to the end of the file
            segment = self.read(caf([desc(), (b"chan", bytes(12), None), (b"free", bytes(7), None),
                                     (b"data", bytes(4) + audio, size)]))
            self.assertEqual((segment.sample_rate, segment.channels, segment.frames), (48000, 2, 3))
            self.assertEqual(list(segment.samples), [1, -2, 3, -4, 32767, -32768])

    def test_refuses_what_is_not_a_finished_segment(self):
        data = [desc(), (b"data", bytes(12), None)]
        for message, contents, marked in (
                ("no .ready marker", caf(data), False),
                ("not a CAF", b"RIFF" + caf(data)[4:], True),
                ("not 16-bit", caf([desc(bits=8)] + data[1:]), True),
                ("not 16-bit little-endian", caf([desc(flags=0)] + data[1:]), True),
                ("truncated", caf(data)[:-3], True), ("before its format", caf(data[::-1]), True)):
            with self.subTest(message), self.assertRaisesRegex(SegmentError, message):
                self.read(contents, marked)


class StandInAgentTest(Temporary):
    def setUp(self):
        super().setUp()
        # An earlier run's files, an hour old.
        for name in ("c/capture.pid", "c/capture.ready", "c/capture.error",
                     "s/interviewer-000001.caf.ready", "s/candidate-000003.caf.ready"):
            Path(self.dir, name).parent.mkdir(exist_ok=True)
            Path(self.dir, name).write_text("1" if name.endswith("pid") else "old")
            os.utime(Path(self.dir, name), (time.time() - 3600,) * 2)

    def start(self, mode, start=start_capture, **options):
        return start(executable=HERE / "stand_in_agent.py", segment_directory=Path(self.dir, "s"),
                     control_directory=Path(self.dir, "c"), env=dict(os.environ, STAND_IN=mode),
                     **options)

    def test_a_failed_start_says_why_and_never_takes_an_earlier_run_for_this_one(self):
        for mode, message in (("fail-line", "^stand-in: no such device$"),
                              ("fail", "^the agent exited with status 4 before it was ready$")):
            with self.subTest(mode), self.assertRaisesRegex(CaptureError, message):
                self.start(mode)

    def test_a_start_that_never_answers_is_killed_at_the_deadline(self):
        with self.assertRaisesRegex(CaptureError, "not ready within 0.5 s"):
            self.start("silent", start_timeout=0.5)
        with self.assertRaises(ChildProcessError):  # killed and reaped: no child is left
            os.waitpid(-1, os.WNOHANG)

    def test_segments_once_in_order_the_last_ones_before_the_end(self):
        # Through the asyncio form, which is the blocking one on worker threads.
        async def call():
            async with self.start("call", start=start_capture_async) as capture:
                segments = capture.segments()
                got = [await anext(segments), await anext(segments)]
                self.assertEqual(await capture.stop(), 0)
                return got + [segment async for segment in segments]
        got = asyncio.run(call())
        self.assertEqual([(s.track, s.number, s.start_seconds) for s in got],
                         [("interviewer", 1, 0), ("candidate", 1, 0),
                          ("interviewer", 2, 5), ("candidate", 2, 5)])
        self.assertEqual(got[0].path, os.path.join(self.dir, "s", "interviewer-000001.caf"))

    def test_a_stop_that_is_not_heard_ends_with_a_signal(self):
        for mode, status in (("deaf", -15), ("stubborn", -9)):
            with self.subTest(mode):
                self.assertEqual(self.start(mode).stop(timeout=0.2), status)


@unittest.skipUnless(find_spec("setuptools") and find_spec("wheel"), "needs setuptools and wheel")
class PackageTest(unittest.TestCase):
    def test_installs_offline_with_the_system_setuptools(self):
        with tempfile.TemporaryDirectory() as dir:
            source = shutil.copytree(HERE.parents[2] / "clients" / "python", Path(dir, "src"))
            subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                            "--no-index", "--target", Path(dir, "site"), source], check=True)
            self.assertTrue(Path(dir, "site", "velkin_capture", "client.py").exists())
