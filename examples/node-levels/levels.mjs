#!/usr/bin/env node
// A parent in Node: records a call and prints a line per finished segment with
// its track, its start in the call and its level in dBFS. Ctrl-C stops it.
//
//   node examples/node-levels/levels.mjs [path/to/velkin-capture]
import { CaptureError, readSegment, startCapture } from '../../clients/node/index.js';

// The RMS level of 16-bit samples against full scale; -Infinity for silence.
function dbfs(samples) {
  let sum = 0;
  for (const sample of samples) sum += sample * sample;
  return 20 * Math.log10(Math.sqrt(sum / Math.max(samples.length, 1)) / 32768);
}

const clock = (seconds) =>
  `${String(Math.floor(seconds / 60)).padStart(2, '0')}:${String(seconds % 60).padStart(2, '0')}`;

let capture;
try {
  capture = await startCapture({ executable: process.argv[2] });
} catch (error) {
  console.error(error instanceof CaptureError ? `velkin-capture could not start: ${error.message}` : error);
  process.exit(1);
}
console.log(`Recording into ${capture.segmentDirectory}. Press Ctrl-C to stop.`);
process.on('SIGINT', () => capture.stop());
process.on('SIGTERM', () => capture.stop());
capture.on('line', (event) => {
  if (event.type !== 'text' && event.type !== 'first-output') console.error(event.line);
});

for await (const segment of capture.segments()) {
  const { samples } = await readSegment(segment.path);
  const level = dbfs(samples);
  console.log(`[${clock(segment.startSeconds)}] ${segment.track.padEnd(11)} ${level.toFixed(1).padStart(6)} dBFS`);
}
const { status, signal } = await capture.ended;
console.log(`The agent exited with ${signal ?? `status ${status}`}.`);
process.exitCode = status === 0 ? 0 : 1;
