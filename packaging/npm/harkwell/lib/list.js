'use strict';
// The processes that play audio now, from `harkwell-list --json`.

const { execFile } = require('node:child_process');
const { binaryPath } = require('./binary.js');
const { exitFailure, startFailure } = require('./errors.js');

// The lister answers or gives up within 10 seconds of its own.
const LIST_TIMEOUT_MS = 30000;

/**
 * Resolves to one row per process that plays now: { pid, root, state, name,
 * application } (application on Linux only). Pass `root` to capture().
 */
function listStreams({ binary } = {}) {
  const path = binary || binaryPath('lister');
  return new Promise((resolve, reject) => {
    execFile(path, ['--json'], { windowsHide: true, timeout: LIST_TIMEOUT_MS,
      killSignal: 'SIGKILL', maxBuffer: 16 * 1024 * 1024 },
    (error, stdout, stderr) => {
      if (error && typeof error.code === 'string') {
        reject(startFailure(path, error));
      } else if (error) {
        reject(exitFailure('harkwell-list', error.code, error.signal, stderr));
      } else {
        resolve(stdout.split('\n').filter((line) => line.trim() !== '')
          .map((line) => JSON.parse(line)));
      }
    });
  });
}

module.exports = { listStreams };
