// Self-contained on purpose: a parent needs no @types/node to use these types.

export type Track = 'interviewer' | 'candidate';

/** How much of the call one full segment holds, in seconds. */
export declare const SEGMENT_SECONDS: 5;

export interface Segment {
  track: Track;
  /** From 1, per track. */
  number: number;
  /** Absolute path of the finished CAF file. */
  path: string;
  /** Where the segment starts in the call: 5 × (number − 1). */
  startSeconds: number;
}

/** How the agent ended: `status` is null when a signal ended it. */
export interface Exit {
  status: number | null;
  signal: string | null;
}

interface LineBase {
  /** The raw stderr line, without its line end. */
  line: string;
}

export type LineEvent = LineBase &
  (
    | { type: 'first-output'; kind: 'audio' | 'microphone' | 'screen' | 'unknown' | (string & {}) }
    | { type: 'capture-error'; description: string }
    | { type: 'capture-stopped'; description: string }
    | { type: 'warning'; text: string }
    | { type: 'writer-resumed'; track: Track; heldSeconds: number; droppedSeconds: number }
    | { type: 'writer-error'; track: Track | null; description: string }
    | { type: 'text'; text: string }
  );

export interface StartOptions {
  /** The agent's binary; a name without a slash is looked up in PATH. Default "velkin-capture". */
  executable?: string;
  /** Default: "segments" in a fresh temporary directory, kept after the run. */
  segmentDirectory?: string;
  /** Default: "control" in the same fresh temporary directory. */
  controlDirectory?: string;
  /** The agent's environment (PULSE_SERVER picks the audio server). Default: this process's. */
  env?: Record<string, string | undefined>;
  /** How long the agent may take to capture before it is killed. Default 10000. */
  startTimeoutMs?: number;
  /** Take the call audio's echo out of the microphone (speakers, not a headset). Default false. */
  echoCancel?: boolean;
}

export interface StopOptions {
  /** How long the agent gets after "capture.stop" before SIGTERM (then SIGKILL 1 s later). Default 3000. */
  timeoutMs?: number;
}

export interface Capture {
  readonly pid: number;
  readonly segmentDirectory: string;
  readonly controlDirectory: string;
  /** Resolves once the agent has exited and every segment of the run has been delivered. */
  readonly ended: Promise<Exit>;
  on(event: 'segment', listener: (segment: Segment) => void): this;
  on(event: 'line', listener: (line: LineEvent) => void): this;
  on(event: 'end', listener: (exit: Exit) => void): this;
  once(event: 'segment', listener: (segment: Segment) => void): this;
  once(event: 'line', listener: (line: LineEvent) => void): this;
  once(event: 'end', listener: (exit: Exit) => void): this;
  off(event: 'segment' | 'line' | 'end', listener: (...args: any[]) => void): this;
  /** Every segment of the run in call-time order, from the first; ends when the run ends. */
  segments(): AsyncGenerator<Segment, void, undefined>;
  stop(options?: StopOptions): Promise<Exit>;
}

export interface SegmentAudio {
  sampleRate: number;
  channels: number;
  frames: number;
  /** 16-bit samples, channels interleaved. */
  samples: Int16Array;
}

/** The start failed: the message is the agent's own description. */
export declare class CaptureError extends Error {
  name: 'CaptureError';
}

export declare function startCapture(options?: StartOptions): Promise<Capture>;
export declare function readSegment(path: string): Promise<SegmentAudio>;
export declare function parseLine(line: string): LineEvent;
