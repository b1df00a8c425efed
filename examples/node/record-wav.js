#!/usr/bin/env node
// Records the audio of a process tree into a WAV file.
//
//   node record-wav.js <pid> <include|exclude> <seconds> <out.wav>
//
// HARKWELL is the command that starts the tool (default: Harkwell.exe): a
// command line split on blanks, e.g. "wine /opt/harkwell/Harkwell.exe", or a
// JSON array for paths with spaces, e.g. ["C:\\Program Files\\Harkwell\\Harkwell.exe"].
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const { pipeline } = require('node:stream/promises');

const CHANNELS = 2;
const SAMPLE_RATE = 48000;
const BITS = 16;
const BLOCK_ALIGN = (CHANNELS * BITS) / 8;

function wavHeader(dataBytes) {
  const header = Buffer.alloc(44);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + dataBytes, 4);
  header.write('WAVE', 8, 'ascii');
  header.write('fmt ', 12, 'ascii');
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20); // PCM
  header.writeUInt16LE(CHANNELS, 22);
  header.writeUInt32LE(SAMPLE_RATE, 24);
  header.writeUInt32LE(SAMPLE_RATE * BLOCK_ALIGN, 28);
  header.writeUInt16LE(BLOCK_ALIGN, 32);
  header.writeUInt16LE(BITS, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(dataBytes, 40);
  return header;
}

function toolCommand() {
  const text = (process.env.HARKWELL || 'Harkwell.exe').trim();
  return text.startsWith('[') ? JSON.parse(text) : text.split(/\s+/);
}

async function main() {
  const [pid, mode, seconds, outPath] = process.argv.slice(2);
  if (outPath === undefined || !(Number(seconds) >= 0)) {
    console.error('usage: node record-wav.js <pid> <include|exclude> <seconds> <out.wav>');
    return 2;
  }

  const [command, ...prefix] = toolCommand();
  const tool = spawn(command, [...prefix, pid, mode], { windowsHide: true });
  const exited = new Promise((resolve, reject) => {
    tool.once('error', reject); // the tool could not be started at all
    tool.once('close', (code, signal) => resolve({ code, signal }));
  });

  let stderr = '';
  tool.stderr.setEncoding('utf8');
  tool.stderr.on('data', (text) => { stderr += text; });

  // Closing stdin is the stop signal. The tool may already have ended, so a
  // broken pipe here is expected and harmless.
  tool.stdin.on('error', () => {});
  const stop = () => tool.stdin.end();
  const timer = setTimeout(stop, Number(seconds) * 1000);

  // The header is written with a zero length first and patched at the end.
  const out = fs.createWriteStream(outPath);
  out.write(wavHeader(0));
  let dataBytes = 0;
  let status;
  try {
    // pipeline() stops reading while the file falls behind; the tool then
    // waits in its write, so a consumer has to keep up with real time.
    [, status] = await Promise.all([
      pipeline(tool.stdout, async function* (chunks) {
        for await (const chunk of chunks) {
          dataBytes += chunk.length;
          yield chunk;
        }
      }, out),
      exited,
    ]);
  } finally {
    clearTimeout(timer);
    stop();
  }

  const file = await fs.promises.open(outPath, 'r+');
  await file.write(wavHeader(dataBytes), 0, 44, 0);
  await file.close();

  const message = stderr.trim();
  if (status.code !== 0) {
    const how = status.signal ? `was killed by ${status.signal}` : `exited with status ${status.code}`;
    console.error(`Harkwell ${how}${message ? `: ${message}` : ''}`);
    return 1;
  }
  if (message) console.error(message);
  const duration = dataBytes / BLOCK_ALIGN / SAMPLE_RATE;
  console.log(`wrote ${duration.toFixed(2)} s of audio to ${outPath}`);
  return 0;
}

main().then(
  (code) => { process.exitCode = code; },
  (error) => { console.error(error.message); process.exitCode = 1; },
);
