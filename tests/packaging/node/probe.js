'use strict';
// Drives the installed harkwell package through its public API, one case per
// command, and prints what it saw as one JSON line. Run from the folder of a
// project that installed the package:
//
//   node probe.js <command> [arguments...]

const fs = require('node:fs');
const { createRequire } = require('node:module');
const { pipeline } = require('node:stream/promises');
const harkwell = require('harkwell');

function describeError(error) {
  return { name: error.name, message: error.message, status: error.status,
    toolMessage: error.toolMessage };
}

const commands = {
  // Records for `seconds`, stopped by stop(), into a WAV file.
  async record(pid, mode, seconds, wavPath) {
    const recording = harkwell.capture({ pid: Number(pid), mode });
    const stopped = new Promise((resolve) => {
      setTimeout(() => resolve(recording.stop()), Number(seconds) * 1000);
    });
    await pipeline(recording, harkwell.createWavFile(wavPath));
    await recording.done;
    return { status: await stopped, format: recording.format };
  },

  // Reads with for await until an aborted signal stops the capture; the PCM
  // goes into a file.
  async abort(pid, mode, seconds, pcmPath) {
    const controller = new AbortController();
    setTimeout(() => controller.abort(), Number(seconds) * 1000);
    const recording = harkwell.capture({ pid: Number(pid), mode, signal: controller.signal });
    const chunks = [];
    for await (const chunk of recording) chunks.push(chunk);
    await recording.done;
    fs.writeFileSync(pcmPath, Buffer.concat(chunks));
    return { aborted: controller.signal.aborted, chunksAreBuffers: chunks.every(Buffer.isBuffer) };
  },

  // The error of each bad argument, thrown before anything starts.
  async badArguments() {
    const cases = [{ pid: 'abc' }, { pid: 0 }, { pid: 1.5 }, { pid: 2 ** 31 },
      { pid: 1, mode: 'sideways' }];
    return cases.map((options) => {
      try {
        harkwell.capture(options).stop();
        return { started: options };
      } catch (error) {
        return describeError(error);
      }
    });
  },

  // A capture the tool fails: `done` rejects, and the stream reports the same error.
  async failure(pid) {
    const recording = harkwell.capture({ pid: Number(pid) });
    const streamError = new Promise((resolve) => recording.once('error', resolve));
    recording.resume();
    const error = await recording.done.then(() => null, (rejected) => rejected);
    if (error === null) return { resolved: true };
    return { ...describeError(error), isHarkwellError: error instanceof harkwell.HarkwellError,
      streamReportsIt: (await streamError) === error };
  },

  // A tool that does not end when its stdin closes is killed after the time given.
  async stuck(timeoutMs) {
    const recording = harkwell.capture({ pid: 1 });
    recording.on('error', () => {});
    recording.resume();
    const status = await recording.stop(Number(timeoutMs));
    const error = await recording.done.then(() => null, (rejected) => rejected);
    return { status, ...describeError(error) };
  },

  // A capture that cannot start: the error capture() throws.
  async startError() {
    try {
      harkwell.capture({ pid: 1 }).stop();
      return { started: true };
    } catch (error) {
      return describeError(error);
    }
  },

  async list() {
    return harkwell.listStreams();
  },

  // The executables the package finds for another platform, injected.
  async resolve(platform, arch, libc) {
    const packageRequire = createRequire(require.resolve('harkwell'));
    const { binaryPath } = packageRequire('./binary.js');
    const host = { platform, arch, libc: libc || null, env: {},
      resolve: (request) => packageRequire.resolve(request) };
    try {
      return { tool: binaryPath('tool', host), lister: binaryPath('lister', host) };
    } catch (error) {
      return describeError(error);
    }
  },
};

const [name, ...args] = process.argv.slice(2);
commands[name](...args).then(
  (result) => { console.log(JSON.stringify(result)); },
  (error) => { console.log(JSON.stringify({ unexpected: error.stack })); process.exitCode = 1; },
);
