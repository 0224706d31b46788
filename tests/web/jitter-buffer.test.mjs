import assert from 'node:assert/strict';
import { test } from 'node:test';
import { CONCEALED, UNDERRUN } from '../../src/relay/web/jitter-buffer.js';
import { simulate } from './simulate.mjs';

// A deterministic pseudo-random sequence in [0, 1).
function random(seed) {
  return () => (seed = (seed * 16807) % 2147483647) / 2147483647;
}

// What the listener heard: every frame played once at most, in order; the runs of
// silence after the start, by cause.
function heard(trace) {
  const silences = { [UNDERRUN]: 0, [CONCEALED]: 0 };
  let last = -1;
  let previous = 0;
  for (const frame of trace) {
    if (frame >= 0) {
      assert.ok(frame > last, `frame ${frame} played after ${last}`);
      last = frame;
    } else if (frame !== previous && last >= 0) {
      silences[frame]++;
    }
    previous = frame;
  }
  return silences;
}

// The added delay once settled: the buffer's level over the last second.
function settledLevel(levels) {
  const end = levels[levels.length - 1].now;
  return Math.max(...levels.filter((l) => l.now > end - 1000).map((l) => l.levelMs));
}

test('on a quiet network it starts within 70 ms, settles near 40 ms and plays every frame exactly once', () => {
  // Values a 24-bit code represents exactly, so the output can be compared bit for bit.
  const signal = (n) => Math.fround(Math.round(4e6 * Math.sin(n / 7)) / 8388607);
  const run = simulate({ seconds: 10, signal });
  const silences = heard(run.trace);
  assert.deepEqual(silences, { [UNDERRUN]: 0, [CONCEALED]: 0 });
  assert.equal(run.stats.underruns + run.stats.lost, 0);
  const first = run.trace.findIndex((frame) => frame >= 0);
  assert.ok(first * (1000 / 48000) < 70, `first sound after ${first} frames`);
  // Until the buffer starts to give back its starting margin, the samples come through
  // untouched.
  for (let i = first + 200; i < 48000; i++) assert.equal(run.out[i], signal(run.trace[i]));
  assert.ok(settledLevel(run.levels) <= 45, `level ${settledLevel(run.levels)} ms`);
});

test('under jitter and stalls it never repeats, is silent only when empty, and settles back', () => {
  const quiet = settledLevel(simulate({ seconds: 10 }).levels);
  const next = random(7);
  const cases = {
    'jitter 30 ± 20 ms': (k) => (k >= 50 && k < 550 ? 10 + 40 * next() : 1),
    'jitter 80 ± 70 ms': (k) => (k >= 50 && k < 550 ? 10 + 140 * next() : 1),
    'stall 0.5 s': (k, emit) => (emit > 1000 && emit < 1500 ? 1500 - emit : 1),
    'stall 1.5 s': (k, emit) => (emit > 1000 && emit < 2500 ? 2500 - emit : 1),
    'sound card stalled 1 s': () => 1,
    // A busy machine or network: every 50th packet or so 5 to 20 ms late, all along.
    'now and then late': () => (next() < 0.02 ? 5 + 15 * next() : 1),
  };
  for (const [name, delay] of Object.entries(cases)) {
    const pause = name.startsWith('sound card') ? [2000, 3000] : [0, 0];
    // Lateness is remembered for 30 s after it was last seen.
    const run = simulate({ seconds: 45, delay, pause });
    const silences = heard(run.trace);
    assert.equal(silences[CONCEALED], 0, name);
    assert.ok(silences[UNDERRUN] <= run.stats.underruns, `${name}: silent without an underrun`);
    // Once the jitter is learnt it is covered: one dropout while learning, none after.
    assert.ok(run.stats.underruns <= 1, `${name}: ${run.stats.underruns} underruns`);
    if (name !== 'now and then late')
      assert.ok(settledLevel(run.levels) < quiet + 10, `${name}: settled at ${settledLevel(run.levels)} ms, quiet ${quiet} ms`);
  }
});

test('a lost packet is faded out and in around its slot, without a click', () => {
  const run = simulate({ seconds: 3, lose: (k) => k === 60 });
  assert.equal(run.stats.lost, 1);
  assert.equal(run.stats.concealments, 1);
  const silences = heard(run.trace);
  assert.equal(silences[CONCEALED], 1);
  const first = run.trace.findIndex((frame) => frame >= 0);
  let steepest = 0;
  for (let i = first + 1; i < run.out.length; i++) steepest = Math.max(steepest, Math.abs(run.out[i] - run.out[i - 1]));
  const sineStep = 0.5 * 2 * Math.PI * (441 / 48000);
  assert.ok(steepest < sineStep * 1.5, `largest step ${steepest}`);
});

test('a studio clock faster or slower than the sound card changes neither the delay nor the sound', () => {
  const quiet = settledLevel(simulate({ seconds: 10 }).levels);
  for (const drift of [0.001, -0.001]) {
    const run = simulate({ seconds: 30, drift });
    assert.deepEqual(heard(run.trace), { [UNDERRUN]: 0, [CONCEALED]: 0 }, `drift ${drift}`);
    // Kept within the band the buffer leaves alone around its reference.
    assert.ok(Math.abs(settledLevel(run.levels) - quiet) < 15, `drift ${drift}: ${settledLevel(run.levels)} ms, quiet ${quiet} ms`);
  }
});

test('a broadcaster that starts numbering again is played on, not taken for late', () => {
  const run = simulate({ seconds: 4, seq: (k) => (k < 60 ? k : k - 60 + 20) });
  assert.equal(run.stats.late + run.stats.lost + run.stats.underruns, 0);
  assert.deepEqual(heard(run.trace), { [UNDERRUN]: 0, [CONCEALED]: 0 });
});

test('after the sound card stalled over lost packets, the surplus is still cut', () => {
  const quiet = settledLevel(simulate({ seconds: 10 }).levels);
  for (const lost of [[120], [120, 121, 122, 123, 124]]) {
    const run = simulate({ seconds: 10, pause: [2000, 3000], lose: (k) => lost.includes(k) });
    assert.ok(settledLevel(run.levels) < quiet + 10, `${lost.length} lost: settled at ${settledLevel(run.levels)} ms`);
    assert.equal(heard(run.trace)[CONCEALED], lost.length === 1 ? 1 : 0);
  }
});

test('a change of rate while playing hands over without an underrun, a gap or a click', () => {
  const run = simulate({ seconds: 6, rate: 96000, outputRate: 48000, rateOf: (k) => (k < 150 ? 96000 : 48000) });
  assert.equal(run.stats.underruns + run.stats.lost, 0);
  const start = run.out.findIndex((x) => x !== 0);
  let silent = 0;
  let longest = 0;
  let steepest = 0;
  for (let i = start + 1; i < run.out.length; i++) {
    silent = Math.abs(run.out[i]) < 1e-4 ? silent + 1 : 0;
    longest = Math.max(longest, silent);
    steepest = Math.max(steepest, Math.abs(run.out[i] - run.out[i - 1]));
  }
  // A fade out and in of 3 ms each: a dip, and no step steeper than the tone's own.
  assert.ok(longest < 48 * 5, `${longest} frames of silence`);
  assert.ok(steepest < 0.035, `a step of ${steepest}`);
});

test('a new form whose first packet is short (its overlap trimmed) arrives as evenly as before', () => {
  const run = simulate({ seconds: 10, rate: 96000, outputRate: 48000, rateOf: (k) => (k < 150 ? 96000 : 48000),
    early: (k) => (k < 150 ? 0 : 420) });
  assert.ok(run.playout.buffer.jitter.jitterMs <= 15, `jitter ${run.playout.buffer.jitter.jitterMs} ms`);
  assert.ok(settledLevel(run.levels) <= 45, `level ${settledLevel(run.levels)} ms`);
});
