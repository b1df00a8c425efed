'use strict';
// WAV files and streams of harkwell's PCM.

const fs = require('node:fs');
const { Transform, Writable } = require('node:stream');
const { FORMAT } = require('./format.js');

const HEADER_BYTES = 44;
const MAX_CHUNK = 0xffffffff;

/**
 * The 44-byte header of a PCM WAV file of harkwell's format holding
 * `dataBytes` of audio. Without a length (a stream whose end is not known
 * yet), the sizes are the largest a WAV file can state.
 */
function wavHeader(dataBytes = MAX_CHUNK - (HEADER_BYTES - 8)) {
  const header = Buffer.alloc(HEADER_BYTES);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(Math.min(MAX_CHUNK, dataBytes + HEADER_BYTES - 8), 4);
  header.write('WAVE', 8, 'ascii');
  header.write('fmt ', 12, 'ascii');
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20); // integer PCM
  header.writeUInt16LE(FORMAT.channels, 22);
  header.writeUInt32LE(FORMAT.sampleRate, 24);
  header.writeUInt32LE(FORMAT.sampleRate * FORMAT.bytesPerFrame, 28);
  header.writeUInt16LE(FORMAT.bytesPerFrame, 32);
  header.writeUInt16LE(FORMAT.bitsPerSample, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(Math.min(MAX_CHUNK, dataBytes), 40);
  return header;
}

/**
 * A Writable that stores the PCM written to it as a WAV file at `path`; the
 * header's sizes are set when the stream finishes.
 */
function createWavFile(path) {
  let file = null;
  let dataBytes = 0;
  return new Writable({
    construct(callback) {
      fs.promises.open(path, 'w').then(async (handle) => {
        file = handle;
        await file.write(wavHeader(0));
      }).then(() => callback(), callback);
    },
    write(chunk, _encoding, callback) {
      file.write(chunk).then(() => {
        dataBytes += chunk.length;
        callback();
      }, callback);
    },
    final(callback) {
      file.write(wavHeader(dataBytes), 0, HEADER_BYTES, 0).then(() => callback(), callback);
    },
    destroy(error, callback) {
      if (file === null) {
        callback(error);
        return;
      }
      file.close().then(() => callback(error), (closeError) => callback(error || closeError));
    },
  });
}

/**
 * A Transform from PCM to a WAV stream (to a socket or a pipe, which cannot be
 * rewound): the header comes first and states the largest sizes.
 */
function toWav() {
  let headerSent = false;
  return new Transform({
    transform(chunk, _encoding, callback) {
      if (!headerSent) {
        headerSent = true;
        this.push(wavHeader());
      }
      callback(null, chunk);
    },
    flush(callback) {
      if (!headerSent) this.push(wavHeader());
      callback();
    },
  });
}

module.exports = { wavHeader, createWavFile, toWav };
