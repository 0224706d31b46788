import assert from 'node:assert/strict';
import { test } from 'node:test';
import { Connection } from '../../src/relay/web/connection.js';

// A relay's side of the socket, driven by the test, and a clock the test moves.
function harness() {
  const sockets = [];
  const timers = [];
  let now = 1000;
  class FakeSocket {
    constructor(url) {
      this.url = url;
      this.sent = [];
      this.readyState = 0;
      sockets.push(this);
    }
    send(text) {
      this.sent.push(JSON.parse(text));
    }
    close() {
      this.readyState = 3;
    }
    open() {
      this.readyState = 1;
      this.onopen();
    }
    say(message) {
      this.onmessage({ data: JSON.stringify(message) });
    }
    drop() {
      this.readyState = 3;
      this.onclose({});
    }
  }
  const env = {
    WebSocket: FakeSocket,
    now: () => now,
    setTimeout: (f, ms) => timers.push({ at: now + ms, f }) - 1,
    clearTimeout: (id) => {
      if (timers[id]) timers[id].f = null;
    },
  };
  // Moves the clock on by `ms`, running what falls due.
  const advance = (ms) => {
    const end = now + ms;
    for (;;) {
      const due = timers.filter((t) => t.f && t.at <= end).sort((a, b) => a.at - b.at)[0];
      if (!due) break;
      now = due.at;
      const f = due.f;
      due.f = null;
      f();
    }
    now = end;
  };
  const statuses = [];
  const packets = [];
  const connection = new Connection({
    url: 'ws://relay/ws/listen',
    session: 'link',
    password: 'pw',
    env,
    onStatus: (status) => statuses.push(status),
    onPacket: (data) => packets.push({ data }),
  });
  return { connection, sockets, advance, statuses, packets, last: () => sockets[sockets.length - 1] };
}

test('it keeps trying with growing pauses while the relay is away, and comes back by itself', () => {
  const h = harness();
  h.connection.start();
  const pauses = [];
  for (let attempt = 0; attempt < 7; attempt++) {
    h.last().drop(); // refused before it opened
    const count = h.sockets.length;
    let waited = 0;
    while (h.sockets.length === count) {
      h.advance(100);
      waited += 100;
    }
    pauses.push(waited);
  }
  assert.deepEqual(pauses, [500, 1000, 2000, 4000, 8000, 10000, 10000]);
  assert.equal(h.connection.status, 'connecting');
  assert.ok(h.statuses.includes('unreachable'));
  h.last().open();
  assert.deepEqual(h.last().sent[0], { type: 'listen', session: 'link', password: 'pw', format: 'pcm' });
  h.last().say({ type: 'ready', onAir: true, resume: 'token' });
  assert.equal(h.connection.status, 'on_air');
  // A change of form goes out at once, and is the one asked for after a reconnection.
  h.connection.setForm({ format: 'opus', kbps: 128 });
  assert.deepEqual(h.last().sent.at(-1), { type: 'format', format: 'opus', kbps: 128 });
  const packet = new ArrayBuffer(8);
  h.last().onmessage({ data: packet });
  assert.equal(h.packets[0].data, packet);
  // Lost while on air (a relay restart): straight back after the shortest pause.
  h.last().say({ type: 'error', error: 'shutdown' });
  assert.equal(h.connection.status, 'shutting_down');
  h.last().drop();
  const count = h.sockets.length;
  h.advance(499);
  assert.equal(h.sockets.length, count);
  h.advance(1);
  assert.equal(h.sockets.length, count + 1);
  h.last().open(); // back without another password check
  assert.deepEqual(h.last().sent[0], { type: 'listen', session: 'link', password: 'pw', resume: 'token', format: 'opus', kbps: 128 });
});

test('refusals that asking again would not change end it; the link ending ends it', () => {
  for (const [error, status] of [['password', 'wrong_password'], ['session', 'no_such_link'], ['full', 'full'], ['too_many_attempts', 'too_many_attempts']]) {
    const h = harness();
    h.connection.start();
    h.last().open();
    h.last().say({ type: 'error', error });
    h.last().drop();
    h.advance(60000);
    assert.equal(h.sockets.length, 1, error);
    assert.equal(h.connection.status, status);
    assert.equal(h.connection.running, false);
  }
  const h = harness();
  h.connection.start();
  h.last().open();
  h.last().say({ type: 'ready', onAir: false });
  h.last().say({ type: 'state', onAir: true });
  h.last().say({ type: 'session_ended' });
  h.advance(60000);
  assert.deepEqual(h.statuses, ['connecting', 'waiting', 'on_air', 'ended']);
  assert.equal(h.sockets.length, 1);
});

test('it keeps the relay clock by ping and pong, and drops a connection gone silent', () => {
  const h = harness();
  h.connection.start();
  h.last().open();
  h.last().say({ type: 'ready', onAir: true });
  h.advance(0);
  const ping = h.last().sent.find((m) => m.type === 'ping');
  assert.ok(ping);
  h.advance(40); // a 40 ms round trip; the relay's clock is 5 s ahead
  h.last().say({ type: 'pong', t: ping.t, s: ping.t + 20 + 5000 });
  assert.equal(h.connection.clock.offsetMs, 5000);
  const first = h.last();
  h.advance(14999);
  assert.equal(h.last(), first);
  h.advance(1 + 500);
  assert.notEqual(h.last(), first, 'reconnected after 15 s without a word');
});
