// The Node client driving the real agent as a parent does: a short call on a
// private audio server with a tone played into each device, and a start with no
// audio server.
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
const run = promisify(execFile);
const pulseDaemon = fileURLToPath(new URL('../../../scripts/pulse-daemon', import.meta.url));
const peak = (samples) => samples.reduce((most, s) => Math.max(most, Math.abs(s)), 0);

// Eight seconds of a square wave into a sink, stopped with the test.
function play(t, env, sink, amplitude) {
  const samples = new Int16Array(8 * 48000 * 2).map((_, i) => (i % 200 < 100 ? amplitude : -amplitude));
  const player = spawn('pacat', ['--playback', `--device=${sink}`, '--format=s16le', '--rate=48000', '--channels=2',
    '--raw'], { env, stdio: ['pipe', 'ignore', 'ignore'] });
  player.stdin.on('error', () => {}).end(Buffer.from(samples.buffer));
  t.after(() => player.kill('SIGKILL'));
}

test('a short call: both tracks\' segments in order with their audio, and a stop with status 0', async (t) => {
  const { stdout } = await run(pulseDaemon, ['start']);
  const server = Object.fromEntries([...stdout.matchAll(/^(?:export )?(\w+)=(.*)$/gm)].map((m) => [m[1], m[2]]));
  t.after(() => run(pulseDaemon, ['stop', server.PULSE_DAEMON_PID, server.PULSE_DAEMON_DIR]));
  const env = { ...process.env, ...server };
  const launched = performance.now();
  const capture = await startCapture({ executable: agent, env });
  t.after(() => capture.stop({ timeoutMs: 1000 }).then(() => rm(path.dirname(capture.segmentDirectory), { recursive: true })));
  const kinds = [];
  capture.on('line', (line) => kinds.push(line.kind));
  play(t, env, 'call', 16000);
  play(t, env, 'mic_in', 4000);
  let stopped;
  capture.once('segment', () => {
    const firstSegment = performance.now();
    setTimeout(() => (stopped = capture.stop().then((exit) => {
      t.diagnostic(`launch to the first segment event: ${Math.round(firstSegment - launched)} ms, stop to the ` +
        `resolved stop: ${Math.round(performance.now() - firstSegment - 1500)} ms`);
      return exit;
    })), 1500);
  });
  const segments = [];
  for await (const segment of capture.segments()) segments.push(segment);
  assert.deepEqual(await stopped, { status: 0, signal: null });
  assert.deepEqual(segments.map((s) => `${s.track}-${s.number}-${s.startSeconds}`),
    ['interviewer-1-0', 'candidate-1-0', 'interviewer-2-5', 'candidate-2-5']);
  const audio = await Promise.all(segments.map((s) => readSegment(s.path)));
  for (const { sampleRate, channels, frames, samples } of audio) {
    assert.deepEqual([sampleRate, channels, samples.length], [48000, 2, frames * 2]);
  }
  const frames = audio.map((a) => a.frames);
  assert.ok(frames[0] === 240000 && frames[1] === 240000 && frames[2] > 0 && frames[3] > 0, `frames: ${frames}`);
  // Each track holds what was played into its own device.
  assert.equal(Math.max(peak(audio[0].samples), peak(audio[2].samples)), 16000);
  assert.equal(Math.max(peak(audio[1].samples), peak(audio[3].samples)), 4000);
  assert.ok(kinds.includes('audio') && kinds.includes('microphone'), `first outputs: ${kinds}`);
});

test('a start with no audio server fails with the agent\'s own description', async (t) => {
  const call = await mkdtemp(path.join(os.tmpdir(), 'velkin-node-test-'));
  t.after(() => rm(call, { recursive: true }));
  const control = path.join(call, 'control');
  const env = { ...process.env, PULSE_SERVER: `unix:${call}/no-server` };
  const error = await startCapture({ executable: agent, segmentDirectory: call, controlDirectory: control, env })
    .catch((e) => e);
  assert.ok(error instanceof CaptureError);
  assert.match(error.message, /audio server/);
  assert.equal(error.message, await readFile(path.join(control, 'capture.error'), 'utf8'));
});
