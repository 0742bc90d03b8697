#!/usr/bin/env python3
# A stand-in for the agent, for what the real one cannot be made to do; STAND_IN
# picks the part (see the modes below).
import os
import signal
import sys
import time
from pathlib import Path

arguments = sys.argv[sys.argv.index("--") + 1:]  # the agent's options come first
segments, control, mode = Path(arguments[0]), Path(arguments[1]), os.environ["STAND_IN"]
parent = int(arguments[2])  # as the agent, it ends with its parent


def write(path, text=""):
    path.parent.mkdir(exist_ok=True)
    path.with_suffix(".tmp").write_text(text)
    path.with_suffix(".tmp").replace(path)


time.sleep(0.2)  # long enough for the client to look at an earlier run's files
if mode.startswith("fail"):  # exits before it writes its pid
    if mode == "fail-line":
        print("first\nstand-in: no such device", file=sys.stderr)
    sys.exit(4)
for name in ("capture.ready", "capture.error", "capture.stop"):
    (control / name).unlink(missing_ok=True)
write(control / "capture.pid", str(os.getpid()))
while mode == "silent" and os.getppid() == parent:  # never ready
    time.sleep(0.02)
# "stubborn" ignores its stop file and SIGTERM, "deaf" only the file; "call"
# marks segment 1 of both tracks, the candidate's well before the other's, and
# segment 2 as it exits.
signal.signal(signal.SIGTERM, signal.SIG_IGN if mode == "stubborn" else signal.SIG_DFL)
write(control / "capture.ready", "ready")
if mode == "call":
    write(segments / "candidate-000001.caf.ready")
    time.sleep(0.3)
    write(segments / "interviewer-000001.caf.ready")
while os.getppid() == parent and (mode in ("stubborn", "deaf")
                                  or not (control / "capture.stop").exists()):
    time.sleep(0.02)
write(segments / "candidate-000002.caf.ready")
write(segments / "interviewer-000002.caf.ready")
