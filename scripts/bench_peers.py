#!/usr/bin/env python3
"""Side-by-side runs of the agent, the ffmpeg pair and the bare reader.

Run through scripts/bench-peers, which builds the binaries, brings up the private
audio server and passes its pid here. Only the standard library is used.

Each run, whatever it records, sees the same signals: two players (pacat) feed
the "call" sink and the microphone's "mic_in" sink from the same files, started
before the recorder launches and stopped after it exits. The runs alternate, the
order rotated by one every round, and every figure is taken per run; the table
gives medians over the rounds and the ratios of each round.

How each figure is taken:

- CPU: user + system time of the recorder process(es), from the rusage that
  wait4() returns (nothing else is counted: not the players, not the server,
  whose own CPU time is shown apart, from /proc). Divided by the minutes from
  launch to the stop request, so start-up is included.
- Peak RSS: the recorder's maximum resident set, as /usr/bin/time reports it
  (see Recorder for why not this script's own wait4); for ffmpeg the sum of the
  two processes, and each one.
- Segment spread: frame counts from the CAF headers ('desc' and 'data' chunks,
  no other reader needed), of every segment but the last of each track.
- Lost frames, two ways:
  1. By content. Each player repeats a 65536-frame counter: every frame holds
     its own index, the low byte in one channel and the high byte in the other
     (the microphone's signal has the two swapped, so swapped tracks show),
     each byte scaled to a multiple of 256 so that one unit of rounding in the
     float path cannot change it. A recorded track, its segments concatenated,
     must count up by one from frame to frame. Where it does not, the track is
     resynchronised at the next 16 frames that count up again; the source
     frames skipped there are "lost", the foreign frames (silence) found
     between are "inserted", and a step backwards is "repeated". Frames before
     the counter first appears (the server sends nothing for up to one block of
     the sink after a stream connects; a recorder that keeps its tracks on the
     wall clock fills that time with silence) are "leading", not a loss unless
     there are more than half a second of them. Glitches past the point of the
     stop request (at most launch-to-stop x 48000 frames into a track, frame 0
     being no earlier than the launch) are shown apart and not counted.
     A player that underran is reported, since its gaps would show as loss here.
  2. By duration. Capture has surely run from the readiness line (ffmpeg: the
     first segment file, which it opens only after its input delivered) until
     the stop request, so each track must hold at least that wall time x 48000
     frames; the frames missing from that are a lower bound on what was lost.
     The bare reader has no files, only its frame counts, which are held to the
     same bound. "len-window" is each agent track's length minus that window
     (expected: between zero and the stop latency plus start-up).
- Readiness: launch to the readiness line on stdout (agent, bare reader); for
  ffmpeg, launch to its first segment file, the later of the two.
- Stop: the stop file (agent, bare reader) or SIGINT (ffmpeg, both at once) to
  the exit of the last process. The agent checks for its stop file every 0.5 s.
"""

import argparse
import array
import os
import random
import signal
import statistics
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

RATE = 48000
CHANNELS = 2
PERIOD = 65536  # frames in one cycle of the counter signal
ANCHOR = 16  # frames that must count up in a row to resynchronise
TRACKS = ("interviewer", "candidate")
# The players' buffer on the server. Smaller ones underran on a busy two-core
# machine, and an underrun is silence in every recording of that run. The sink
# renders in blocks of its latency until a recorder asks for 20 ms, so this is
# also the longest the server holds back the first audio of a run. A call app
# asks for far less (BENCH_PLAYER_LATENCY_MS=20), and PulseAudio then hands the
# recorders its audio in that many more pieces.
PLAYER_LATENCY_MS = int(os.environ.get("BENCH_PLAYER_LATENCY_MS", "250"))
PLAYER_WARMUP_S = 3.0
# "ffmpeg" runs as its users run it, with its default options; "ffmpeg20" forces
# a 20 ms fragment (-fragment_size 3840), which costs it wake-ups and CPU.
# "agent-ec" is the agent with --echo-cancel: its candidate track is the
# canceller's output, so only the interviewer track's content is checked there.
# Its microphone gives the same samples on both channels, as most do (a mono
# capsule the server or the device spreads to stereo), and the canceller runs
# once for both; "agent-ec2" hears the usual microphone signal, whose channels
# differ, as a stereo array's would, and the canceller runs once per channel.
CONFIGS = ("agent", "agent-ec", "agent-ec2", "ffmpeg", "ffmpeg20", "bare")
TITLES = {"agent": "agent", "before": "agent before", "agent-ec": "--echo-cancel, channels same",
          "agent-ec2": "--echo-cancel, channels differ",
          "ffmpeg": "ffmpeg pair", "ffmpeg20": "ffmpeg pair 20 ms", "bare": "bare reader"}


def configs(args):
    """The recorders of each round: with --baseline, an earlier agent beside this one."""
    return CONFIGS[:1] + (("before",) if args.baseline else ()) + CONFIGS[1:]
FFMPEG_CONFIGS = ("ffmpeg", "ffmpeg20")


# ---------------------------------------------------------------- the signals


def counter_pattern(swapped):
    """One cycle of the counter, 16-bit little-endian stereo."""
    samples = array.array("h", bytes(PERIOD * CHANNELS * 2))
    for c in range(PERIOD):
        low = ((c & 0xFF) - 128) * 256
        high = ((c >> 8) - 128) * 256
        samples[2 * c], samples[2 * c + 1] = (high, low) if swapped else (low, high)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples.tobytes()


def same_channels(pattern):
    """The pattern's second channel on both: a microphone that gives one signal."""
    samples = array.array("h", pattern)
    samples[0::2] = samples[1::2]
    return samples.tobytes()


def write_signals(directory, seconds):
    cycles = int(seconds * RATE) // PERIOD + 1
    paths = {}
    for track, pattern in (("interviewer", counter_pattern(False)),
                           ("candidate", counter_pattern(True)),
                           ("candidate-same", same_channels(counter_pattern(True)))):
        path = directory / f"{track}.raw"
        path.write_bytes(pattern * cycles)
        paths[track] = path
    return paths


class Players:
    """The two pacat processes feeding the sinks for one run."""

    def __init__(self, signals, logdir, microphone="candidate"):
        self.procs = []
        self.logs = []
        for track, sink in (("interviewer", "call"), (microphone, "mic_in")):
            log = logdir / f"player-{track}.log"
            self.logs.append(log)
            self.procs.append(
                spawn(
                    ["pacat", "-v", "--playback", f"--device={sink}", "--raw", "--rate=48000",
                     "--channels=2", "--format=s16le", f"--latency-msec={PLAYER_LATENCY_MS}",
                     str(signals[track])],
                    stdout=subprocess.DEVNULL, stderr=open(log, "wb")))

    def alive(self):
        return all(p.poll() is None for p in self.procs)

    def stop(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        return sum(log.read_bytes().count(b"underrun") for log in self.logs)


# --------------------------------------------------------------- CAF reading


def read_caf(path):
    """(frames, pcm bytes) of a 16-bit little-endian stereo 48 kHz CAF file."""
    data = path.read_bytes()
    if data[:4] != b"caff":
        raise ValueError(f"{path}: not a CAF file")
    pos, desc, pcm = 8, None, None
    while pos + 12 <= len(data):
        kind = data[pos:pos + 4]
        (size,) = struct.unpack(">q", data[pos + 4:pos + 12])
        body = pos + 12
        if size < 0:  # only 'data' may be open-ended: it runs to the end of the file
            size = len(data) - body
        if kind == b"desc":
            desc = struct.unpack(">d4sIIIII", data[body:body + 32])
        elif kind == b"data":
            pcm = data[body + 4:body + size]  # after the 4-byte edit count
        pos = body + size
    if desc is None or pcm is None:
        raise ValueError(f"{path}: no desc or data chunk")
    rate, fmt, flags, bytes_per_packet, _, channels, bits = desc
    if (rate, fmt, channels, bits, bytes_per_packet) != (RATE, b"lpcm", CHANNELS, 16, 4) or not (
            flags & 2):
        raise ValueError(f"{path}: unexpected format {desc}")
    frames = len(pcm) // bytes_per_packet
    return frames, pcm[:frames * bytes_per_packet]


def segment_files(directory, track):
    return sorted(directory.glob(f"{track}-*.caf"))


# ------------------------------------------------------ continuity of content


def decode(pcm, swapped):
    """Counter value of every frame, rounding each sample to a multiple of 256."""
    samples = array.array("h")
    samples.frombytes(pcm)
    if sys.byteorder != "little":
        samples.byteswap()
    first, second = samples[0::2], samples[1::2]
    low, high = (second, first) if swapped else (first, second)
    return [(((lo + 128) >> 8) + 128 & 0xFF) | ((((hi + 128) >> 8) + 128 & 0xFF) << 8)
            for lo, hi in zip(low, high)]


def anchored(counts, i):
    if i + ANCHOR > len(counts):
        return False
    c = counts[i]
    return all(counts[i + k] == (c + k) % PERIOD for k in range(1, ANCHOR))


def continuity(pcm, swapped):
    """Leading frames and the glitches of one track: (frame, foreign frames, step),
    step being the source frames skipped (negative: repeated; None: the counter
    never resumes)."""
    counts = decode(pcm, swapped)
    n = len(counts)
    i = 0
    while i < n and not anchored(counts, i):
        i += 1
    result = {"frames": n, "leading": i, "glitches": []}
    if i >= n:
        return result
    expected = counts[i]
    while i < n:
        if counts[i] == expected:
            expected = (expected + 1) % PERIOD
            i += 1
            continue
        start = i
        while i < n and not anchored(counts, i):
            i += 1
        if i >= n:
            result["glitches"].append((start, n - start, None))
            break
        step = (counts[i] - expected) % PERIOD
        result["glitches"].append((start, i - start, step if step < PERIOD // 2 else step - PERIOD))
        expected = counts[i]
    return result


def tally(info, stop_frame):
    """Lost, inserted and repeated frames before `stop_frame`; what comes after."""
    counts = {"lost": 0, "inserted": 0, "repeated": 0, "after stop": 0}
    for frame, foreign, step in info.get("glitches", []):
        if frame >= stop_frame:
            counts["after stop"] += foreign + max(step or 0, 0)
            continue
        counts["inserted"] += foreign
        if step is not None:
            counts["lost" if step >= 0 else "repeated"] += abs(step)
    return counts


def analyse_segments(directory, markers):
    """Per track: segment frames, concatenated continuity, marker count."""
    tracks = {}
    for track in TRACKS:
        files = segment_files(directory, track)
        frames, chunks = [], []
        for f in files:
            count, pcm = read_caf(f)
            frames.append(count)
            chunks.append(pcm)
        info = continuity(b"".join(chunks), swapped=(track == "candidate"))
        info["segments"] = frames
        info["unmarked"] = sum(1 for f in files if not Path(str(f) + ".ready").exists()) if markers else 0
        tracks[track] = info
    return tracks


# ------------------------------------------------------------------ processes

CHILDREN = []  # every process started, ended by its pid if still running at exit
RECORDERS = []  # their children under /usr/bin/time, likewise


def spawn(argv, **kwargs):
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, **kwargs)
    CHILDREN.append(proc)
    return proc


def end_children():
    for rec in RECORDERS:
        if rec.status is None and rec.proc.poll() is None:
            os.kill(rec.pid, signal.SIGKILL)
    for proc in reversed(CHILDREN):
        if proc.returncode is None and proc.poll() is None:
            proc.kill()
            proc.wait()


class Recorder:
    """One recorder process: launch time, stdout lines and their times, rusage.

    It runs under /usr/bin/time, which forks it from a small process: the peak
    RSS that the kernel reports for a child counts the memory of the process it
    was forked from, and this script's is far larger than the agent's. The CPU
    time is that of the wait4() on /usr/bin/time, which includes its child's to
    the microsecond (and time's own, about a millisecond).
    """

    def __init__(self, argv, logdir, name):
        self.name = name
        self.rssfile = logdir / f"{name}.maxrss"
        self.launched = time.monotonic()
        self.proc = spawn(["/usr/bin/time", "-f", "%M", "-o", str(self.rssfile), "--"] + argv,
                          stdout=subprocess.PIPE, stderr=open(logdir / f"{name}.stderr", "wb"))
        self.lines = []  # (monotonic time, line)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.status = None
        self.pid = self._child()
        RECORDERS.append(self)
        self.exited = None
        self.rusage = None

    def _child(self):
        children = Path(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children")
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                pids = children.read_text().split()
            except OSError:
                pids = []
            if pids:
                return int(pids[0])
            time.sleep(0.001)
        raise RuntimeError(f"{self.name} did not start")

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))

    def line_time(self, prefix):
        for when, line in self.lines:
            if line.startswith(prefix):
                return when
        return None

    def signal(self, number):
        os.kill(self.pid, number)

    def wait(self, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid == self.proc.pid:
                self.exited = time.monotonic()
                self.status = os.waitstatus_to_exitcode(status)
                self.proc.returncode = self.status  # reaped here, not by Popen
                self.rusage = usage
                self.reader.join(timeout=5)
                return
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                deadline = time.monotonic() + 5
            time.sleep(0.002)

    @property
    def cpu(self):
        return self.rusage.ru_utime + self.rusage.ru_stime

    @property
    def maxrss_mb(self):
        # The last line: time writes "Command exited with non-zero status" before it.
        return int(self.rssfile.read_text().split()[-1]) / 1024.0


def first_file_time(directory, pattern, deadline):
    while time.monotonic() < deadline:
        if any(directory.glob(pattern)):
            return time.monotonic()
        time.sleep(0.002)
    return None


def proc_cpu(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def sleep_until(moment):
    while (left := moment - time.monotonic()) > 0:
        time.sleep(min(left, 0.5))


# ------------------------------------------------------------------------ runs


def switches(pids):
    """Context switches so far (voluntary + involuntary) of all threads of `pids`."""
    total = 0
    for pid in pids:
        for status in Path(f"/proc/{pid}/task").glob("*/status"):
            try:
                for line in status.read_text().splitlines():
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
            except (FileNotFoundError, ProcessLookupError):
                pass
    return total


def steady_wakeups(pids, launched, seconds):
    """Wake-ups per second from 3 s after launch until launch + seconds."""
    sleep_until(launched + min(3.0, seconds / 2))
    before, start = switches(pids), time.monotonic()
    sleep_until(launched + seconds)
    return (switches(pids) - before) / max(time.monotonic() - start, 1e-3)


class MarkerWatch:
    """When each ".ready" marker of a run first appeared, polled every 20 ms."""

    def __init__(self, directory):
        self.seen = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(directory,), daemon=True)
        self._thread.start()

    def _run(self, directory):
        while not self._stop.wait(0.02):
            now = time.monotonic()
            for entry in os.scandir(directory):
                if entry.name.endswith(".ready"):
                    self.seen.setdefault(entry.name, now)

    def lateness(self, launched, stopped):
        """The latest a marker came after its segment's last frame could have been
        captured: segment N ends 5 N s after frame 0, which is no earlier than the
        launch. Markers after the stop request (the last segments) are left out."""
        self._stop.set()
        self._thread.join()
        late = [when - launched - 5.0 * int(name.split("-")[1].split(".")[0])
                for name, when in self.seen.items() if when < stopped]
        return max(late) if late else None


def run_agent(args, rundir, seconds, binary=None, options=()):
    segdir, ctldir = rundir / "segments", rundir / "control"
    segdir.mkdir()
    ctldir.mkdir()
    rec = Recorder([binary or args.agent, *options, str(segdir), str(ctldir)], rundir, "agent")
    markers = MarkerWatch(segdir)
    wakeups = steady_wakeups([rec.pid], rec.launched, seconds)
    stopped = time.monotonic()
    marker_late = markers.lateness(rec.launched, stopped)
    (ctldir / "capture.stop").write_text("")
    rec.wait()
    ready = rec.line_time("VELKIN_CAPTURE_READY")
    stderr = (rundir / "agent.stderr").read_text(errors="replace")
    tracks = analyse_segments(segdir, markers=True)
    if "--echo-cancel" in options and "candidate" in tracks:
        tracks["candidate"]["cancelled"] = True
    return {
        "cpu": rec.cpu, "window": stopped - rec.launched, "rss": [rec.maxrss_mb],
        "ready": None if ready is None else ready - rec.launched, "wakeups": wakeups,
        "stop": rec.exited - stopped, "status": [rec.status],
        "sure": None if ready is None else stopped - ready,
        "tracks": tracks, "marker_late": marker_late,
        "errors": sum(1 for line in stderr.splitlines()
                      if "error" in line or "stopped" in line or "cancelling is off" in line),
    }


def run_ffmpeg(args, rundir, seconds, options=()):
    recs, dirs = [], []
    for track, source in (("interviewer", args.monitor), ("candidate", args.source)):
        segdir = rundir / f"segments-{track}"
        segdir.mkdir()
        dirs.append((segdir, track))
        recs.append(Recorder(
            ["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-loglevel", "warning",
             "-f", "pulse", "-sample_rate", "48000", "-channels", "2", *options,
             "-i", source, "-c:a", "pcm_s16le", "-f", "segment", "-segment_time", "5",
             "-segment_format", "caf", str(segdir / f"{track}-%06d.caf")],
            rundir, f"ffmpeg-{track}"))
    firsts = [first_file_time(d, f"{t}-*.caf", r.launched + seconds)
              for (d, t), r in zip(dirs, recs)]
    wakeups = steady_wakeups([r.pid for r in recs], recs[0].launched, seconds)
    stopped = time.monotonic()
    for r in recs:
        r.signal(signal.SIGINT)
    for r in recs:
        r.wait()
    segdir = rundir / "segments"
    segdir.mkdir()
    for d, _ in dirs:
        for f in d.iterdir():
            f.rename(segdir / f.name)
    readies = [None if f is None else f - r.launched for f, r in zip(firsts, recs)]
    return {
        "cpu": sum(r.cpu for r in recs), "window": stopped - recs[0].launched,
        "rss": [r.maxrss_mb for r in recs],
        "ready": None if None in readies else max(readies), "wakeups": wakeups,
        "stop": max(r.exited for r in recs) - stopped, "status": [r.status for r in recs],
        "sure": None if None in firsts else stopped - max(firsts),
        "tracks": analyse_segments(segdir, markers=False),
        "errors": sum(1 for t in TRACKS
                      for line in (rundir / f"ffmpeg-{t}.stderr").read_text(errors="replace")
                      .splitlines() if "rror" in line),
    }


def run_bare(args, rundir, seconds):
    stopfile = rundir / "stop"
    rec = Recorder([args.bare, str(stopfile)], rundir, "bare")
    wakeups = steady_wakeups([rec.pid], rec.launched, seconds)
    stopped = time.monotonic()
    stopfile.write_text("")
    rec.wait()
    ready = rec.line_time("BARE_READER_READY")
    counts = {}
    for _, line in rec.lines:
        if line.startswith("BARE_READER_FRAMES"):
            counts = dict(part.split("=") for part in line.split()[1:])
    tracks = {t: {"frames": int(counts.get(k, 0))}
              for t, k in (("interviewer", "monitor"), ("candidate", "source"))}
    return {
        "cpu": rec.cpu, "window": stopped - rec.launched, "rss": [rec.maxrss_mb],
        "ready": None if ready is None else ready - rec.launched, "wakeups": wakeups,
        "stop": rec.exited - stopped, "status": [rec.status],
        "sure": None if ready is None else stopped - ready, "tracks": tracks, "errors": 0,
    }


RUNNERS = {"agent": run_agent,
           "before": lambda args, *a: run_agent(args, *a, binary=args.baseline),
           "agent-ec": lambda *a: run_agent(*a, options=("--echo-cancel",)),
           "agent-ec2": lambda *a: run_agent(*a, options=("--echo-cancel",)),
           "ffmpeg": run_ffmpeg,
           "ffmpeg20": lambda *a: run_ffmpeg(*a, options=("-fragment_size", "3840")),
           "bare": run_bare}


def one_run(args, config, rundir, signals, seconds):
    rundir.mkdir(parents=True)
    players = Players(signals, rundir, "candidate-same" if config == "agent-ec" else "candidate")
    # A null sink with no stream renders in blocks of up to 2 s, and takes up a
    # new player only at the end of the block under way: wait until the players
    # are being heard, so that every recorder starts on a steady signal.
    time.sleep(PLAYER_WARMUP_S)
    server_before = proc_cpu(args.daemon_pid)
    result = RUNNERS[config](args, rundir, seconds)
    result["server_cpu"] = proc_cpu(args.daemon_pid) - server_before
    result["players_alive"] = players.alive()
    result["underruns"] = players.stop()
    for info in result["tracks"].values():
        info["short"] = max(0, round((result["sure"] or 0) * RATE) - info["frames"])
        # Frame 0 is no earlier than the launch, so the stop request lies no
        # further into a track than this.
        info.update(tally(info, round(result["window"] * RATE)))
    return result


# ---------------------------------------------------------------------- report


def per_minute(result):
    return result["cpu"] / (result["window"] / 60.0)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, pattern):
    return "-" if value is None else format(value, pattern)


def segment_spread(result):
    """Durations in ms of every non-final segment of both tracks."""
    durations = []
    for info in result["tracks"].values():
        durations += [f * 1000.0 / RATE for f in info.get("segments", [])[:-1]]
    return durations


def loss(result):
    tracks = [t for t in result["tracks"].values() if not t.get("cancelled")]
    return {
        "lost": sum(t.get("lost", 0) for t in tracks),
        "inserted": sum(t.get("inserted", 0) for t in tracks),
        "repeated": sum(t.get("repeated", 0) for t in tracks),
        "short": sum(t["short"] for t in tracks),
        "leading": max((t.get("leading", 0) for t in tracks), default=0),
        "after stop": sum(t.get("after stop", 0) for t in tracks),
    }


def report(args, results):
    rounds = args.rounds
    names = configs(args)
    runs = {c: [results[r][c] for r in range(rounds)] for c in names}

    def med(config, key):
        return median([key(res) for res in runs[config]])

    rows = []

    def row(label, key, pattern, target="", skip=()):
        rows.append([label] + ["-" if c in skip else fmt(med(c, key), pattern) for c in names] +
                    [target])

    def spread(fn):
        return lambda res: fn(d) if len(d := segment_spread(res)) > 1 else None

    row("CPU s per min of capture", per_minute, ".3f", "agent <= 1.5x bare, <= 0.4x ffmpeg")
    row("Wake-ups per s (all threads)", lambda res: res.get("wakeups"), ".1f",
        "agent <= 25")
    row("  user+sys s, whole run", lambda res: res["cpu"], ".2f")
    row("Peak RSS MB (ffmpeg: sum)", lambda res: sum(res["rss"]), ".1f", "agent <= 12")
    rows.append(["  per process MB"] + [
        " + ".join(fmt(median([res["rss"][i] for res in runs[c]]), ".1f")
                   for i in range(len(runs[c][0]["rss"]))) for c in names] + [""])
    row("Segment ms min", spread(min), ".2f", "", skip=("bare",))
    row("Segment ms max", spread(max), ".2f", "", skip=("bare",))
    row("Segment ms stddev", spread(statistics.pstdev), ".2f", "(non-final segments)",
        skip=("bare",))
    row("Lost frames (content)", lambda res: loss(res)["lost"], ".0f", "agent 0", skip=("bare",))
    row("Inserted frames (content)", lambda res: loss(res)["inserted"], ".0f", "agent 0",
        skip=("bare",))
    row("Repeated frames (content)", lambda res: loss(res)["repeated"], ".0f", "agent 0",
        skip=("bare",))
    row("  glitches after stop", lambda res: loss(res)["after stop"], ".0f", "(not a loss)",
        skip=("bare",))
    row("  leading frames", lambda res: loss(res)["leading"], ".0f", "(not a loss)",
        skip=("bare",))
    row("Frames short of wall", lambda res: loss(res)["short"], ".0f", "agent 0")
    row("Readiness ms", lambda res: None if res["ready"] is None else res["ready"] * 1000, ".0f",
        "agent <= 150")
    row("Stop to exit ms", lambda res: res["stop"] * 1000, ".0f")
    row("Marker after its audio, ms (max)",
        lambda res: None if res.get("marker_late") is None else res["marker_late"] * 1000, ".0f",
        "agent <= 1000 (an upper bound)")
    row("Server CPU s per min", lambda res: res["server_cpu"] / (res["window"] / 60.0), ".3f",
        "(the daemon, for reference)")
    print_table([f"median of {rounds} rounds x {args.seconds} s"] +
                [TITLES[c] for c in names] + ["target"], rows)

    print()
    ratio_rows = []
    for r in range(rounds):
        a, e, e2, f, f20, b = (results[r][c] for c in CONFIGS)
        before = [] if not args.baseline else [
            f"{per_minute(a) / per_minute(results[r]['before']):.2f}",
            f"{sum(a['rss']) / sum(results[r]['before']['rss']):.2f}",
            fmt(a["wakeups"] / results[r]["before"]["wakeups"]
                if a.get("wakeups") and results[r]["before"].get("wakeups") else None, ".2f")]
        ratio_rows.append([
            str(r + 1), f"{per_minute(a):.3f}", f"{per_minute(f):.3f}", f"{per_minute(b):.3f}",
            f"{per_minute(a) / per_minute(b):.2f}", f"{per_minute(a) / per_minute(f):.2f}",
            f"{per_minute(a) / per_minute(f20):.2f}", f"{per_minute(e) / per_minute(f):.2f}",
            f"{per_minute(e2) / per_minute(f):.2f}",
            f"{sum(a['rss']):.1f}", f"{sum(f['rss']):.1f}", f"{sum(b['rss']):.1f}",
            f"{sum(a['rss']) / sum(f['rss']):.2f}",
            f"{loss(a)['lost']} / {loss(f)['lost']}",
            fmt(None if a["ready"] is None else a["ready"] * 1000, ".0f"),
            f"{a['stop'] * 1000:.0f} / {f['stop'] * 1000:.0f} / {b['stop'] * 1000:.0f}",
        ] + before)
    print_table(["round", "CPU/min agent", "ffmpeg", "bare", "agent/bare", "agent/ffmpeg",
                 "agent/ffmpeg 20 ms", "echo-cancel/ffmpeg", "differing/ffmpeg", "RSS MB agent", "ffmpeg", "bare", "agent/ffmpeg", "lost agent / ffmpeg",
                 "ready ms", "stop ms a / f / b"] +
                ([] if not args.baseline else
                 ["CPU agent/before", "RSS agent/before", "wake-ups agent/before"]), ratio_rows)

    print()
    cpu_a, cpu_e, cpu_e2, cpu_f, cpu_f20, cpu_b = (med(c, per_minute) for c in CONFIGS)
    rss_a = max(sum(res["rss"]) for res in runs["agent"])
    rss_e = max(sum(res["rss"]) for res in runs["agent-ec"] + runs["agent-ec2"])
    losses = [loss(res) for res in runs["agent"]]
    totals = {k: sum(x[k] for x in losses)
              for k in ("lost", "inserted", "repeated", "short")}
    # A track that never shows the counter is all "leading": not a pass.
    totals["leading over 0.5 s"] = sum(1 for x in losses if x["leading"] > RATE // 2)
    readies = [res["ready"] for res in runs["agent"]]
    worst = None if None in readies else max(readies) * 1000
    verdicts = [
        ("agent CPU <= 1.5x bare reader (medians)", cpu_a <= 1.5 * cpu_b, f"{cpu_a / cpu_b:.2f}x"),
        ("agent CPU <= 0.4x ffmpeg pair, default options (medians)", cpu_a <= 0.4 * cpu_f,
         f"{cpu_a / cpu_f:.2f}x (forced 20 ms fragment: {cpu_a / cpu_f20:.2f}x)"),
        ("agent peak RSS <= 12 MB (worst round)", rss_a <= 12, f"{rss_a:.1f} MB"),
        ("agent --echo-cancel CPU <= ffmpeg pair, default options, a microphone that gives"
         " one signal (medians)", cpu_e <= cpu_f,
         f"{cpu_e / cpu_f:.2f}x ({cpu_e / cpu_a:.2f}x the agent without it; a microphone whose"
         f" channels differ: {cpu_e2 / cpu_f:.2f}x)"),
        ("agent --echo-cancel peak RSS <= 16 MB (worst round)", rss_e <= 16, f"{rss_e:.1f} MB"),
        ("agent zero lost frames (all rounds)", not any(totals.values()),
         ", ".join(f"{v} {k}" for k, v in totals.items())),
        ("agent ready <= 150 ms (worst round)", worst is not None and worst <= 150,
         fmt(worst, ".0f") + " ms"),
    ]
    for label, ok, value in verdicts:
        print(f"  {'PASS' if ok else 'MISS'}  {label}: {value}")

    notes = []
    for r in range(rounds):
        for c in names:
            res = results[r][c]
            where = f"round {r + 1} {TITLES[c]}"
            if res["underruns"] or not res["players_alive"]:
                notes.append(f"{where}: a player underran {res['underruns']} time(s)"
                             f"{'' if res['players_alive'] else ' or ended early'};"
                             " its gaps count as loss above")
            # ffmpeg ends with 255 when a signal stops it
            if any(s not in ((0, 255) if c in FFMPEG_CONFIGS else (0,)) for s in res["status"]):
                notes.append(f"{where}: exit status {res['status']}")
            if res["errors"]:
                notes.append(f"{where}: {res['errors']} error line(s) on stderr")
            for name, info in res["tracks"].items():
                if info.get("glitches"):
                    shown = info["glitches"][:8]
                    more = len(info["glitches"]) - len(shown)
                    notes.append(f"{where} {name}: glitches (at frame, foreign frames, source frames"
                                 f" skipped) {shown}{f' and {more} more' if more else ''}")
                if info.get("unmarked"):
                    notes.append(f"{where} {name}: {info['unmarked']} segment(s) without a marker")
                if c in ("agent", "before") and res["sure"] is not None:
                    over = info["frames"] / RATE - res["sure"]
                    notes.append(f"{where} {name}: {info['frames']} frames in "
                                 f"{len(info['segments'])} segments, len-window {over * 1000:+.0f} ms,"
                                 f" leading {info['leading']}, after stop {info['after stop']}")
    if notes:
        print("\nNotes:")
        for note in notes:
            print("  " + note)


def print_table(headers, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *rows)]
    line = "+".join("-" * (w + 2) for w in widths)
    print(" | ".join(h.ljust(w) for h, w in zip(headers, widths)))
    print(line)
    for r in rows:
        print(" | ".join(str(x).ljust(w) for x, w in zip(r, widths)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--agent", required=True)
    parser.add_argument("--baseline", help="an earlier agent binary, run beside --agent")
    parser.add_argument("--bare", required=True)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--daemon-pid", required=True, type=int)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--monitor", default="call.monitor")
    parser.add_argument("--source", default="mic")
    args = parser.parse_args()

    # Stopped by scripts/bench-peers: end the runs' processes on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    # Started in the background, this process ignores SIGINT, and so would the
    # recorders it starts (ffmpeg is stopped with SIGINT).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signals = write_signals(args.work, args.seconds + 20)
    results = []
    try:
        measure(args, signals, results)
    finally:
        end_children()
    print()
    report(args, results)


def measure(args, signals, results):
    # The agent looks for its stop file every 0.5 s. A run of a whole number of
    # seconds would ask it to stop at the same point of that cycle every time,
    # so each round's runs last up to half a second longer, by the same amount.
    jitter = random.Random(20)
    for r in range(args.rounds):
        seconds = args.seconds + jitter.uniform(0.0, 0.5)
        names = configs(args)
        order = names[r % len(names):] + names[:r % len(names)]
        results.append({})
        for config in order:
            print(f"round {r + 1}/{args.rounds}: {TITLES[config]} ({args.seconds} s)",
                  file=sys.stderr, flush=True)
            results[r][config] = one_run(args, config, args.work / f"round{r + 1}-{config}",
                                         signals, seconds)
            time.sleep(1.0)


if __name__ == "__main__":
    main()
