#!/usr/bin/env node
// Records the audio of a process tree into a WAV file, with the harkwell
// package (npm install harkwell).
//
//   node record-wav.js <pid> <include|exclude> <seconds> <out.wav>
//
// HARKWELL_BINARY names an executable of your own build in place of the
// package's.
'use strict';

const { pipeline } = require('node:stream/promises');
const { capture, createWavFile, FORMAT } = require('harkwell');

async function main() {
  const [pid, mode, seconds, outPath] = process.argv.slice(2);
  if (outPath === undefined || !(Number(seconds) >= 0)) {
    console.error('usage: node record-wav.js <pid> <include|exclude> <seconds> <out.wav>');
    return 2;
  }

  // The signal stops the capture after the time asked, as stop() would.
  const recording = capture({ pid: Number(pid), mode,
    signal: AbortSignal.timeout(Number(seconds) * 1000) });
  let dataBytes = 0;
  // pipeline() stops reading while the file falls behind; past the stream's
  // buffer the tool then waits to write, so a consumer has to keep up.
  await pipeline(recording, async function* (chunks) {
    for await (const chunk of chunks) {
      dataBytes += chunk.length;
      yield chunk;
    }
  }, createWavFile(outPath));

  const duration = dataBytes / FORMAT.bytesPerFrame / FORMAT.sampleRate;
  console.log(`wrote ${duration.toFixed(2)} s of audio to ${outPath}`);
  return 0;
}

main().then(
  (code) => { process.exitCode = code; },
  // A HarkwellError says how the tool ended and what it wrote on stderr.
  (error) => { console.error(error.message); process.exitCode = 1; },
);
