/// <reference types="node" />
import { Readable, Transform, Writable } from 'node:stream';

/** The one format harkwell writes: no header, no framing. */
export interface PcmFormat {
  readonly encoding: 's16le';
  readonly sampleRate: 48000;
  readonly channels: 2;
  readonly bitsPerSample: 16;
  readonly bytesPerFrame: 4;
}
export const FORMAT: PcmFormat;

export type Mode = 'include' | 'exclude';

export interface CaptureOptions {
  /** The root of the process tree (see listStreams()). */
  pid: number;
  /** 'include': the tree's audio; 'exclude': everything else. Default 'include'. */
  mode?: Mode;
  /** Aborting it stops the capture as stop() does: the stream ends, `done` resolves. */
  signal?: AbortSignal;
  /** Bytes the stream holds for a consumer that falls behind; default one second of audio. */
  highWaterMark?: number;
  /** The executable to run in place of the platform package's. */
  binary?: string;
}

/** A running capture: a Readable of PCM Buffers in FORMAT. */
export class Capture extends Readable {
  readonly format: PcmFormat;
  /** Resolves when the tool has exited with status 0; rejects with a HarkwellError otherwise. */
  readonly done: Promise<void>;
  /** The process id of the running tool. */
  readonly toolPid: number | undefined;
  /**
   * Closes the tool's stdin, which stops it; resolves with its exit status once it has
   * ended. A tool that has not ended within `timeoutMs` (default 10000) is killed.
   */
  stop(timeoutMs?: number): Promise<number | null>;
  [Symbol.asyncIterator](): AsyncIterableIterator<Buffer>;
}

export function capture(options: CaptureOptions): Capture;

/** A process that plays audio now, as harkwell-list shows it. */
export interface PlayingProcess {
  pid: number;
  /** The pid to pass to capture() to record this process and its relatives. */
  root: number;
  state: 'active' | 'inactive';
  /** The executable's file name. */
  name: string;
  /** Linux only: the name its stream states, or null. */
  application?: string | null;
}

export function listStreams(options?: { binary?: string }): Promise<PlayingProcess[]>;

/** A run of harkwell or harkwell-list that failed. */
export class HarkwellError extends Error {
  /** The exit status (1: a failure after the arguments were accepted, 2: usage), or null. */
  readonly status: number | null;
  /** The signal that ended the run, if one did. */
  readonly signal: string | null;
  /** The line the executable wrote on stderr. */
  readonly toolMessage: string;
  /** For an executable that could not be started: the system's code, such as ENOENT. */
  code?: string;
}

/** The path of the platform's executable: 'tool' (harkwell) or 'lister' (harkwell-list). */
export function binaryPath(which?: 'tool' | 'lister'): string;

/** The 44-byte WAV header for `dataBytes` of PCM in FORMAT (largest sizes when omitted). */
export function wavHeader(dataBytes?: number): Buffer;
/** A Writable that stores PCM as a WAV file, its sizes set when it finishes. */
export function createWavFile(path: string): Writable;
/** A Transform from PCM to a WAV stream, for destinations that cannot be rewound. */
export function toWav(): Transform;
