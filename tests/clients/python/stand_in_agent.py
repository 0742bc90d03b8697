#!/usr/bin/env python3
"""A stand-in for the agent, for what the real one cannot be made to do; STAND_IN
picks the part (see the modes below)."""
import os
import signal
import sys
import time

segments, control = sys.argv[1], sys.argv[2]
mode = os.environ["STAND_IN"]


def write(directory, name, text=""):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name + ".tmp"), "w") as file:
        file.write(text)
    os.replace(os.path.join(directory, name + ".tmp"), os.path.join(directory, name))


time.sleep(0.2)  # long enough for the client to look at an earlier run's files
if mode.startswith("fail"):  # exits before it writes its pid
    if mode == "fail-line":
        print("first\nstand-in: no such device", file=sys.stderr)
    sys.exit(4)
for name in ("capture.ready", "capture.error", "capture.stop"):
    if os.path.exists(os.path.join(control, name)):
        os.remove(os.path.join(control, name))
write(control, "capture.pid", str(os.getpid()))
if mode == "silent":  # never ready
    time.sleep(60)
# "stubborn" ignores its stop file and SIGTERM, "deaf" only the file; "call"
# marks segment 1 of both tracks at once, and segment 2 as it exits.
signal.signal(signal.SIGTERM, signal.SIG_IGN if mode == "stubborn" else signal.SIG_DFL)
write(control, "capture.ready", "ready")
while mode in ("stubborn", "deaf") or not os.path.exists(os.path.join(control, "capture.stop")):
    if mode == "call":
        write(segments, "interviewer-000001.caf.ready")
        write(segments, "candidate-000001.caf.ready")
        mode = "call-going"
    time.sleep(0.02)
write(segments, "candidate-000002.caf.ready")
write(segments, "interviewer-000002.caf.ready")
