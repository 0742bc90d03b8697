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

from velkin_capture import (CaptureError, SegmentError, parse_line, read_segment, start_capture,
                            start_capture_async)
from velkin_capture.lines import LineSplitter

HERE = Path(__file__).resolve().parent
STAND_IN = HERE / "stand_in_agent.py"


def caf(chunks, version=1):
    return b"caff" + struct.pack(">HH", version, 0) + b"".join(
        kind + struct.pack(">q", len(body) if size is None else size) + body
        for kind, body, size in chunks)


def desc(bits=16, flags=2, channels=2):
    return (b"desc", struct.pack(">d4sIIIII", 48000.0, b"lpcm", flags, channels * bits // 8, 1,
                                 channels, bits), None)


class LinesTest(unittest.TestCase):
    def test_each_kind_of_line(self):
        for line, type_, fields in (
                ("VELKIN_CAPTURE_FIRST_OUTPUT audio", "first-output", {"kind": "audio"}),
                ("Velkin capture error: e", "capture-error", {"description": "e"}),
                ("Velkin capture stopped: s", "capture-stopped", {"description": "s"}),
                ("Velkin capture warning: w", "warning", {"text": "w"}),
                ("Velkin candidate writer resumed: 2.5 s held, 0.0 s dropped", "writer-resumed",
                 {"track": "candidate", "held_seconds": 2.5, "dropped_seconds": 0}),
                ("Velkin interviewer writer error: f", "writer-error",
                 {"track": "interviewer", "description": "f"}),
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


class ReadSegmentTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def segment(self, data, marked=True):
        path = os.path.join(self.dir, "interviewer-000001.caf")
        Path(path).write_bytes(data)
        if marked:
            Path(path + ".ready").touch()
        return path

    def test_reads_the_chunks_wherever_they_are(self):
        audio = struct.pack("<6h", 1, -2, 3, -4, 32767, -32768)
        for size in (None, -1):  # -1: the data runs to the end of the file
            path = self.segment(caf([desc(), (b"chan", b"\0" * 12, None),
                                     (b"free", b"\0" * 7, None),
                                     (b"data", b"\0\0\0\0" + audio, size)]))
            segment = read_segment(path)
            self.assertEqual((segment.sample_rate, segment.channels, segment.frames), (48000, 2, 3))
            self.assertEqual(list(segment.samples), [1, -2, 3, -4, 32767, -32768])

    def test_refuses_what_is_not_a_finished_segment(self):
        data = [desc(), (b"data", b"\0" * 12, None)]
        cases = {
            "no .ready marker": (caf(data), False),
            "not a CAF file": (b"RIFF" + caf(data)[4:], True),
            "not 16-bit": (caf([desc(bits=8)] + data[1:]), True),
            "not 16-bit little-endian": (caf([desc(flags=0)] + data[1:]), True),
            "truncated": (caf(data)[:-3], True),
            "audio before its format": (caf(data[::-1]), True),
        }
        for message, (contents, marked) in cases.items():
            with self.subTest(message), self.assertRaisesRegex(SegmentError, message):
                read_segment(self.segment(contents, marked))


class StandInAgentTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.segments, self.control = os.path.join(self.dir, "s"), os.path.join(self.dir, "c")
        # An earlier run's files, an hour old.
        for name in ("c/capture.pid", "c/capture.ready", "c/capture.error",
                     "s/interviewer-000001.caf.ready", "s/interviewer-000003.caf.ready",
                     "s/candidate-000003.caf.ready"):
            Path(self.dir, name).parent.mkdir(exist_ok=True)
            Path(self.dir, name).write_text("1" if name.endswith("pid") else "old")
            os.utime(Path(self.dir, name), (time.time() - 3600,) * 2)

    def start(self, mode, start=start_capture, **options):
        return start(executable=STAND_IN, segment_directory=self.segments,
                     control_directory=self.control, env=dict(os.environ, STAND_IN=mode), **options)

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
        with self.start("call") as capture:
            got = []
            for segment in capture.segments():
                got.append(segment)
                if len(got) == 2:
                    self.assertEqual(capture.stop(), 0)
        self.assertEqual([(s.track, s.number, s.start_seconds) for s in got],
                         [("interviewer", 1, 0), ("candidate", 1, 0),
                          ("interviewer", 2, 5), ("candidate", 2, 5)])
        self.assertEqual(got[0].path, os.path.join(self.segments, "interviewer-000001.caf"))

    def test_the_asyncio_form_makes_the_same_run(self):
        async def call():
            async with self.start("call", start=start_capture_async) as capture:
                segments = capture.segments()
                got = [await anext(segments), await anext(segments)]
                self.assertEqual(await capture.stop(), 0)
                return got + [segment async for segment in segments]
        self.assertEqual([(s.track, s.number) for s in asyncio.run(call())],
                         [("interviewer", 1), ("candidate", 1), ("interviewer", 2), ("candidate", 2)])

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
