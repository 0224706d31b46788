import assert from 'node:assert/strict';
import { test } from 'node:test';
import { CallbackSize } from '../../src/relay/web/callback-size.js';

test('the sound card’s usual callback counts, not a rare catch-up nor a callback split by a millisecond', () => {
  const size = new CallbackSize();
  let now = 0;
  for (let callback = 0; callback < 200; callback++) {
    now += 11;
    const quanta = callback % 50 === 49 ? 8 : 4; // now and then two callbacks back to back
    for (let q = 0; q < quanta; q++) size.add(128, callback % 10 === 3 && q === 2 ? ++now : now);
  }
  assert.equal(size.typicalFrames, 512);
});
