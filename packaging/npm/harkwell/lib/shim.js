'use strict';
// The `harkwell` and `harkwell-list` commands of this package: run the
// platform's executable with this process's standard streams and arguments,
// and end with its exit status.

const { spawnSync } = require('node:child_process');
const { binaryPath } = require('./binary.js');
const { startFailure } = require('./errors.js');

function run(which) {
  let path;
  try {
    path = binaryPath(which);
  } catch (error) {
    console.error(error.message);
    process.exit(1);
  }
  const result = spawnSync(path, process.argv.slice(2), { stdio: 'inherit', windowsHide: true });
  if (result.error) {
    console.error(startFailure(path, result.error).message);
    process.exit(1);
  }
  if (result.signal) {
    // Die the same way, so that the caller sees the signal too.
    process.kill(process.pid, result.signal);
  }
  process.exit(result.status);
}

module.exports = { run };
