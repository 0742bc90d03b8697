// The Node client without an audio server: stand-in agents for the starts and
// stops a real agent cannot be made to do, the CAF reader, the declarations and
// the package.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdtemp, mkdir, readFile, readdir, rm, utimes, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { CaptureError, readSegment, startCapture } from '../../../clients/node/index.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const client = path.resolve(here, '../../../clients/node');
const run = promisify(execFile);
const made = [];
const temporary = async () => made[made.push(await mkdtemp(path.join(os.tmpdir(), 'velkin-node-test-'))) - 1];
after(() => Promise.all(made.map((dir) => rm(dir, { recursive: true, force: true }))));
const alive = (pid) => { try { return process.kill(pid, 0); } catch { return false; } };

async function startStandIn(way, options = {}) {
  const call = await temporary();
  const dirs = { segmentDirectory: path.join(call, 'segments'), controlDirectory: path.join(call, 'control') };
  await mkdir(dirs.segmentDirectory);
  await mkdir(dirs.controlDirectory);
  // An earlier run's files: its pid, its readiness, and markers older than this run.
  const past = new Date(Date.now() - 3600_000);
  for (const file of ['control/capture.pid', 'control/capture.ready', 'segments/interviewer-000001.caf.ready',
    'segments/candidate-000007.caf.ready']) {
    await writeFile(path.join(call, file), '1');
    await utimes(path.join(call, file), past, past);
  }
  const env = { ...process.env, STAND_IN: way };
  return startCapture({ executable: path.join(here, 'stand-in-agent'), env, ...dirs, ...options });
}

test('a run: an earlier run ignored, segments in call-time order once each, every line typed, stop', async () => {
  const capture = await startStandIn('run');
  const lines = [];
  const events = [];
  capture.on('line', (line) => lines.push(line));
  capture.on('segment', (s) => events.push(`${s.track}-${s.number}`));
  const control = (file) => readFile(path.join(capture.controlDirectory, file), 'utf8');
  assert.deepEqual([await control('capture.pid'), await control('parent')], [String(capture.pid), String(process.pid)]);
  const iterated = (async () => { const all = []; for await (const s of capture.segments()) all.push(s); return all; })();
  capture.once('segment', () => capture.stop());
  const exit = await capture.ended;
  assert.deepEqual(exit, { status: 0, signal: null });
  const expected = ['interviewer-1', 'candidate-1', 'interviewer-2', 'candidate-2', 'interviewer-3'];
  assert.deepEqual(events, expected);
  const segments = await iterated;
  assert.deepEqual(segments.map((s) => `${s.track}-${s.number}`), expected);
  assert.deepEqual(segments[4], { track: 'interviewer', number: 3, startSeconds: 10,
    path: path.join(capture.segmentDirectory, 'interviewer-000003.caf') });
  assert.deepEqual(lines.map((l) => l.type), ['first-output', 'warning', 'writer-error', 'writer-error',
    'writer-resumed', 'capture-stopped', 'capture-error', 'text']);
  assert.deepEqual(lines.slice(2, 5).map(({ type, line, ...fields }) => fields), [
    { track: null, description: 'disk full' }, { track: 'candidate', description: 'No space left on device' },
    { track: 'candidate', heldSeconds: 12.5, droppedSeconds: 0 }]);
  assert.deepEqual([lines[0].kind, lines[1].text, lines[5].description, lines[6].description, lines[2].line],
    ['audio', 'w', 'gone', 'e', 'Velkin writer error: disk full']);
  assert.deepEqual(await capture.stop(), exit);
});

test('a failed start: the agent\'s last line, else its exit status; past a deadline, SIGKILL', async () => {
  await assert.rejects(startStandIn('fail-line'), new CaptureError('no microphone here'));
  await assert.rejects(startStandIn('fail-silent'), /exited with status 3 before it was ready/);
  const tmp = (process.env.TMPDIR = await temporary());
  await assert.rejects(startCapture({ executable: '/nonexistent/agent' }), /cannot start the agent: .*ENOENT/);
  delete process.env.TMPDIR;
  assert.deepEqual(await readdir(tmp), [], 'the directory made for a failed start is removed');
  const made0 = made.length;
  await assert.rejects(startStandIn('hang', { startTimeoutMs: 300 }), /not ready within 300 ms/);
  assert.equal(alive(Number(await readFile(path.join(made[made0], 'control/capture.pid'), 'utf8'))), false);
  // A stop the agent ignores ends in SIGTERM, then SIGKILL.
  const capture = await startStandIn('stubborn');
  assert.deepEqual(await capture.stop({ timeoutMs: 100 }), { status: null, signal: 'SIGKILL' });
  assert.equal(alive(capture.pid), false);
});

// A CAF file holding the samples 1, -2, 300, -32768 with a 'free' chunk before them.
function caf({ flags = 2, bits = 16, dataSize, cut = 0 } = {}) {
  const chunk = (type, body, size = body.length) => {
    const head = Buffer.alloc(12, type, 'latin1');
    head.writeBigInt64BE(BigInt(size), 4);
    return Buffer.concat([head, body]);
  };
  const desc = Buffer.alloc(32);
  desc.writeDoubleBE(48000);
  desc.write('lpcm', 8, 'latin1');
  [flags, bits / 4, 1, 2, bits].forEach((value, i) => desc.writeUInt32BE(value, 12 + 4 * i));
  const data = Buffer.from([0, 0, 0, 0, 1, 0, 0xfe, 0xff, 0x2c, 0x01, 0x00, 0x80]);
  const file = Buffer.concat([Buffer.from('caff\0\x01\0\0', 'latin1'), chunk('desc', desc),
    chunk('free', Buffer.alloc(21)), chunk('data', data, dataSize ?? data.length)]);
  return file.subarray(0, file.length - cut);
}

test('readSegment reads the chunks and refuses what is not a finished segment', async () => {
  const dir = await temporary();
  let files = 0;
  const segment = async (bytes, ready = true) => {
    const file = path.join(dir, `${++files}.caf`);
    await writeFile(file, bytes);
    if (ready) await writeFile(`${file}.ready`, '');
    return readSegment(file);
  };
  for (const dataSize of [undefined, -1]) {
    const audio = await segment(caf({ dataSize }));
    assert.deepEqual({ ...audio, samples: [...audio.samples] },
      { sampleRate: 48000, channels: 2, frames: 2, samples: [1, -2, 300, -32768] });
  }
  await assert.rejects(segment(caf(), false), /is not a finished segment: it has no \.ready marker/);
  await assert.rejects(segment(Buffer.from('RIFF....WAVEfmt ')), /not a CAF file/);
  for (const format of [{ flags: 3 }, { flags: 0 }, { bits: 24 }]) {
    await assert.rejects(segment(caf(format)), /not 16-bit little-endian linear PCM/);
  }
  await assert.rejects(segment(caf({ cut: 3 })), /'data' chunk is truncated/);
  await assert.rejects(segment(caf({ dataSize: -1, cut: 2 })), /audio is truncated/);
  await assert.rejects(segment(caf().subarray(0, 85)), /no 'data' chunk/);
});

test('the declarations type-check a parent, and the packed client installs offline', async () => {
  const tsc = path.join(client, 'node_modules/.bin/tsc');
  assert.ok(existsSync(tsc), `${tsc} is missing: scripts/bootstrap installs it`);
  await run(tsc, ['--noEmit', '--strict', '--module', 'nodenext',
    '--target', 'es2022', '--types', '', path.join(here, 'parent.mts')]);
  const project = await temporary();
  const { stdout } = await run('npm', ['pack', '--silent', '--pack-destination', project], { cwd: client });
  await writeFile(path.join(project, 'package.json'), '{"type": "module"}');
  await run('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(project, stdout.trim())], { cwd: project });
  const { stdout: exported } = await run('node', ['--input-type=module', '-e',
    'import * as m from "velkin-capture"; console.log(Object.keys(m).sort().join())'], { cwd: project });
  assert.equal(exported.trim(), 'CaptureError,SEGMENT_SECONDS,parseLine,readSegment,startCapture');
});
