import assert from 'node:assert/strict';
import { test } from 'node:test';
import { PacketRing } from '../../src/relay/web/packet-ring.js';

test('records come out whole and in order across the ring’s end, and a full ring refuses', () => {
  const writer = PacketRing.create(4096);
  const reader = new PacketRing(writer.shared); // as the audio thread sees it
  const into = new Uint8Array(2048);
  let written = 0;
  let read = 0;
  for (let round = 0; round < 200; round++) {
    for (let k = 0; k < 3; k++, written++) {
      const bytes = Uint8Array.from({ length: 100 + ((written * 37) % 900) }, (_, i) => (i + written) & 0xff);
      assert.ok(writer.write(bytes));
    }
    for (let k = 0; k < 3; k++, read++) {
      const length = reader.read(into);
      assert.equal(length, 100 + ((read * 37) % 900));
      for (let i = 0; i < length; i++) if (into[i] !== ((i + read) & 0xff)) assert.fail(`record ${read} byte ${i}`);
    }
  }
  assert.equal(reader.read(into), -1);
  while (writer.write(new Uint8Array(1000)));
  assert.ok(reader.read(into) > 0, 'the reader still gets what fitted');
});
