'use strict';
// A running harkwell as a Readable of PCM Buffers.

const { spawn } = require('node:child_process');
const { Readable } = require('node:stream');
const { binaryPath } = require('./binary.js');
const { exitFailure, startFailure } = require('./errors.js');
const { FORMAT } = require('./format.js');

const MODES = ['include', 'exclude'];
const MAX_PID = 2147483647;
// One second of audio: what the stream holds for a consumer that falls
// behind before it stops reading from the tool (see the README's "Keeping up").
const DEFAULT_HIGH_WATER_MARK = FORMAT.sampleRate * FORMAT.bytesPerFrame;
const DEFAULT_STOP_TIMEOUT_MS = 10000;
const STDERR_LIMIT = 65536;

function checkArguments(pid, mode) {
  if (!Number.isInteger(pid) || pid < 1 || pid > MAX_PID) {
    throw new RangeError(`pid must be a process id, an integer from 1 to ${MAX_PID}; ` +
      `got ${JSON.stringify(pid)}`);
  }
  if (!MODES.includes(mode)) {
    throw new RangeError(`mode must be "include" or "exclude"; got ${JSON.stringify(mode)}`);
  }
}

class Capture extends Readable {
  constructor({ pid, mode = 'include', signal, highWaterMark = DEFAULT_HIGH_WATER_MARK,
    binary } = {}) {
    checkArguments(pid, mode);
    const path = binary || binaryPath('tool');
    super({ highWaterMark });
    this.format = FORMAT;
    this._draining = false; // set by stop(): read the tool's output whatever the consumer does
    this._stopTimer = null;
    this._ended = false; // the tool has exited (or never started)
    this._stderr = '';

    let settle;
    this._exit = new Promise((resolve) => { settle = resolve; });
    this.done = this._exit.then(({ error }) => {
      if (error) throw error;
    });
    // The stream reports the failure too; a caller may listen to either.
    this.done.catch(() => {});

    const child = spawn(path, [String(pid), mode], { windowsHide: true });
    this._child = child;
    child.once('error', (error) => settle({ error: startFailure(path, error) }));
    child.once('close', (status, killedBy) => {
      const error = status === 0 ? null : exitFailure('harkwell', status, killedBy, this._stderr);
      settle({ error });
    });
    child.stdin.on('error', () => {}); // the tool may be gone when stdin closes
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      if (this._stderr.length < STDERR_LIMIT) this._stderr += text;
    });
    child.stdout.on('data', (chunk) => {
      if (!this.push(chunk) && !this._draining) child.stdout.pause();
    });
    this._exit.then(({ error }) => {
      this._ended = true;
      clearTimeout(this._stopTimer);
      if (signal) signal.removeEventListener('abort', this._onAbort);
      if (error) this.destroy(error);
      else this.push(null);
    });

    this._onAbort = () => { this.stop(); };
    if (signal) {
      if (signal.aborted) this.stop();
      else signal.addEventListener('abort', this._onAbort, { once: true });
    }
  }

  /** The process id of the running tool. */
  get toolPid() {
    return this._child.pid;
  }

  _read() {
    this._child.stdout.resume();
  }

  /**
   * Closes the tool's stdin, which stops the capture. Resolves with the exit
   * status once the tool has ended; one that has not ended within `timeoutMs`
   * is killed (and `done` rejects).
   */
  stop(timeoutMs = DEFAULT_STOP_TIMEOUT_MS) {
    if (!this._draining) {
      this._draining = true;
      // The tool may be waiting to write: keep reading so that it can end.
      this._child.stdout.resume();
      this._child.stdin.end();
      this._stopTimer = setTimeout(() => this._child.kill('SIGKILL'), timeoutMs);
      this._stopTimer.unref(); // the running tool keeps the process alive by itself
    }
    return this._exit.then(() => this._child.exitCode);
  }

  _destroy(error, callback) {
    // A consumer that gives up (break in for await, a failed pipeline) ends
    // the tool as well.
    if (!this._ended) this.stop();
    callback(error);
  }
}

/**
 * Starts recording: the audio of the process tree rooted at `pid`
 * (mode "include") or of everything else (mode "exclude").
 */
function capture(options) {
  return new Capture(options);
}

module.exports = { capture, Capture };
