import assert from 'node:assert/strict';
import { test } from 'node:test';
import { Resampler } from '../../src/relay/web/resampler.js';

// The level (dB relative to the input's) of a tone after conversion, past the start.
function toneLevel(inRate, outRate, frequency) {
  const resampler = new Resampler(inRate, outRate);
  let n = 0;
  const pull = (left, right, at, count) => {
    for (let i = 0; i < count; i++, n++) left[at + i] = right[at + i] = 0.5 * Math.sin((2 * Math.PI * frequency * n) / inRate);
  };
  const left = new Float32Array(128);
  const right = new Float32Array(128);
  let energy = 0;
  let count = 0;
  for (let q = 0; q < outRate / 128 / 2; q++) {
    resampler.render(left, right, 128, pull);
    if (q >= 20) for (const v of left) (energy += v * v), count++;
  }
  return 20 * Math.log10(Math.sqrt(energy / count) / (0.5 / Math.SQRT2));
}

test('what would fold into the audible band is removed by at least 80 dB', () => {
  assert.ok(toneLevel(96000, 48000, 30000) < -80, '30 kHz at 96 kHz into 48 kHz');
  assert.ok(toneLevel(96000, 44100, 40000) < -80, '40 kHz at 96 kHz into 44.1 kHz');
  assert.ok(toneLevel(88200, 48000, 30000) < -80, '30 kHz at 88.2 kHz into 48 kHz');
});

test('the audible band passes unchanged in level', () => {
  for (const [inRate, outRate] of [[96000, 48000], [48000, 44100], [44100, 48000]])
    for (const frequency of [100, 1000, 15000])
      assert.ok(Math.abs(toneLevel(inRate, outRate, frequency)) < 0.05, `${frequency} Hz, ${inRate} → ${outRate}`);
});

test('at equal rates the samples pass through exactly, also after a speed change', () => {
  const resampler = new Resampler(48000, 48000);
  let n = 0;
  const pull = (left, right, at, count) => {
    for (let i = 0; i < count; i++, n++) left[at + i] = right[at + i] = Math.fround(Math.sin(n));
  };
  const left = new Float32Array(128);
  const right = new Float32Array(128);
  resampler.render(left, right, 128, pull);
  assert.equal(left[0], 0);
  assert.equal(left[127], Math.fround(Math.sin(127)));
  resampler.setAdjust(0.003);
  for (let q = 0; q < 10; q++) resampler.render(left, right, 128, pull);
  resampler.setAdjust(0);
  for (let q = 0; q < 10; q++) resampler.render(left, right, 128, pull);
  const first = resampler.position - 128;
  assert.equal(first % 1, 0, 'back on whole frames');
  for (let i = 0; i < 128; i++) assert.equal(left[i], Math.fround(Math.sin(first + i)));
});
