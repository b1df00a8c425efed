'use strict';

/** The one format harkwell writes: signed 16-bit little-endian, 2 channels, 48 kHz. */
const FORMAT = Object.freeze({
  encoding: 's16le',
  sampleRate: 48000,
  channels: 2,
  bitsPerSample: 16,
  bytesPerFrame: 4,
});

module.exports = { FORMAT };
