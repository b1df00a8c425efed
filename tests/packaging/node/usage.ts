// Compiles against the package's declarations alone: what a TypeScript user writes.
import { pipeline } from 'node:stream/promises';
import {
  capture, createWavFile, FORMAT, HarkwellError, listStreams, PlayingProcess, toWav, wavHeader,
} from 'harkwell';

async function recordFiveSeconds(pid: number): Promise<number> {
  const recording = capture({ pid, mode: 'include', signal: AbortSignal.timeout(5000) });
  const rate: 48000 = recording.format.sampleRate;
  let bytes = 0;
  for await (const chunk of recording) bytes += chunk.length;
  await recording.done;
  const status: number | null = await recording.stop(1000);
  return bytes / FORMAT.bytesPerFrame / rate + (status ?? 0);
}

async function firstRoot(): Promise<number | undefined> {
  const rows: PlayingProcess[] = await listStreams();
  const active = rows.find((row) => row.state === 'active');
  return active?.root;
}

async function toFile(pid: number): Promise<void> {
  try {
    await pipeline(capture({ pid }), createWavFile('out.wav'));
  } catch (error) {
    if (error instanceof HarkwellError) console.error(error.status, error.toolMessage);
  }
  const header: Buffer = wavHeader(0);
  const stream = capture({ pid, mode: 'exclude' }).pipe(toWav());
  stream.destroy();
  console.log(header.length);
}

// The declarations reject what the package would reject.
function misuse(): void {
  // @ts-expect-error: a mode is "include" or "exclude"
  capture({ pid: 1, mode: 'sideways' });
  // @ts-expect-error: the pid is required
  capture({ mode: 'include' });
  // @ts-expect-error: rows are typed
  listStreams().then((rows) => rows[0].pidd);
}

export { misuse, recordFiveSeconds, firstRoot, toFile };
