import assert from 'node:assert/strict';
import { test } from 'node:test';
import { decodeInto, decodeSample, parseHeader } from '../../src/relay/web/packet.js';
import { encodePacket } from './simulate.mjs';

// The broadcaster's scaling: float32 multiply by 2^23 - 1, halves away from zero.
function encode(x) {
  const scaled = Math.fround(Math.fround(x) * 8388607);
  return Math.sign(scaled) * Math.round(Math.abs(scaled));
}

test('every 24-bit code decodes to the float that encodes back to it', () => {
  const float = new Float32Array(1);
  for (let code = -8388607; code <= 8388607; code++) {
    float[0] = decodeSample(code & 0xffffff);
    if (encode(float[0]) !== code) assert.fail(`code ${code} came back as ${encode(float[0])}`);
  }
  assert.equal(decodeSample(0x7fffff), 1);
  assert.equal(decodeSample(0x800001), -1);
  assert.equal(decodeSample(0x400000), 4194304 / 8388607);
});

test('a packet is read as the packetizer wrote it; a mono one fills both channels', () => {
  const stereo = encodePacket(7, 1700000000123.25, 48000, 2, (f, c) => (c ? -0.5 : 0.25));
  assert.deepEqual(parseHeader(stereo), { channels: 2, rate: 48000, frames: 960, seq: 7, timestamp: 1700000000123.25 });
  const mono = encodePacket(0, 0, 44100, 1, () => 1.5);
  const left = new Float32Array(1024);
  const right = new Float32Array(1024);
  decodeInto(mono, 1, 882, left, right, 1000, 1023); // wraps around the ring's end
  assert.equal(left[1000], 1);
  assert.equal(right[(1000 + 881) & 1023], 1);
  for (const bad of [stereo.subarray(0, 19), stereo.subarray(0, 100), Uint8Array.of(2, 1, 2, 0, ...stereo.subarray(4, 26))])
    assert.equal(parseHeader(bad), null);
});
