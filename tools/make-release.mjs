#!/usr/bin/env node
// Writes everything a client sends to install a test runtime: the runtime
// archive (tools/make-runtime.mjs), a manifest naming its size and digest
// for the Mac runtime, the envelope signed by tools/sign-release.mjs, and 44
// bytes of vault material (32 random bytes in Base64).
//
//   node tools/make-release.mjs --out DIR [--version 1.0.0] [--channel stable]
//       [--not-before ISO] [--key PEM] [--key-id ID] [--rollback]
//       [--broker ok] [--seal ok] [--filler-files 0] [--filler-bytes 0]
//
// --not-before defaults to an hour ago; the release expires a day after it.
// --rollback signs a directive that authorises this version as a downgrade.
// --filler-* pass through to make-runtime (extra files for large runtimes).
// DIR receives runtime.tar.gz, manifest.json, envelope.json and vault-key;
// standard output gets {"archive","sha256","bytes","envelope","vaultKey"}.
import { execFileSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

const tools = path.dirname(fileURLToPath(import.meta.url));
const { values: options } = parseArgs({
  options: {
    out: { type: 'string' },
    version: { type: 'string', default: '1.0.0' },
    channel: { type: 'string', default: 'stable' },
    'not-before': { type: 'string' },
    key: { type: 'string', default: path.join(tools, '../core/tests/data/release-dev-key.pem') },
    'key-id': { type: 'string', default: 'vela-release-2026' },
    rollback: { type: 'boolean', default: false },
    broker: { type: 'string', default: 'ok' },
    seal: { type: 'string', default: 'ok' },
    'filler-files': { type: 'string', default: '0' },
    'filler-bytes': { type: 'string', default: '0' },
  },
});
if (!options.out) {
  process.stderr.write('make-release: --out DIR is required\n');
  process.exit(2);
}

const out = path.resolve(options.out);
fs.mkdirSync(out, { recursive: true });
const file = (name) => path.join(out, name);
const node = process.execPath;

execFileSync(node, [path.join(tools, 'make-runtime.mjs'), '--out', file('runtime'), '--version', options.version,
  '--broker', options.broker, '--seal', options.seal]);
execFileSync('tar', ['-czf', file('runtime.tar.gz'), '-C', out, 'runtime']);
const archiveBytes = fs.readFileSync(file('runtime.tar.gz'));
const archive = { sha256: createHash('sha256').update(archiveBytes).digest('hex'), bytes: archiveBytes.length };

const notBefore = options['not-before'] ? new Date(options['not-before']) : new Date(Date.now() - 3600_000);
const utc = (d) => d.toISOString().replace(/\.\d{3}Z$/, 'Z');
const manifest = {
  schemaVersion: 1,
  channel: options.channel,
  version: options.version,
  notBefore: utc(notBefore),
  expiresAt: utc(new Date(notBefore.getTime() + 86_400_000)),
  ...(options.rollback ? { rollback: { toVersion: options.version, reason: 'test rollback' } } : {}),
  artifacts: [{ kind: 'runtime', platform: 'darwin', arch: 'arm64', sha256: archive.sha256, sizeBytes: archive.bytes }],
};
fs.writeFileSync(file('manifest.json'), JSON.stringify(manifest));
const envelope = execFileSync(node, [path.join(tools, 'sign-release.mjs'), '--key', options.key,
  '--key-id', options['key-id'], file('manifest.json')]);
fs.writeFileSync(file('envelope.json'), envelope);
fs.writeFileSync(file('vault-key'), randomBytes(32).toString('base64'));

process.stdout.write(JSON.stringify({
  archive: file('runtime.tar.gz'), sha256: archive.sha256, bytes: archive.bytes,
  envelope: file('envelope.json'), vaultKey: file('vault-key'),
}) + '\n');
