// EdDSA over edwards25519 with BLAKE2b-512, built from @noble/curves and @noble/hashes, to
// check the setup program's signatures against an implementation that shares no code with it.
//
//   node eddsa_blake2b.js <jobs-file>
//
// Loading the libraries takes most of a second, so one run answers many jobs: one job a line,
// one answer a line. Messages are written in hex ("-" for the empty message).
//
//   public-key <seed-hex>                                 the public key, 64 hex digits
//   sign <seed-hex> <message-hex>                         the signature, 128 hex digits
//   verify <public-key-hex> <signature-hex> <message-hex> "valid" or "invalid"
'use strict';
const fs = require('fs');
const { ed25519 } = require('@noble/curves/ed25519');
const { blake2b } = require('@noble/hashes/blake2b');

const Point = ed25519.Point;
const L = Point.Fn.ORDER;

function fromHex(text) {
  if (!/^([0-9a-fA-F]{2})*$/.test(text)) throw new Error('not hex: ' + text);
  return Uint8Array.from(Buffer.from(text, 'hex'));
}
const toHex = (bytes) => Buffer.from(bytes).toString('hex');
const concat = (...parts) => Uint8Array.from(Buffer.concat(parts.map((p) => Buffer.from(p))));
const hash512 = (...parts) => blake2b(concat(...parts), { dkLen: 64 });

function numberLE(bytes) {
  let n = 0n;
  for (let i = bytes.length - 1; i >= 0; i--) n = (n << 8n) | BigInt(bytes[i]);
  return n;
}
function bytesLE(n, length) {
  const out = new Uint8Array(length);
  for (let i = 0; i < length; i++) { out[i] = Number(n & 0xffn); n >>= 8n; }
  return out;
}

function expand(seed) {
  const h = hash512(seed);
  const a = h.slice(0, 32);
  a[0] &= 248; a[31] &= 127; a[31] |= 64;
  const scalar = numberLE(a) % L;
  return { scalar, prefix: h.slice(32), publicKey: Point.BASE.multiply(scalar).toBytes() };
}

function sign(seed, message) {
  const { scalar, prefix, publicKey } = expand(seed);
  const r = numberLE(hash512(prefix, message)) % L;
  const R = Point.BASE.multiply(r).toBytes();
  const h = numberLE(hash512(R, publicKey, message)) % L;
  const S = (r + h * scalar) % L;
  return concat(R, bytesLE(S, 32));
}

function verify(publicKey, signature, message) {
  if (signature.length !== 64 || publicKey.length !== 32) return false;
  const R = signature.slice(0, 32);
  const S = numberLE(signature.slice(32));
  if (S >= L) return false;
  let A;
  try { A = Point.fromBytes(publicKey); } catch (e) { return false; }
  const h = numberLE(hash512(R, publicKey, message)) % L;
  const expected = Point.BASE.multiplyUnsafe(S).subtract(A.multiplyUnsafe(h)).toBytes();
  return toHex(expected) === toHex(R);
}

const message = (text) => (text === '-' ? new Uint8Array(0) : fromHex(text));

function answer(job) {
  const [command, ...args] = job.split(' ');
  if (command === 'public-key' && args.length === 1) return toHex(expand(fromHex(args[0])).publicKey);
  if (command === 'sign' && args.length === 2) return toHex(sign(fromHex(args[0]), message(args[1])));
  if (command === 'verify' && args.length === 3) {
    return verify(fromHex(args[0]), fromHex(args[1]), message(args[2])) ? 'valid' : 'invalid';
  }
  throw new Error('unknown job: ' + job);
}

if (process.argv.length !== 3) {
  console.error('usage: eddsa_blake2b.js <jobs-file>');
  process.exit(2);
}
const jobs = fs.readFileSync(process.argv[2], 'utf8').split('\n').filter((line) => line !== '');
process.stdout.write(jobs.map(answer).join('\n') + '\n');
