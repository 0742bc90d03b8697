// A TypeScript parent, type-checked and never run.
import { CaptureError, readSegment, startCapture, type Exit } from '../../../clients/node/index.js';

const capture = await startCapture({ executable: 'velkin-capture', env: { PULSE_SERVER: 'x' }, startTimeoutMs: 5 });
capture.on('line', (e) => e.type === 'writer-resumed' && console.log(e.track, e.heldSeconds + e.droppedSeconds));
capture.on('segment', (segment) => console.log(segment.path.length + segment.startSeconds));
for await (const { path, track } of capture.segments()) console.log(track, (await readSegment(path)).samples[0]);
const exit: Exit = await capture.stop({ timeoutMs: 1 });
console.log(exit.status ?? exit.signal, new CaptureError('x').message, (await capture.ended).signal);
