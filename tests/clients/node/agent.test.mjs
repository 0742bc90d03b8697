// The Node client driving the real agent on a private audio server, as a
// parent does: a short call with a tone played into each device, and a start
// with no audio server.
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { CaptureError, readSegment, startCapture } from '../../../clients/node/index.js';

const agent = process.env.VELKIN_AGENT_BINARY;
const pulseDaemon = fileURLToPath(new URL('../../../scripts/pulse-daemon', import.meta.url));

async function startServer(t) {
  const { stdout } = await promisify(execFile)(pulseDaemon, ['start']);
  const values = Object.fromEntries([...stdout.matchAll(/^(?:export )?(\w+)=(.*)$/gm)].map((m) => [m[1], m[2]]));
  t.after(() => promisify(execFile)(pulseDaemon, ['stop', values.PULSE_DAEMON_PID, values.PULSE_DAEMON_DIR]));
  const { PULSE_DAEMON_PID, PULSE_DAEMON_DIR, ...env } = values;
  return { ...process.env, ...env };
}

// Plays `seconds` of a square wave of the given amplitude into a sink; ends with the test.
function play(t, env, sink, amplitude, seconds) {
  const samples = Buffer.alloc(seconds * 48000 * 4);
  for (let frame = 0; frame < seconds * 48000; frame++) {
    const value = frame % 100 < 50 ? amplitude : -amplitude;
    samples.writeInt16LE(value, frame * 4);
    samples.writeInt16LE(value, frame * 4 + 2);
  }
  const player = spawn('pacat', ['--playback', `--device=${sink}`, '--format=s16le', '--rate=48000',
    '--channels=2', '--raw'], { env, stdio: ['pipe', 'ignore', 'ignore'] });
  player.stdin.on('error', () => {});
  player.stdin.end(samples);
  t.after(() => player.kill('SIGKILL'));
}

const peak = (samples) => samples.reduce((most, s) => Math.max(most, Math.abs(s)), 0);

test('a short call: the segments of both tracks in order, their audio, a stop with status 0', async (t) => {
  const env = await startServer(t);
  const launched = performance.now();
  const capture = await startCapture({ executable: agent, env });
  t.after(async () => {
    await capture.stop({ timeoutMs: 1000 });
    await rm(path.dirname(capture.segmentDirectory), { recursive: true, force: true });
  });
  const lines = [];
  capture.on('line', (line) => lines.push(line));
  play(t, env, 'call', 16000, 8);
  play(t, env, 'mic_in', 4000, 8);
  let stopped;
  capture.once('segment', () => {
    t.diagnostic(`launch to the first segment event: ${Math.round(performance.now() - launched)} ms`);
    setTimeout(() => {
      const asked = performance.now();
      stopped = capture.stop().then((exit) => {
        t.diagnostic(`stop to the resolved stop: ${Math.round(performance.now() - asked)} ms`);
        return exit;
      });
    }, 1500);
  });
  const segments = [];
  for await (const segment of capture.segments()) segments.push(segment);
  assert.deepEqual(await stopped, { status: 0, signal: null });
  assert.deepEqual(segments.map((s) => `${s.track}-${s.number}-${s.startSeconds}`),
    ['interviewer-1-0', 'candidate-1-0', 'interviewer-2-5', 'candidate-2-5']);
  const audio = await Promise.all(segments.map((s) => readSegment(s.path)));
  for (const [i, { sampleRate, channels, frames, samples }] of audio.entries()) {
    assert.equal(sampleRate, 48000);
    assert.equal(channels, 2);
    assert.equal(samples.length, frames * 2);
    if (i < 2) assert.equal(frames, 240000);
    else assert.ok(frames > 0 && frames < 240000, `the last segment holds ${frames} frames`);
  }
  // Each track holds what was played into its own device.
  assert.equal(Math.max(peak(audio[0].samples), peak(audio[2].samples)), 16000);
  assert.equal(Math.max(peak(audio[1].samples), peak(audio[3].samples)), 4000);
  const kinds = lines.filter((l) => l.type === 'first-output').map((l) => l.kind);
  assert.ok(kinds.includes('audio') && kinds.includes('microphone'), `first outputs: ${kinds}`);
});

test('a start with no audio server fails with the agent\'s own description', async (t) => {
  const call = await mkdtemp(path.join(os.tmpdir(), 'velkin-node-test-'));
  t.after(() => rm(call, { recursive: true, force: true }));
  const options = { executable: agent, segmentDirectory: path.join(call, 's'), controlDirectory: path.join(call, 'c'),
    env: { ...process.env, PULSE_SERVER: `unix:${call}/no-server` } };
  const error = await startCapture(options).then(() => null, (e) => e);
  assert.ok(error instanceof CaptureError);
  assert.match(error.message, /audio server/);
  assert.equal(error.message, await readFile(path.join(call, 'c', 'capture.error'), 'utf8'));
});
