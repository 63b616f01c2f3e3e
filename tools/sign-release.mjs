#!/usr/bin/env node
// Signs a release manifest into a release envelope with an Ed25519 private
// key, using only Node's own crypto. The manifest's bytes are signed exactly
// as given (never re-serialised); the envelope goes to standard output.
//
// usage: node tools/sign-release.mjs --key private.pem [--key-id ID] [manifest.json | -]
import { createPrivateKey, sign } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { parseArgs } from 'node:util';

function usage(message) {
  process.stderr.write(`sign-release: ${message}\n` +
    'usage: sign-release.mjs --key private.pem [--key-id ID] [manifest.json | -]\n');
  process.exit(2);
}

let options;
try {
  options = parseArgs({
    options: {
      key: { type: 'string' },
      'key-id': { type: 'string', default: 'vela-release-2026' },
    },
    allowPositionals: true,
  });
} catch (error) {
  usage(error.message);
}
const { values, positionals } = options;
if (!values.key) usage('a private key is required');
if (positionals.length > 1) usage('one manifest at most');

// Standard input is read as a stream: Node may have made it non-blocking.
async function readAll(stream) {
  const chunks = [];
  for await (const chunk of stream) chunks.push(chunk);
  return Buffer.concat(chunks);
}

const source = positionals[0] ?? '-';
const manifest = source === '-' ? await readAll(process.stdin) : readFileSync(source);
const key = createPrivateKey(readFileSync(values.key));
if (key.asymmetricKeyType !== 'ed25519') usage('the key is not an Ed25519 private key');

const envelope = {
  payload: manifest.toString('base64'),
  signatures: [{
    keyId: values['key-id'],
    algorithm: 'ed25519',
    signature: sign(null, manifest, key).toString('base64'),
  }],
};
process.stdout.write(JSON.stringify(envelope) + '\n');
