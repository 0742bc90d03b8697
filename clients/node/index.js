// The parent's side of velkin-capture for Node: starts the agent, tells when it
// captures or why it could not, hands over each finished segment once, in the
// order of the call, turns its output lines into events, and stops it.
// Standard library only.

import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { constants, promises as fs } from 'node:fs';
import os from 'node:os';
import path from 'node:path';

// How much of the call one full segment holds, in seconds.
export const SEGMENT_SECONDS = 5;

const POLL_MS = 100;
// After SIGTERM, how long the agent gets before SIGKILL.
const KILL_GRACE_MS = 1000;
// How long the exit waits for the agent's last stderr bytes: a grandchild that
// inherited the pipe must not hold the end of the run back.
const STDERR_DRAIN_MS = 500;
const MARKER = /^(interviewer|candidate)-(\d{6,})\.caf\.ready$/;

export class CaptureError extends Error {
  constructor(message) {
    super(message);
    this.name = 'CaptureError';
  }
}

const LINE_PATTERNS = [
  [/^VELKIN_CAPTURE_FIRST_OUTPUT (.*)$/, (m) => ({ type: 'first-output', kind: m[1] })],
  [/^Velkin capture error: (.*)$/, (m) => ({ type: 'capture-error', description: m[1] })],
  [/^Velkin capture stopped: (.*)$/, (m) => ({ type: 'capture-stopped', description: m[1] })],
  [/^Velkin capture warning: (.*)$/, (m) => ({ type: 'warning', text: m[1] })],
  [
    /^Velkin (interviewer|candidate) writer resumed: ([\d.]+) s held, ([\d.]+) s dropped$/,
    (m) => ({ type: 'writer-resumed', track: m[1], heldSeconds: Number(m[2]), droppedSeconds: Number(m[3]) }),
  ],
  [
    /^Velkin (?:(interviewer|candidate) )?writer error: (.*)$/,
    (m) => ({ type: 'writer-error', track: m[1] ?? null, description: m[2] }),
  ],
];

// One stderr line of the agent as a typed event; lines it does not know are text.
export function parseLine(line) {
  for (const [pattern, make] of LINE_PATTERNS) {
    const match = pattern.exec(line);
    if (match) return { ...make(match), line };
  }
  return { type: 'text', text: line, line };
}

const segmentName = (track, number) => `${track}-${String(number).padStart(6, '0')}.caf`;
const other = (track) => (track === 'interviewer' ? 'candidate' : 'interviewer');
const key = (track, number) => `${track}:${number}`;

async function readText(file) {
  try {
    return (await fs.readFile(file, 'utf8')).trim();
  } catch {
    return null;
  }
}

async function exists(file) {
  try {
    await fs.access(file);
    return true;
  } catch {
    return false;
  }
}

class Capture extends EventEmitter {
  #child;
  #startTimeoutMs;
  #timedOut = false;
  #runStarted = null; // capture.pid's mtime in ns, once it holds our child's pid
  #phase = 'starting'; // then 'capturing', 'failed' or 'ended'
  #exit = null;
  #stderrDone = false;
  #stderrCarry = '';
  #lastLine = '';
  #earlyLines = [];
  #timer = null;
  #polling = false;
  #startSettle;
  #endSettle;
  #stopping = null;
  // Found and not handed out yet, sorted on demand; handed out; highest per track.
  #pending = [];
  #seen = new Set();
  #highest = { interviewer: 0, candidate: 0 };
  #delivered = [];
  #wake = [];

  constructor(child, segmentDirectory, controlDirectory, startTimeoutMs) {
    super();
    this.#child = child;
    this.pid = child.pid;
    this.segmentDirectory = segmentDirectory;
    this.controlDirectory = controlDirectory;
    this.#startTimeoutMs = startTimeoutMs;
    this.ended = new Promise((resolve) => (this.#endSettle = resolve));
  }

  // Resolves once this run's capture.ready exists; rejects with the agent's own
  // description of why it could not start.
  start() {
    const started = new Promise((resolve, reject) => (this.#startSettle = { resolve, reject }));
    const child = this.#child;
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (chunk) => this.#takeStderr(chunk));
    child.stderr.on('close', () => {
      if (this.#stderrCarry) this.#emitLine(this.#stderrCarry);
      this.#stderrCarry = '';
      this.#stderrDone = true;
      this.#poll();
    });
    child.on('error', (error) => {
      // Only a spawn failure arrives before an exit; later ones (a signal to a
      // process already gone) change nothing.
      if (this.pid !== undefined || this.#phase !== 'starting') return;
      this.#fail(`cannot start the agent: ${error.message}`);
      this.#phase = 'ended';
      clearTimeout(this.#timer);
    });
    child.on('exit', (status, signal) => {
      this.#exit = { status, signal };
      setTimeout(() => child.stderr.destroy(), STDERR_DRAIN_MS).unref();
      this.#poll();
    });
    // Past the deadline the agent is killed, and the start fails once it is reaped.
    const deadline = setTimeout(() => {
      if (this.#phase !== 'starting') return;
      this.#timedOut = true;
      child.kill('SIGKILL');
    }, this.#startTimeoutMs);
    started.then(() => clearTimeout(deadline), () => clearTimeout(deadline));
    if (this.pid !== undefined) this.#schedule();
    return started;
  }

  #takeStderr(chunk) {
    const lines = (this.#stderrCarry + chunk).split('\n');
    this.#stderrCarry = lines.pop();
    for (const line of lines) this.#emitLine(line.endsWith('\r') ? line.slice(0, -1) : line);
  }

  #emitLine(line) {
    const event = parseLine(line);
    // A start that fails before its control files are this run's is told by
    // this line: the agent's own description, without the prefix.
    if (line.trim()) this.#lastLine = event.type === 'capture-error' ? event.description : line;
    if (this.#earlyLines) this.#earlyLines.push(event);
    else this.emit('line', event);
  }

  #fail(message) {
    if (this.#phase !== 'starting') return;
    this.#phase = 'failed';
    this.#startSettle.reject(new CaptureError(message));
  }

  #schedule() {
    clearTimeout(this.#timer);
    this.#timer = setTimeout(() => this.#poll(), POLL_MS);
  }

  async #poll() {
    if (this.#polling || this.#phase === 'ended') return;
    this.#polling = true;
    try {
      // The exit is taken before the files are read: whatever the agent wrote
      // before it exited is seen in this same pass.
      const exit = this.#exit;
      const finished = exit !== null && this.#stderrDone;
      // The pass that sees the start hands out nothing: the caller, resumed by
      // the start, gets its turn to listen first.
      if (await this.#readControlFiles()) return;
      if (this.#runStarted !== null) await this.#scanSegments();
      if (finished && this.#phase === 'starting') {
        const error = this.#runStarted !== null ? await readText(path.join(this.controlDirectory, 'capture.error')) : null;
        const how = exit.signal ? `signal ${exit.signal}` : `status ${exit.status}`;
        this.#fail(
          this.#timedOut
            ? `the agent was not ready within ${this.#startTimeoutMs} ms`
            : error || this.#lastLine || `the agent exited with ${how} before it was ready`,
        );
      }
      this.#deliver(finished);
      if (finished) {
        this.#phase = 'ended';
        this.#endSettle(exit);
        this.emit('end', exit);
      }
    } finally {
      this.#polling = false;
      if (this.#phase !== 'ended') this.#schedule();
    }
  }

  async #readControlFiles() {
    if (this.#runStarted === null) {
      // The agent clears an earlier run's ready and error files before it writes
      // its pid: once the pid is this child's, what follows is this run's. The
      // time is taken from the file whose text was read, after reading it: a
      // stat before the read could see the earlier run's pid file.
      let file;
      try {
        file = await fs.open(path.join(this.controlDirectory, 'capture.pid'));
        if ((await file.readFile('utf8')).trim() !== String(this.pid)) return;
        this.#runStarted = (await file.stat({ bigint: true })).mtimeNs;
      } catch {
        return;
      } finally {
        await file?.close();
      }
    }
    if (this.#phase === 'starting' && (await exists(path.join(this.controlDirectory, 'capture.ready')))) {
      this.#phase = 'capturing';
      this.#startSettle.resolve(this);
      setImmediate(() => {
        for (const line of this.#earlyLines) this.emit('line', line);
        this.#earlyLines = null;
      });
      return true;
    }
    return false;
  }

  async #scanSegments() {
    let names;
    try {
      names = await fs.readdir(this.segmentDirectory);
    } catch {
      return;
    }
    for (const name of names) {
      const match = MARKER.exec(name);
      if (!match) continue;
      const track = match[1];
      const number = Number(match[2]);
      if (number < 1 || this.#seen.has(key(track, number))) continue;
      try {
        const written = (await fs.stat(path.join(this.segmentDirectory, name), { bigint: true })).mtimeNs;
        if (written < this.#runStarted) continue; // an earlier run's, not yet replaced by this one
      } catch {
        continue;
      }
      this.#seen.add(key(track, number));
      this.#pending.push({ track, number });
      this.#highest[track] = Math.max(this.#highest[track], number);
    }
  }

  // Call-time order: both tracks' segment N before either's N + 1. A segment
  // waits for the other track's of its number, unless that track has moved past
  // it or fallen a whole segment behind (its writer stalled or failed), or the
  // run has ended; then everything left comes out.
  #deliver(ended) {
    this.#pending.sort((a, b) => a.number - b.number || (a.track === 'interviewer' ? -1 : 1));
    while (this.#pending.length > 0) {
      const { track, number } = this.#pending[0];
      const otherHasIt = this.#seen.has(key(other(track), number)) || this.#highest[other(track)] > number;
      const otherStalled = this.#highest[track] >= number + 2;
      if (!ended && !otherHasIt && !otherStalled) break;
      this.#pending.shift();
      const segment = {
        track,
        number,
        path: path.join(this.segmentDirectory, segmentName(track, number)),
        startSeconds: SEGMENT_SECONDS * (number - 1),
      };
      this.#delivered.push(segment);
      this.emit('segment', segment);
    }
    for (const wake of this.#wake.splice(0)) wake();
  }

  // Every segment of the run from the first, whenever the loop begins; ends
  // once the run has ended and the last segment is out.
  async *segments() {
    for (let next = 0; ; ) {
      if (next < this.#delivered.length) {
        yield this.#delivered[next++];
      } else if (this.#phase === 'ended' || this.#phase === 'failed') {
        return;
      } else {
        await new Promise((resolve) => this.#wake.push(resolve));
      }
    }
  }

  // Asks through capture.stop; SIGTERM after timeoutMs, SIGKILL a second later.
  // Resolves to how the agent ended, as `ended` does.
  stop({ timeoutMs = 3000 } = {}) {
    if (this.#stopping) return this.#stopping;
    if (this.#exit === null) {
      const terminate = setTimeout(() => {
        if (this.#exit !== null) return;
        this.#child.kill('SIGTERM');
        setTimeout(() => this.#exit === null && this.#child.kill('SIGKILL'), KILL_GRACE_MS);
      }, timeoutMs);
      this.ended.then(() => clearTimeout(terminate));
      const request = path.join(this.controlDirectory, 'capture.stop');
      fs.mkdir(this.controlDirectory, { recursive: true })
        .then(() => fs.open(request, constants.O_WRONLY | constants.O_CREAT | constants.O_NOFOLLOW, 0o644))
        .then((file) => file.close())
        .catch(() => {}); // the deadline ends it all the same
    }
    this.#stopping = this.ended;
    return this.#stopping;
  }
}

// Launches the agent with this process as its parent (it stops by itself once
// this process is gone) and resolves once it captures.
export async function startCapture(options = {}) {
  let { segmentDirectory, controlDirectory } = options;
  let call = null;
  if (!segmentDirectory || !controlDirectory) {
    // A fresh directory per call: each run numbers its segments from 1 and would
    // replace an earlier run's files. It is kept: the segments are the caller's.
    call = await fs.mkdtemp(path.join(os.tmpdir(), 'velkin-capture-'));
    segmentDirectory ??= path.join(call, 'segments');
    controlDirectory ??= path.join(call, 'control');
    await fs.mkdir(segmentDirectory, { recursive: true });
    await fs.mkdir(controlDirectory, { recursive: true });
  }
  segmentDirectory = path.resolve(segmentDirectory);
  controlDirectory = path.resolve(controlDirectory);
  const child = spawn(
    options.executable ?? 'velkin-capture',
    [...(options.echoCancel ? ['--echo-cancel'] : []), '--', segmentDirectory, controlDirectory,
      String(process.pid)],
    // Its own session: a Ctrl-C in the terminal reaches the parent only, which
    // then stops the agent in order.
    { env: options.env ?? process.env, stdio: ['ignore', 'ignore', 'pipe'], detached: true },
  );
  const capture = new Capture(child, segmentDirectory, controlDirectory, options.startTimeoutMs ?? 10000);
  try {
    return await capture.start();
  } catch (error) {
    // A failed start has recorded nothing: the directory made for it goes.
    if (call) await fs.rm(call, { recursive: true, force: true });
    throw error;
  }
}

function segmentError(file, why) {
  return new Error(`${file} is not a finished segment: ${why}`);
}

// The audio of a finished segment, from its CAF chunks: the sample rate, the
// channel count, the frame count and the 16-bit samples, interleaved.
export async function readSegment(file) {
  if (!(await exists(`${file}.ready`))) throw segmentError(file, 'it has no .ready marker beside it');
  const bytes = await fs.readFile(file);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const tag = (at) => bytes.toString('latin1', at, at + 4);
  if (bytes.length < 8 || tag(0) !== 'caff' || view.getUint16(4) !== 1) throw segmentError(file, 'not a CAF file');
  let format = null;
  for (let at = 8; at + 12 <= bytes.length; ) {
    const type = tag(at);
    const declared = view.getBigInt64(at + 4);
    const body = at + 12;
    const size = declared === -1n && type === 'data' ? bytes.length - body : Number(declared);
    if (size < 0 || body + size > bytes.length) throw segmentError(file, `its '${type}' chunk is truncated`);
    if (type === 'desc') {
      if (size < 32) throw segmentError(file, "its 'desc' chunk is too short");
      format = {
        sampleRate: view.getFloat64(body),
        id: tag(body + 8),
        flags: view.getUint32(body + 12),
        bytesPerPacket: view.getUint32(body + 16),
        framesPerPacket: view.getUint32(body + 20),
        channels: view.getUint32(body + 24),
        bits: view.getUint32(body + 28),
      };
      const isFloat = (format.flags & 1) !== 0;
      const littleEndian = (format.flags & 2) !== 0;
      if (format.id !== 'lpcm' || isFloat || !littleEndian || format.bits !== 16 || format.channels < 1 ||
          format.framesPerPacket !== 1 || format.bytesPerPacket !== 2 * format.channels) {
        throw segmentError(file, 'its audio is not 16-bit little-endian linear PCM');
      }
    } else if (type === 'data') {
      if (!format) throw segmentError(file, "its 'data' chunk comes before its 'desc' chunk");
      if (size < 4 || (size - 4) % format.bytesPerPacket !== 0) throw segmentError(file, 'its audio is truncated');
      const samples = new Int16Array((size - 4) / 2);
      for (let i = 0, from = body + 4; i < samples.length; i++, from += 2) samples[i] = view.getInt16(from, true);
      return { sampleRate: format.sampleRate, channels: format.channels, frames: samples.length / format.channels, samples };
    }
    at = body + size;
  }
  throw segmentError(file, "it has no 'data' chunk");
}
