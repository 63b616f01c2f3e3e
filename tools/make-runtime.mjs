#!/usr/bin/env node
// Writes a complete test runtime tree: every file a runtime inventory requires
// and every file of the foreground closure, a static user interface, a broker
// and a seal script that run on this machine's Node, and beside them
// mac-broker-inventory.json (digests and sizes of every file) and
// runtime-manifest.json.
//
//   node tools/make-runtime.mjs --out DIR [--version 1.0.0] [--broker ok]
//                               [--seal ok] [--launcher sh] [--node PATH]
//                               [--account-report DIR]
//                               [--archive FILE [--hostile KIND]] [--modules N]
//                               [--large-asset BYTES]
//
// --broker  ok           reads descriptors 0 and 3, writes its report and its
//                        readiness line to descriptor 4, keeps running
//           split        the line in two writes, 50 ms apart
//           trailing     the line and more text in one write
//           extra-key    a third key in the proof
//           daemon-pid   the parent's process id in the proof
//           lower-case   the generation in lower case
//           silent       never writes, keeps running
//           close        closes descriptor 4, keeps running
//           flood        5000 spaces and no line feed, keeps running
//           exit-before  exits (status 3) without writing
//           exit-after   exits; a helper process that inherited descriptor 4
//                        writes the line as soon as the broker can be collected
//           snoop        as ok, and leaves a process in a session of its own
//                        that opens descriptor 3 of every later process of its
//                        account and names it in "snooped" in the state directory
//           crowd        as ok, and leaves such a process that keeps its
//                        account at the process limit
//           setid        as ok, after trying to make set-user-id and
//                        set-group-id files in the state directory (chmod,
//                        fchmod, open, mkdir): the error code of each try, or
//                        "made", under "setid" in its report
//           chain        as ok, and leaves a chain of Perl processes, each
//                        of which writes the system's uptime to
//                        /var/tmp/vela-chain-PID (PID: the broker's), forks
//                        its successor and exits
// --seal    ok           checks the document on standard input, writes its
//                        report under the state directory, exits 0
//           fail         exits 1 · signal: dies by SIGKILL · hang: never exits
// --launcher sh          host/node/bin/node is a /bin/sh wrapper that execs
//                        Node (the shell adds PWD and reorders the environment);
//                        for the broker it first records its blocked and ignored
//                        signals in "signals" in the state directory
//           direct       host/node/bin/node is a Node script that runs the
//                        program in its own process: environment and command
//                        line exactly as started
//
// --archive FILE         also writes the tree as a client sends it: a gzip tar
//                        whose one top directory is the tree's own name; prints
//                        {"archiveBytes", "archiveSha256"} for the manifest
// --hostile dotdot       adds a member whose name climbs out with ".."
//           absolute     adds members with absolute names: "/etc/NAME", and
//                        "TOP//etc/NAME", absolute once TOP is stripped
//           symlink      adds a link TOP/hostile-link to /etc and a member
//                        written through it
//           hardlink     replaces release/RELEASE.txt with a hard link to
//                        /etc/passwd (absolute once TOP is stripped)
//           device       replaces release/RELEASE.txt with /dev/null's device
//                        (tar makes it only when run by root)
//
// --modules N            adds N module files of 2 to 8 KiB of hexadecimal text
//                        under host/app/node_modules/vela-filler-*/, for
//                        runtimes as large as real ones (about 5 KiB each)
// --large-asset BYTES    adds host/app/client/dist/assets/large.js of BYTES
//                        spaces, for static assets as large as the
//                        foreground serves
//
// The account script (host/app/packaging/macos/install-vela-broker.sh), with
// VELA_BROKER_PREPARE_ONLY=1, makes the service account _velabroker and the
// groups _velabroker, _velaagent and _velacontrol where missing (ids from 499
// down). Whatever its
// mode, it copies its environment and command line (NUL-separated, as
// started) and its working directory into the --account-report directory
// (default /private/vela-test/account-script).
//
// Both programs record what they were started with (identity, groups,
// limits, descriptors, environment, command line, digests of their inputs) in
// broker-report.json and seal-report.json in the state directory.
import { execFileSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';
import zlib from 'node:zlib';

const BROKERS = ['ok', 'split', 'trailing', 'extra-key', 'daemon-pid', 'lower-case', 'silent', 'close', 'flood',
  'exit-before', 'exit-after', 'snoop', 'crowd', 'setid', 'chain'];
const SEALS = ['ok', 'fail', 'signal', 'hang'];
const LAUNCHERS = ['sh', 'direct'];
const HOSTILE = ['none', 'dotdot', 'absolute', 'symlink', 'hardlink', 'device'];

const { values: options } = parseArgs({
  options: {
    out: { type: 'string' },
    version: { type: 'string', default: '1.0.0' },
    broker: { type: 'string', default: 'ok' },
    seal: { type: 'string', default: 'ok' },
    launcher: { type: 'string', default: 'sh' },
    node: { type: 'string', default: process.execPath },
    'account-report': { type: 'string', default: '/private/vela-test/account-script' },
    archive: { type: 'string' },
    hostile: { type: 'string', default: 'none' },
    modules: { type: 'string', default: '0' },
    'large-asset': { type: 'string', default: '0' },
  },
});

function refuse(message) {
  process.stderr.write(`make-runtime: ${message}\n`);
  process.exit(2);
}
if (!options.out) refuse('--out DIR is required');
for (const [name, allowed] of [['broker', BROKERS], ['seal', SEALS], ['launcher', LAUNCHERS], ['hostile', HOSTILE]]) {
  if (!allowed.includes(options[name])) refuse(`--${name} must be one of ${allowed.join(', ')}`);
}
for (const name of ['node', 'account-report']) {
  if (options[name].includes("'")) refuse(`--${name} must not contain a quotation mark`);
}
if (options.hostile !== 'none' && !options.archive) refuse('--hostile needs --archive');

// ---- programs of the runtime ----

const launchers = {
  sh: () => `#!/bin/sh
[ -z "$VELA_PROTECTED_STATE_DIR" ] || while read -r k v; do case $k in Sig[BI]*) echo "$k $v";; esac
done < /proc/self/status > "$VELA_PROTECTED_STATE_DIR/signals"
exec '${options.node}' "$@"
`,
  direct: () => `#!${options.node}
// Runs the program named after Node's options in this process.
'use strict';
const args = process.argv.slice(2);
const at = args.findIndex((a) => !a.startsWith('-'));
const program = args[at];
process.argv = [process.execPath, ...args.slice(at)];
if (program.endsWith('.mjs')) import(require('node:url').pathToFileURL(program).href);
else require(program);
`,
};

// Records how it was started; in prepare-only mode also makes the service
// account and its groups, each with the highest free id from 499 down: clear
// of the broker ids 200 to 299 that the root tests take from their lock file
// (tests/support/sandbox_accounts.hpp), since the kernel counts a user's
// processes across sandboxes.
const accountScript = `#!/bin/sh
set -eu
report='${options['account-report']}'
mkdir -p "$report"
cat /proc/$$/environ > "$report/environ"
cat /proc/$$/cmdline > "$report/cmdline"
readlink /proc/$$/cwd > "$report/cwd"
[ "\${VELA_BROKER_PREPARE_ONLY:-}" = 1 ] || exit 0

free_id() {
  id=499
  while getent "$1" "$id" >/dev/null; do id=$((id - 1)); done
  [ "$id" -ge 200 ] && echo "$id"
}
for group in _velabroker _velaagent _velacontrol; do
  getent group "$group" >/dev/null || groupadd -g "$(free_id group)" "$group"
done
getent passwd _velabroker >/dev/null ||
  useradd -r -M -u "$(free_id passwd)" -g _velabroker -s /usr/bin/false -d /var/empty _velabroker
`;

// Shared by the broker and the seal script.
const handlers = `'use strict';
// What this process was started with, as the test runtime reports it.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

function nulList(file) {
  return fs.readFileSync(file, 'latin1').split('\\0').slice(0, -1);
}

function limits() {
  const out = {};
  for (const line of fs.readFileSync('/proc/self/limits', 'latin1').split('\\n').slice(1)) {
    const m = /^(Max [a-z ]+?)\\s{2,}(\\S+)\\s+(\\S+)/.exec(line);
    if (m) out[m[1]] = [m[2], m[3]];
  }
  return out;
}

function descriptors() {
  const out = {};
  for (const fd of fs.readdirSync('/proc/self/fd')) {
    try {
      const flags = /flags:\\s+(\\d+)/.exec(fs.readFileSync(\`/proc/self/fdinfo/\${fd}\`, 'latin1'));
      out[fd] = { target: fs.readlinkSync(\`/proc/self/fd/\${fd}\`), flags: flags ? flags[1] : '' };
    } catch {
      // the directory's own descriptor, gone by now
    }
  }
  return out;
}

function digest(bytes) {
  return { bytes: bytes.length, sha256: crypto.createHash('sha256').update(bytes).digest('hex') };
}

function processReport() {
  return {
    pid: process.pid,
    ppid: process.ppid,
    uid: process.getuid(),
    euid: process.geteuid(),
    gid: process.getgid(),
    egid: process.getegid(),
    groups: process.getgroups(),
    cwd: process.cwd(),
    argv: nulList('/proc/self/cmdline'),
    environ: nulList('/proc/self/environ'),
    limits: limits(),
    fds: descriptors(),
  };
}

// Written whole under a temporary name, then renamed into place.
function report(directory, name, extra) {
  const file = path.join(directory, name);
  fs.writeFileSync(\`\${file}.tmp\`, JSON.stringify({ ...processReport(), ...extra }));
  fs.renameSync(\`\${file}.tmp\`, file);
}

module.exports = { digest, report };
`;

const broker = `'use strict';
// The test broker: takes its activation key (0) and launch authority (3),
// reports what it received, and proves readiness on 4.
const childProcess = require('node:child_process');
const fs = require('node:fs');
const { digest, report } = require('./handlers.js');

const behaviour = ${JSON.stringify(options.broker)};
const inputs = { 0: digest(fs.readFileSync(0)), 3: digest(fs.readFileSync(3)) };
const stateDir = process.env.VELA_PROTECTED_STATE_DIR;

// Each way to a set-id file: the error code that stopped it, or "made".
function setId() {
  const file = stateDir + '/setid';
  fs.writeFileSync(file, '');
  const tries = {
    chmod: () => fs.chmodSync(file, 0o4755),
    fchmod: () => {
      const fd = fs.openSync(file, 'r');
      try {
        fs.fchmodSync(fd, 0o2755);
      } finally {
        fs.closeSync(fd);
      }
    },
    open: () => fs.openSync(stateDir + '/setid-open', 'wx', 0o4755),
    mkdir: () => fs.mkdirSync(stateDir + '/setid-mkdir', 0o2755),
  };
  const outcome = {};
  for (const [name, attempt] of Object.entries(tries)) {
    try {
      attempt();
      outcome[name] = 'made';
    } catch (error) {
      outcome[name] = error.code;
    }
  }
  return outcome;
}

report(stateDir, 'broker-report.json', behaviour === 'setid' ? { inputs, setid: setId() } : { inputs });

const proof = { generation: process.env.VELA_MAC_BROKER_GENERATION, pid: process.pid };
if (behaviour === 'extra-key') proof.extra = true;
if (behaviour === 'daemon-pid') proof.pid = Number(process.env.VELA_MAC_BROKER_PARENT_PID);
if (behaviour === 'lower-case') proof.generation = proof.generation.toLowerCase();
const line = JSON.stringify(proof) + '\\n';
const write = (text) => fs.writeSync(4, text);
const stay = () => setInterval(() => {}, 1 << 30);

// Run in a helper process that holds descriptor 4: writes the line once the
// broker can be collected, that is once its last thread is gone and it is a
// zombie (its children are handed on before that, so a new parent is no sign).
function afterExit(broker, line) {
  const fs = require('node:fs');
  const collectable = () => {
    try {
      const stat = fs.readFileSync('/proc/' + broker + '/stat', 'latin1');
      return fs.readdirSync('/proc/' + broker + '/task').length === 1 && stat.slice(stat.lastIndexOf(')') + 2)[0] === 'Z';
    } catch {
      return true;  // collected already
    }
  };
  process.stdout.write('waiting\\n');
  setInterval(() => {
    if (collectable()) {
      fs.writeSync(4, line);
      process.exit(0);
    }
  }, 1);
}

// Run in a process the broker leaves behind (see --broker snoop and crowd).
function survivor(behaviour, broker, stateDir) {
  const fs = require('node:fs');
  const uid = process.getuid();
  const snoop = () => {
    for (const pid of fs.readdirSync('/proc')) {
      if (!/^[0-9]+$/.test(pid) || pid === broker || Number(pid) === process.pid) continue;
      try {
        if (fs.statSync('/proc/' + pid).uid !== uid) continue;
        fs.closeSync(fs.openSync('/proc/' + pid + '/fd/3', 'r'));
        fs.writeFileSync(stateDir + '/snooped', pid);
      } catch {
        // not the account's, or gone
      }
    }
  };
  const crowd = () => require('node:child_process').spawn('/bin/sleep', ['1000'], { stdio: 'ignore' })
    .on('error', () => {});
  setInterval(behaviour === 'snoop' ? snoop : crowd, 2);
}

// The chain (--broker chain): each link writes the uptime over the start of
// the log, forks the next and exits, as fast as Perl's fork goes (both files
// are opened once, by the first).
const chainLink = 'open(my $u, "<", "/proc/uptime") && open(my $log, ">", $ARGV[0]) || exit 1; ' +
  'while (1) { sysseek($u, 0, 0); sysread($u, my $text, 64); sysseek($log, 0, 0); ' +
  'syswrite($log, sprintf("%14s", (split / /, $text)[0])); fork and exit }';

switch (behaviour) {
  case 'chain':
    childProcess.spawn('/usr/bin/perl', ['-e', chainLink, '/var/tmp/vela-chain-' + process.pid],
      { detached: true, stdio: 'ignore' }).unref();
    write(line);
    stay();
    break;
  case 'snoop':
  case 'crowd':
    childProcess.spawn(process.execPath, ['-e', '(' + survivor + ')(...process.argv.slice(1))', behaviour,
      String(process.pid), stateDir], { detached: true, stdio: 'ignore' }).unref();
    write(line);
    stay();
    break;
  case 'split':
    write(line.slice(0, 20));
    setTimeout(() => write(line.slice(20)), 50);
    stay();
    break;
  case 'trailing':
    write(line + 'more');
    stay();
    break;
  case 'silent':
    stay();
    break;
  case 'close':
    fs.closeSync(4);
    stay();
    break;
  case 'flood':
    write(' '.repeat(5000));
    stay();
    break;
  case 'exit-before':
    process.exit(3);
    break;
  case 'exit-after': {
    const helper = childProcess.spawn(process.execPath,
      ['-e', '(' + afterExit + ')(...process.argv.slice(1))', String(process.pid), line],
      { stdio: ['ignore', 'pipe', 'ignore', 'ignore', 4] });
    helper.stdout.once('data', () => process.exit(0));
    break;
  }
  default:
    write(line);
    stay();
}
`;

const seal = `// The test seal script: checks the activation document on standard input
// and records it under the state directory.
import fs from 'node:fs';
import handlers from '../protected/broker/handlers.js';

const behaviour = ${JSON.stringify(options.seal)};
const raw = fs.readFileSync(0);
if (behaviour === 'fail') process.exit(1);
if (behaviour === 'signal') process.kill(process.pid, 'SIGKILL');
if (behaviour === 'hang') setInterval(() => {}, 1 << 30);
else {
  const keys = ['activationKey', 'packageDir', 'packageVaultKeyBase64', 'stateDir'];
  const doc = JSON.parse(raw.toString('utf8'));
  const sound = JSON.stringify(Object.keys(doc)) === JSON.stringify(keys) &&
    keys.every((k) => typeof doc[k] === 'string') &&
    fs.statSync(doc.packageDir).isDirectory() && fs.statSync(doc.stateDir).isDirectory();
  if (!sound) process.exit(2);
  handlers.report(doc.stateDir, 'seal-report.json', { document: handlers.digest(raw) });
}
`;

// ---- the tree ----

const text = (s) => Buffer.from(s, 'utf8');
const json = (v) => text(JSON.stringify(v, null, 2) + '\n');
const cjs = text("'use strict';\nmodule.exports = {};\n");
const esm = text('export {};\n');
const v = options.version;

// In inventory order: path, content, executable.
const files = [
  ['host/node/bin/node', text(launchers[options.launcher]()), true],
  ['host/app/package.json', json({ name: 'vela-host-app', version: v, private: true }), false],
  ['host/app/scripts/seal-protected-runtime.mjs', text(seal), false],
  ['host/app/packaging/macos/install-vela-broker.sh',
    text(accountScript), true],
  ['production-inventory.json', json({ runtime: 'vela-test-runtime', version: v }), false],
  ['host/app/protected/broker/index.js', text(broker), false],
  ['host/app/protected/broker/handlers.js', text(handlers), false],
  ['host/app/protected/broker/capability-profiles.json', json({ profiles: [] }), false],
  ['host/app/protected/protected-payloads.js', cjs, false],
  ['host/app/protected/protection-manifest.json', json({ payloads: [] }), false],
  ['host/app/protected/vault.bin', Buffer.from(Array.from({ length: 256 }, (_, i) => i)), false],
  ['host/app/protected/native/macos-peer.node', text('no native module in the test runtime\n'), false],
  ['foreground-runtime.json', json({ entry: 'host/app/client/dist/index.html' }), false],
  ['host/app/protected/server/index.js', cjs, false],
  ['host/app/protected/pty-service/index.js', cjs, false],
  ['host/app/client/dist/index.html', text('<!doctype html>\n<html><head><meta charset="utf-8"><title>Vela</title>' +
    '<link rel="stylesheet" href="assets/app.css"><link rel="icon" href="favicon.svg"></head>\n' +
    '<body><main id="app"></main><script type="module" src="assets/app.js"></script></body></html>\n'), false],
  ['host/app/client/dist/assets/app.js', text("document.getElementById('app').textContent = 'Vela';\n"), false],
  ['host/app/client/dist/assets/app.css', text('main { font-family: sans-serif; }\n'), false],
  ['host/app/client/dist/favicon.svg',
    text('<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 1 1"><rect width="1" height="1"/></svg>\n'), false],
  ['host/app/scripts/vela-protected-launcher.mjs', esm, false],
  ['host/app/scripts/vela-capability-proof-client.mjs', esm, false],
  ['host/app/public-capability-extensions/vela-capability-client.ts', esm, false],
  ['host/app/node_modules/vela-fixture-dep/package.json', json({ name: 'vela-fixture-dep', main: 'index.js' }), false],
  ['host/app/node_modules/vela-fixture-dep/index.js', cjs, false],
  ['host/agent-runtime/package.json', json({ name: 'vela-agent-runtime', version: v, private: true }), false],
  ['host/agent-runtime/node_modules/.bin/pi', text('#!/bin/sh\nexit 0\n'), true],
  ['host/agent-runtime/node_modules/vela-fixture-agent/package.json',
    json({ name: 'vela-fixture-agent', main: 'index.js' }), false],
  ['host/agent-runtime/node_modules/vela-fixture-agent/index.js', cjs, false],
  ['release/RELEASE.txt', text(`Vela test runtime ${v}\n`), false],
];

// Module sizes follow a fixed sequence, so that runtimes of one size compare.
let seed = 42;
for (let i = 0; i < Number(options.modules); i++) {
  seed = (seed * 1103515245 + 12345) % 2147483648;
  files.push([`host/app/node_modules/vela-filler-${Math.floor(i / 100)}/module-${i}.js`,
    Buffer.from(randomBytes(1024 + (seed % 3072)).toString('hex')), false]);
}

const largeAsset = Number(options['large-asset']);
if (largeAsset > 0) files.push(['host/app/client/dist/assets/large.js', Buffer.alloc(largeAsset, ' '), false]);

const out = path.resolve(options.out);
if (fs.existsSync(out) && fs.readdirSync(out).length > 0) refuse(`${out} exists and is not empty`);

// Modes are set explicitly, whatever the umask.
function makeDirectories(directory) {
  if (fs.existsSync(directory)) return;
  makeDirectories(path.dirname(directory));
  fs.mkdirSync(directory);
  fs.chmodSync(directory, 0o755);
}

function writeFile(relative, content, executable) {
  const file = path.join(out, relative);
  makeDirectories(path.dirname(file));
  fs.writeFileSync(file, content, { flag: 'wx' });
  fs.chmodSync(file, executable ? 0o755 : 0o644);
}

makeDirectories(out);
const assets = files.map(([relative, content, executable]) => {
  writeFile(relative, content, executable);
  return {
    path: relative,
    sourcePath: relative,
    sha256: createHash('sha256').update(content).digest('hex'),
    bytes: content.length,
    executable,
  };
});
const totalBytes = assets.reduce((sum, a) => sum + a.bytes, 0);
writeFile('mac-broker-inventory.json', json({ schemaVersion: 3, version: v, totalBytes, assets }), false);
writeFile('runtime-manifest.json', json({ velaVersion: v, platform: 'darwin' }), false);

// ---- the archive a client sends ----

// One ustar header block: a member of the given type ('0' file, '1' hard
// link, '2' symbolic link, '3' character device) with owner 0.
function tarHeader(name, { type = '0', size = 0, link = '', major = 0, minor = 0 }) {
  const block = Buffer.alloc(512);
  const put = (value, at, width) => block.write(value, at, width, 'latin1');
  const octal = (value, at, width) => put(value.toString(8).padStart(width - 1, '0'), at, width - 1);
  put(name, 0, 100);
  octal(0o644, 100, 8);
  octal(0, 108, 8);
  octal(0, 116, 8);
  octal(size, 124, 12);
  octal(0, 136, 12);
  put(' '.repeat(8), 148, 8);
  put(type, 156, 1);
  put(link, 157, 100);
  put('ustar\x0000', 257, 8);
  octal(major, 329, 8);
  octal(minor, 337, 8);
  octal(block.reduce((sum, byte) => sum + byte, 0), 148, 7);
  return block;
}

function tarMember(name, content = Buffer.alloc(0), fields = {}) {
  const padding = Buffer.alloc((512 - (content.length % 512)) % 512);
  return [tarHeader(name, { ...fields, size: content.length }), content, padding];
}

function hostileMembers(top) {
  const hostile = text('hostile\n');
  return {
    none: [],
    dotdot: [tarMember(`${top}/../../escape-dotdot`, hostile)],
    absolute: [tarMember('/etc/escape-absolute', hostile), tarMember(`${top}//etc/escape-absolute`, hostile)],
    symlink: [tarMember(`${top}/hostile-link`, undefined, { type: '2', link: '/etc' }),
      tarMember(`${top}/hostile-link/escape-symlink`, hostile)],
    hardlink: [tarMember(`${top}/release/RELEASE.txt`, undefined, { type: '1', link: `${top}//etc/passwd` })],
    device: [tarMember(`${top}/release/RELEASE.txt`, undefined, { type: '3', major: 1, minor: 3 })],
  }[options.hostile].flat();
}

// tar writes the tree in 512-byte records, so its end is exactly the two
// zero blocks that close the archive; hostile members go before them.
function writeArchive(file) {
  const top = path.basename(out);
  const plain = execFileSync('/usr/bin/tar', ['-c', '-f', '-', '-b', '1', '--sort=name', '--owner=0', '--group=0',
    '--numeric-owner', '-C', path.dirname(out), top], { maxBuffer: 1 << 30 });
  const body = plain.subarray(0, plain.length - 1024);
  const archive = zlib.gzipSync(Buffer.concat([body, ...hostileMembers(top), Buffer.alloc(1024)]));
  fs.writeFileSync(file, archive, { mode: 0o644 });
  const archiveSha256 = createHash('sha256').update(archive).digest('hex');
  process.stdout.write(JSON.stringify({ archiveBytes: archive.length, archiveSha256 }) + '\n');
}

if (options.archive) {
  const file = path.resolve(options.archive);
  if (file.startsWith(out + path.sep)) refuse('--archive must lie outside --out');
  writeArchive(file);
}
