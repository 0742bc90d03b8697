// The Node client without an audio server: stand-in agents for the starts and
// stops a real agent cannot be made to do, the line parser, the CAF reader, the
// type declarations and the package.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdtemp, mkdir, readFile, rm, utimes, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { CaptureError, parseLine, readSegment, startCapture } from '../../../clients/node/index.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const client = path.resolve(here, '../../../clients/node');
const run = promisify(execFile);
const standIn = path.join(here, 'stand-in-agent');
const made = [];
const temporary = async (prefix) => made[made.push(await mkdtemp(path.join(os.tmpdir(), prefix))) - 1];
after(() => Promise.all(made.map((dir) => rm(dir, { recursive: true, force: true }))));
const alive = (pid) => { try { process.kill(pid, 0); return true; } catch { return false; } };

async function callDirectory() {
  const call = await temporary('velkin-node-test-');
  const dirs = { segmentDirectory: path.join(call, 'segments'), controlDirectory: path.join(call, 'control') };
  await mkdir(dirs.segmentDirectory);
  await mkdir(dirs.controlDirectory);
  return dirs;
}

const startStandIn = (way, options = {}) =>
  startCapture({ executable: standIn, env: { ...process.env, STAND_IN: way }, ...options });

test('a run: an earlier run is ignored, segments in call-time order once each, lines typed, stop', async () => {
  const dirs = await callDirectory();
  const past = new Date(Date.now() - 3600_000);
  for (const file of ['control/capture.ready', 'control/capture.pid', 'segments/interviewer-000001.caf.ready',
    'segments/candidate-000007.caf.ready']) {
    const full = path.join(dirs.segmentDirectory, '..', file);
    await writeFile(full, file.endsWith('pid') ? '1' : '');
    await utimes(full, past, past);
  }
  const capture = await startStandIn('run', dirs);
  const lines = [];
  const events = [];
  capture.on('line', (line) => lines.push(line));
  capture.on('segment', (s) => events.push(`${s.track}-${s.number}`));
  assert.equal(await readFile(path.join(dirs.controlDirectory, 'capture.pid'), 'utf8'), String(capture.pid));
  const iterated = (async () => { const all = []; for await (const s of capture.segments()) all.push(s); return all; })();
  capture.once('segment', () => capture.stop());
  const exit = await capture.ended;
  assert.deepEqual(exit, { status: 0, signal: null });
  const expected = ['interviewer-1', 'candidate-1', 'interviewer-2', 'candidate-2', 'interviewer-3'];
  assert.deepEqual(events, expected);
  const segments = await iterated;
  assert.deepEqual(segments.map((s) => `${s.track}-${s.number}`), expected);
  assert.deepEqual(segments[4], { track: 'interviewer', number: 3, startSeconds: 10,
    path: path.join(dirs.segmentDirectory, 'interviewer-000003.caf') });
  assert.deepEqual(lines.map((l) => l.type), ['first-output', 'warning', 'writer-error', 'text']);
  assert.deepEqual(lines[2], { type: 'writer-error', track: null, description: 'disk full', line: 'Velkin writer error: disk full' });
  assert.deepEqual(await capture.stop(), exit);
});

test('a failed start carries the agent\'s last line, else its exit status', async () => {
  await assert.rejects(startStandIn('fail-line'), new CaptureError('no microphone here'));
  await assert.rejects(startStandIn('fail-silent'), /exited with status 3 before it was ready/);
  await assert.rejects(startCapture({ executable: '/nonexistent/agent' }), (error) =>
    error instanceof CaptureError && /cannot start the agent: .*ENOENT/.test(error.message));
});

test('a start past its deadline and a stop the agent ignores both end in SIGKILL', async () => {
  const dirs = await callDirectory();
  await assert.rejects(startStandIn('hang', { ...dirs, startTimeoutMs: 300 }), /not ready within 300 ms/);
  assert.equal(alive(Number(await readFile(path.join(dirs.controlDirectory, 'capture.pid'), 'utf8'))), false);
  const capture = await startStandIn('stubborn', await callDirectory());
  assert.deepEqual(await capture.stop({ timeoutMs: 100 }), { status: null, signal: 'SIGKILL' });
  assert.equal(alive(capture.pid), false);
});

test('every kind of line', () => {
  const cases = {
    'VELKIN_CAPTURE_FIRST_OUTPUT microphone': { type: 'first-output', kind: 'microphone' },
    'Velkin capture error: no audio server': { type: 'capture-error', description: 'no audio server' },
    'Velkin capture stopped: the audio server went away': { type: 'capture-stopped', description: 'the audio server went away' },
    'Velkin candidate writer resumed: 12.5 s held, 0.0 s dropped':
      { type: 'writer-resumed', track: 'candidate', heldSeconds: 12.5, droppedSeconds: 0 },
    'Velkin interviewer writer error: No space left on device':
      { type: 'writer-error', track: 'interviewer', description: 'No space left on device' },
    'Velkin somebody writer error: x': { type: 'text', text: 'Velkin somebody writer error: x' },
  };
  for (const [line, event] of Object.entries(cases)) assert.deepEqual(parseLine(line), { ...event, line });
});

// A CAF file of 16-bit samples with the given chunks before its audio.
function caf({ format = 'lpcm', flags = 2, bits = 16, channels = 2, samples = [1, -2, 300, -32768],
  before = ['chan', 'free'], dataSize, cut = 0 } = {}) {
  const chunk = (type, body, size = body.length) => {
    const head = Buffer.alloc(12);
    head.write(type, 0, 'latin1');
    head.writeBigInt64BE(BigInt(size), 4);
    return Buffer.concat([head, body]);
  };
  const desc = Buffer.alloc(32);
  desc.writeDoubleBE(48000, 0);
  desc.write(format, 8, 'latin1');
  desc.writeUInt32BE(flags, 12);
  desc.writeUInt32BE((bits / 8) * channels, 16);
  desc.writeUInt32BE(1, 20);
  desc.writeUInt32BE(channels, 24);
  desc.writeUInt32BE(bits, 28);
  const audio = Buffer.alloc(4 + samples.length * 2);
  samples.forEach((s, i) => audio.writeInt16LE(s, 4 + 2 * i));
  const file = Buffer.concat([Buffer.from([0x63, 0x61, 0x66, 0x66, 0, 1, 0, 0]), chunk('desc', desc),
    ...before.map((type) => chunk(type, Buffer.alloc(21))), chunk('data', audio, dataSize ?? audio.length)]);
  return file.subarray(0, file.length - cut);
}

test('readSegment reads the chunks and refuses what is not a finished segment', async () => {
  const dir = await temporary('velkin-node-caf-');
  const write = async (name, bytes, ready = true) => {
    const file = path.join(dir, name);
    await writeFile(file, bytes);
    if (ready) await writeFile(`${file}.ready`, '');
    return file;
  };
  for (const dataSize of [undefined, -1]) {
    const audio = await readSegment(await write('good.caf', caf({ dataSize })));
    assert.deepEqual({ ...audio, samples: [...audio.samples] },
      { sampleRate: 48000, channels: 2, frames: 2, samples: [1, -2, 300, -32768] });
  }
  await assert.rejects(readSegment(await write('unmarked.caf', caf(), false)), /no \.ready marker/);
  await assert.rejects(readSegment(await write('riff.caf', Buffer.from('RIFF....WAVEfmt '))), /not a CAF file/);
  await assert.rejects(readSegment(await write('float.caf', caf({ flags: 3 }))), /not 16-bit little-endian/);
  await assert.rejects(readSegment(await write('big.caf', caf({ flags: 0 }))), /not 16-bit little-endian/);
  await assert.rejects(readSegment(await write('24.caf', caf({ bits: 24 }))), /not 16-bit little-endian/);
  await assert.rejects(readSegment(await write('cut.caf', caf({ cut: 3 }))), /truncated/);
  await assert.rejects(readSegment(await write('odd.caf', caf({ dataSize: -1, cut: 2 }))), /truncated/);
  await assert.rejects(readSegment(await write('none.caf', caf().subarray(0, 52))), /no 'data' chunk/);
});

test('the declarations type-check a parent, and the packed client installs offline', async () => {
  await run(path.join(client, 'node_modules/.bin/tsc'), ['--noEmit', '--strict', '--module', 'nodenext',
    '--target', 'es2022', '--types', '', path.join(here, 'parent.mts')]);
  const project = await temporary('velkin-node-pack-');
  const { stdout } = await run('npm', ['pack', '--silent', '--pack-destination', project], { cwd: client });
  const tarball = path.join(project, stdout.trim());
  assert.match(tarball, /velkin-capture-\d+\.\d+\.\d+\.tgz$/);
  await writeFile(path.join(project, 'package.json'), '{"type": "module"}');
  await run('npm', ['install', '--offline', '--no-audit', '--no-fund', tarball], { cwd: project });
  const { stdout: exported } = await run('node', ['--input-type=module', '-e',
    'import * as m from "velkin-capture"; console.log(Object.keys(m).sort().join())'], { cwd: project });
  assert.equal(exported.trim(), 'CaptureError,SEGMENT_SECONDS,parseLine,readSegment,startCapture');
});
