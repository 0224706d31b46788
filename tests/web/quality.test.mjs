import assert from 'node:assert/strict';
import { test } from 'node:test';
import { QualityChoice } from '../../src/relay/web/quality.js';

const BOTH = { flac: true, opus: true };
const LOSSLESS_96K_BITS = 3_000_000; // FLAC of music at 96 kHz, 24-bit stereo
const QUEUED_S = 5;

// A line of `capacity()` bits a second under the page, second by second in virtual time:
// a form that needs more than it carries loses the excess (the relay's queue overflows),
// and a new form arrives only after what was queued of the old one (QUEUED_S).
// lostAt and lateAt add packets lost, and packets late or underruns (a busy device), in
// second s. Returns the changes of form.
function run(quality, seconds, capacity, { startS = 0, lostAt = () => 0, lateAt = () => 0 } = {}) {
  const changes = [];
  for (let s = startS; s < startS + seconds; s++) {
    run.asked.push(quality.form);
    const arriving = run.asked.at(-1 - QUEUED_S) ?? run.asked[0];
    const { format, kbps } = arriving;
    const needs = format === 'opus' ? kbps * 1000 + 36000 : LOSSLESS_96K_BITS;
    const carried = Math.min(needs, capacity(s));
    const lost = Math.round((50 * (needs - carried)) / needs) + lostAt(s);
    run.bytes += carried / 8;
    run.lost += lost;
    run.troubles += lost + lateAt(s);
    const counters = { troubles: run.troubles, lost: run.lost, bytes: run.bytes, playing: true, arriving };
    if (quality.observe(counters, s * 1000))
      changes.push({ s, form: quality.form });
  }
  return changes;
}

function fresh(options) {
  run.bytes = run.lost = run.troubles = 0;
  run.asked = [];
  const quality = new QualityChoice(options);
  quality.stream(96000, 2);
  return quality;
}

test('Auto on a thin line settles at once on the best form that fits, tries lossless again ever more rarely, and goes back to lossless when the line allows', () => {
  const quality = fresh({ decodable: BOTH });
  assert.deepEqual(quality.form, { format: 'flac' });
  const thin = run(quality, 1800, () => 1_500_000);
  // Straight to Opus 256, not one rung at a time.
  assert.deepEqual(thin[0].form, { format: 'opus', kbps: 256 });
  assert.ok(thin[0].s <= 5, `stepped down after ${thin[0].s} s`);
  assert.equal(quality.reason, 'too_slow');
  // Each try of lossless fails, and the next comes after twice the wait: never flapping.
  const tries = thin.filter((change) => change.form.format === 'flac').map((change) => change.s);
  assert.ok(tries[0] >= 90, `first try after ${tries[0]} s`);
  const waits = tries.map((at, i) => at - (i ? tries[i - 1] : thin[0].s));
  for (let i = 1; i < waits.length; i++) assert.ok(waits[i] >= 0.9 * Math.min(2 * waits[i - 1], 600), `tries at ${tries}`);
  assert.ok(thin.length <= 12, `${thin.length} changes in 30 minutes`);
  for (let i = 1; i < thin.length; i++) assert.ok(thin[i].s - thin[i - 1].s >= 3, `changes at ${thin.map((c) => c.s)}`);
  // The line gets better: lossless again within the next wait (ten minutes at most).
  const better = run(quality, 700, () => 20_000_000, { startS: 1800 });
  assert.deepEqual(better.at(-1).form, { format: 'flac' });
  assert.equal(better.length, 1);
});

test('a line that loses a packet now and then, or a busy device, keeps lossless; losses in a row do not go unseen', () => {
  const quality = fresh({ decodable: BOTH });
  // A lost packet every 7 s, and now and then a burst of late packets and underruns
  // with every packet there: the line carries lossless.
  const busy = { lostAt: (s) => (s % 7 === 0 ? 1 : 0), lateAt: (s) => (s % 60 === 30 ? 6 : 0) };
  assert.deepEqual(run(quality, 600, () => 20_000_000, busy), []);
  const changes = run(quality, 10, () => 20_000_000, { startS: 600, lostAt: (s) => (s === 604 ? 4 : 0) });
  assert.equal(changes.length, 1);
  assert.equal(changes[0].form.format, 'opus');
});

test('the listener\'s own choice holds whatever the line; without Opus in the browser only lossless is offered, as PCM without FLAC', () => {
  const quality = fresh({ decodable: BOTH, choice: 'medium' });
  assert.deepEqual(run(quality, 120, () => 100_000), []);
  assert.deepEqual(quality.form, { format: 'opus', kbps: 128 });
  assert.equal(quality.choose('lossless', 120000), true);
  assert.deepEqual(run(quality, 60, () => 100_000, { startS: 120 }), []);
  assert.deepEqual(quality.form, { format: 'flac' });
  // Auto again: down it goes. A decoder that fails takes its form off the ladder.
  assert.equal(quality.choose('auto', 180000), false);
  assert.equal(run(quality, 10, () => 1_000_000, { startS: 180 }).length, 1);
  assert.equal(quality.undecodable('opus', 190000), true);
  assert.deepEqual(quality.form, { format: 'flac' });
  assert.equal(quality.undecodable('flac', 190000), true);
  assert.deepEqual(quality.form, { format: 'pcm' });
  assert.deepEqual(fresh({ choice: 'low' }).form, { format: 'pcm' });
});
