import os
import subprocess
import tempfile
import unittest
from pathlib import Path

from velkin_capture import CaptureError, read_segment, start_capture

AGENT = os.environ.get("VELKIN_AGENT")
PULSE_DAEMON = Path(__file__).resolve().parents[3] / "scripts" / "pulse-daemon"


@unittest.skipUnless(AGENT, "VELKIN_AGENT names the agent to test")
class RealAgentTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", self.dir])

    def test_a_short_call_then_a_stop(self):
        started = subprocess.run([PULSE_DAEMON, "start"], check=True, capture_output=True,
                                 text=True).stdout
        env = dict(os.environ, **dict(line.removeprefix("export ").split("=", 1)
                                      for line in started.splitlines()))
        self.addCleanup(subprocess.run, [PULSE_DAEMON, "stop", env["PULSE_DAEMON_PID"],
                                         env["PULSE_DAEMON_DIR"]])
        tone = os.path.join(self.dir, "tone.wav")
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", tone, "synth", "0.5",
                        "sine", "440", "vol", "0.5"], check=True)
        with start_capture(AGENT, env=env) as capture:
            for sink in ("call", "mic_in"):
                subprocess.run(["paplay", f"--device={sink}", tone], env=env, check=True)
            got = []
            for segment in capture.segments():
                got.append(segment)
                if len(got) == 2:
                    self.assertEqual(capture.stop(), 0)
        self.assertEqual([(s.track, s.number) for s in got], [("interviewer", 1), ("candidate", 1),
                                                              ("interviewer", 2), ("candidate", 2)])
        audio = [read_segment(s.path) for s in got]
        self.assertEqual({(a.sample_rate, a.channels) for a in audio}, {(48000, 2)})
        self.assertEqual([a.frames for a in audio[:2]], [240000, 240000])
        self.assertTrue(all(0 < a.frames < 240000 for a in audio[2:]))
        for track in (0, 1):  # each track holds its tone
            self.assertGreater(max(max(a.samples) for a in audio[track::2]), 8000)
        events = iter(capture.lines.get, None)
        self.assertLessEqual({"audio", "microphone"}, {event.kind for event in events})

    def test_a_failed_start_carries_the_agent_own_words(self):
        Path(self.dir, "client.conf").write_text("autospawn = no\n")
        env = dict(os.environ, PULSE_SERVER=f"unix:{self.dir}/none",
                   PULSE_CLIENTCONFIG=f"{self.dir}/client.conf")
        with self.assertRaises(CaptureError) as failure:
            start_capture(AGENT, f"{self.dir}/segments", f"{self.dir}/control", env=env)
        description = Path(self.dir, "control", "capture.error").read_text()
        self.assertIn("audio server", description)
        self.assertEqual(str(failure.exception), description)
