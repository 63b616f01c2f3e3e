#!/usr/bin/env node
// Writes everything a client sends to install a test runtime: the runtime
// archive (tools/make-runtime.mjs), a manifest naming its size and digest
// for the Mac runtime, the envelope signed by tools/sign-release.mjs, and 44
// bytes of vault material (32 random bytes in Base64).
//
//   node tools/make-release.mjs --out DIR [--version 1.0.0] [--age SECONDS]
//       [--key PEM] [--broker ok] [--seal ok] [--modules N]
//
// --modules passes to make-runtime (large runtimes).
// --age: how long ago the release became valid (notBefore), 3600 by default;
// it expires a day after that.
// DIR receives runtime.tar.gz, manifest.json, envelope.json and vault-key;
// standard output gets {"archive","sha256","bytes","envelope","vaultKey"}.
import { execFileSync } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

const tools = path.dirname(fileURLToPath(import.meta.url));
const { values: options } = parseArgs({
  options: {
    out: { type: 'string' },
    version: { type: 'string', default: '1.0.0' },
    age: { type: 'string', default: '3600' },
    key: { type: 'string', default: path.join(tools, '../core/tests/data/release-dev-key.pem') },
    broker: { type: 'string', default: 'ok' },
    seal: { type: 'string', default: 'ok' },
    modules: { type: 'string', default: '0' },
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

const archive = JSON.parse(execFileSync(node, [path.join(tools, 'make-runtime.mjs'), '--out', file('runtime'),
  '--version', options.version, '--broker', options.broker, '--seal', options.seal, '--modules', options.modules,
  '--archive', file('runtime.tar.gz')],
{ encoding: 'utf8' }));

const notBefore = new Date(Date.now() - Number(options.age) * 1000);
const utc = (d) => d.toISOString().replace(/\.\d{3}Z$/, 'Z');
const manifest = {
  schemaVersion: 1,
  channel: 'stable',
  version: options.version,
  notBefore: utc(notBefore),
  expiresAt: utc(new Date(notBefore.getTime() + 86_400_000)),
  artifacts: [{
    kind: 'runtime', platform: 'darwin', arch: 'arm64', sha256: archive.archiveSha256, sizeBytes: archive.archiveBytes,
  }],
};
fs.writeFileSync(file('manifest.json'), JSON.stringify(manifest));
const envelope = execFileSync(node, [path.join(tools, 'sign-release.mjs'), '--key', options.key, file('manifest.json')]);
fs.writeFileSync(file('envelope.json'), envelope);
fs.writeFileSync(file('vault-key'), randomBytes(32).toString('base64'));

process.stdout.write(JSON.stringify({
  archive: file('runtime.tar.gz'), sha256: archive.archiveSha256, bytes: archive.archiveBytes,
  envelope: file('envelope.json'), vaultKey: file('vault-key'),
}) + '\n');
