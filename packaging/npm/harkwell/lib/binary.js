'use strict';
// Finds the executables of this platform: in the platform's package, which
// npm installs as an optional dependency, or where an environment variable
// says. Every way they can be missing has an error of its own.

const fs = require('node:fs');

// The platform packages: one per operating system, processor and C library.
const PLATFORM_PACKAGES = [
  { platform: 'linux', arch: 'x64', libc: 'glibc', name: '@harkwell/linux-x64',
    executables: { tool: 'harkwell', lister: 'harkwell-list' } },
  { platform: 'win32', arch: 'x64', libc: null, name: '@harkwell/win32-x64',
    executables: { tool: 'Harkwell.exe', lister: 'Harkwell-list.exe' } },
];

// Names an executable outside the packages (a build of one's own).
const OVERRIDE_VARIABLES = { tool: 'HARKWELL_BINARY', lister: 'HARKWELL_LIST_BINARY' };

function hostLibc() {
  if (process.platform !== 'linux') return null;
  const header = process.report.getReport().header;
  return header.glibcVersionRuntime ? 'glibc' : 'musl';
}

// What the search depends on; tests pass another platform in `host`.
function currentHost() {
  return {
    platform: process.platform,
    arch: process.arch,
    libc: hostLibc(),
    env: process.env,
    resolve: (request) => require.resolve(request),
  };
}

function describe(platform, arch, libc) {
  return libc ? `${platform}-${arch} (${libc})` : `${platform}-${arch}`;
}

function supported() {
  return PLATFORM_PACKAGES.map((entry) => describe(entry.platform, entry.arch, entry.libc))
    .join(' and ');
}

function resolvable(host, request) {
  try {
    host.resolve(request);
    return true;
  } catch {
    return false;
  }
}

function fromOverride(which, host) {
  const variable = OVERRIDE_VARIABLES[which];
  const path = host.env[variable];
  if (!path) return null;
  if (!fs.existsSync(path)) {
    throw new Error(`${variable} names ${path}, which does not exist`);
  }
  return path;
}

/**
 * The path of an executable: `which` is 'tool' (harkwell) or 'lister'
 * (harkwell-list). Throws an Error that says what to do when it is missing.
 */
function binaryPath(which = 'tool', host = currentHost()) {
  if (!(which in OVERRIDE_VARIABLES)) throw new TypeError(`unknown executable ${which}`);
  const override = fromOverride(which, host);
  if (override) return override;

  const here = describe(host.platform, host.arch, host.libc);
  const entry = PLATFORM_PACKAGES.find((candidate) => candidate.platform === host.platform &&
    candidate.arch === host.arch && (candidate.libc === null || candidate.libc === host.libc));
  if (!entry) {
    throw new Error(`harkwell has no executable for ${here}; it ships for ${supported()}. ` +
      `Build it from source and set ${OVERRIDE_VARIABLES[which]} to its path.`);
  }
  try {
    return host.resolve(`${entry.name}/bin/${entry.executables[which]}`);
  } catch {
    // Below: why the platform's package is missing.
  }
  const foreign = PLATFORM_PACKAGES.find((other) => other !== entry &&
    resolvable(host, `${other.name}/package.json`));
  if (foreign) {
    throw new Error(`harkwell found ${foreign.name} but this machine is ${here}, which needs ` +
      `${entry.name}. The node_modules folder was installed for another platform (copied ` +
      'from another machine, or installed with --os or --cpu); run npm install again here.');
  }
  throw new Error(`harkwell needs the package ${entry.name} for ${here}, and it is not ` +
    'installed. npm installs it as an optional dependency of harkwell: install again ' +
    `without --omit=optional or --no-optional, or add ${entry.name} to your dependencies.`);
}

module.exports = { binaryPath, OVERRIDE_VARIABLES, PLATFORM_PACKAGES };
