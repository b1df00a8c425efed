'use strict';
// harkwell: record the audio one process tree plays, or everything else,
// as raw PCM (see FORMAT).

const { binaryPath } = require('./binary.js');
const { capture, Capture } = require('./capture.js');
const { HarkwellError } = require('./errors.js');
const { FORMAT } = require('./format.js');
const { listStreams } = require('./list.js');
const { wavHeader, createWavFile, toWav } = require('./wav.js');

module.exports = {
  capture, Capture, listStreams, FORMAT, HarkwellError, binaryPath, wavHeader, createWavFile, toWav,
};
