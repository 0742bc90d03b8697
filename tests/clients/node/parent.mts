// A parent as a TypeScript user writes it: checked by tsc, never run.
import { CaptureError, readSegment, startCapture, type Exit, type LineEvent } from '../../../clients/node/index.js';

async function main(): Promise<Exit> {
  try {
    const capture = await startCapture({ executable: 'velkin-capture', env: { PULSE_SERVER: 'unix:/x' }, startTimeoutMs: 5000 });
    capture.on('line', (event: LineEvent) => {
      if (event.type === 'writer-resumed') console.log(event.track, event.heldSeconds + event.droppedSeconds);
      else if (event.type === 'writer-error') console.log(event.track ?? 'both', event.description);
    });
    capture.on('segment', (segment) => console.log(segment.path));
    for await (const segment of capture.segments()) {
      const audio = await readSegment(segment.path);
      const first: number = audio.samples[0] + audio.frames * audio.channels + audio.sampleRate;
      console.log(segment.track, segment.startSeconds, first);
    }
    const exit = await capture.stop({ timeoutMs: 1000 });
    return exit.signal === null ? await capture.ended : exit;
  } catch (error) {
    if (error instanceof CaptureError) console.log(error.message);
    throw error;
  }
}
void main();
