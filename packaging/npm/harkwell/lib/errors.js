'use strict';
// The errors of a run of the executables, worded once for the API and the
// commands.

// The dynamic loader's words when a shared library the executable needs is
// not installed (Linux), and its exit status then.
const MISSING_LIBRARY = /error while loading shared libraries: ([^:\s]+)/;
const LOADER_STATUS = 127;

/** A run of harkwell or harkwell-list that ended with a failure. */
class HarkwellError extends Error {
  constructor(message, { status = null, signal = null, toolMessage = '' } = {}) {
    super(message);
    this.name = 'HarkwellError';
    this.status = status; // the exit status, 1 or 2 (null when killed)
    this.signal = signal; // the signal that ended it, if one did
    this.toolMessage = toolMessage; // the line the executable wrote on stderr
  }
}

/** The error of an executable that ended with `status` (or `signal`). */
function exitFailure(program, status, signal, stderr) {
  const toolMessage = stderr.trim();
  const library = status === LOADER_STATUS && MISSING_LIBRARY.exec(toolMessage);
  if (library) {
    return new HarkwellError(`${program} cannot start: the shared library ${library[1]} is ` +
      'missing. It needs the PipeWire client library (Debian, Ubuntu: apt install ' +
      'libpipewire-0.3-0) and a running PipeWire server.',
    { status, toolMessage });
  }
  const how = signal ? `was killed by ${signal}` : `exited with status ${status}`;
  return new HarkwellError(`${program} ${how}${toolMessage ? `: ${toolMessage}` : ''}`,
    { status, signal, toolMessage });
}

/** The error of an executable that could not be started at all. */
function startFailure(path, cause) {
  const error = new HarkwellError(`cannot start ${path}: ${cause.message}`);
  error.code = cause.code;
  return error;
}

module.exports = { HarkwellError, exitFailure, startFailure };
