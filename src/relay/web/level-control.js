// How much the jitter buffer should hold, and what to do about the difference.
//
// The level just before each packet arrives is watched over a few seconds: its lowest
// value should sit at the margin (the low-water mark). The margin covers the sound
// card's rhythm plus a boost that grows after each underrun and is given back when the
// spread of the levels shows the network has calmed. Surplus is removed by splices (a
// few ms at a time, all at once when the sound card stalled) and by playing slightly
// faster; a deficit by playing slightly slower.

import { SlidingExtreme } from './sliding-extreme.js';

const MAX_DROP_MS = 15; // the most removed by one splice
// A surplus this large (the sound card stalled while packets came on) is cut at once:
// the listener has just heard a break anyway.
const JUMP_ABOVE_MS = 150;
// Within these bounds around its reference the level is left alone: the sound card's
// rhythm moves the low-water mark by a few ms without any change in the network. Once
// speeding up it goes on down to the reference.
const TOLERANCE_ABOVE_MS = 6;
const TOLERANCE_BELOW_MS = 8;
const SPLICE_ABOVE_MS = 8; // a larger surplus is also cut, a few ms at a time
const SPEED = 0.003; // the rate change used to steer: 5 cents, 3 ms per second
const STEADY_MS = 2000; // without an underrun this long, the network counts as steady
const RELAX_EVERY_MS = 500;
const MAX_BOOST_MS = 300;
const WINDOW_NEEDED_MS = 1000; // no decision on less than this much of the window

export class LevelControl {
  constructor(marginMs) {
    this.baseMs = marginMs; // on a quiet network, beyond what the sound card's rhythm needs
    this.callbackMs = 0; // the most the sound card has taken at once
    this.packetMs = 20;
    this.boostMs = 0;
    this.reference = 0; // ms above the margin where the level is kept
    this.lastUnderrunMs = -Infinity;
    this.lastRelaxMs = 0;
    this.speeding = false;
    // Levels are remembered shifted by `shift`: whatever the buffer removes or adds later
    // moves every remembered level along with it.
    this.shift = 0;
    this.low = new SlidingExtreme(6, 500, Math.min);
    this.high = new SlidingExtreme(6, 500, Math.max);
    this.adjust = 0; // the speed change wanted: +0.003 is 0.3 % faster
    this.dropWantedMs = 0;
  }

  // The margin on a quiet network. The sound card takes `callbackMs` at once; when a
  // packet comes just too late for one callback, the level seen with the packet before
  // must carry two callbacks less one packet.
  get baseMarginMs() {
    return Math.max(0, 2 * this.callbackMs - this.packetMs) + this.baseMs;
  }

  get marginMs() {
    return this.baseMarginMs + this.boostMs;
  }

  // The level just before a packet arrived, while playing.
  observe(nowMs, levelMs) {
    this.low.add(nowMs, levelMs - this.shift);
    this.high.add(nowMs, levelMs - this.shift);
  }

  // The buffer removed (negative: added) this much audio.
  moved(ms) {
    this.shift -= ms;
  }

  // What was seen says nothing any more (a new stream, a stalled sound card).
  forget() {
    this.low.clear();
    this.high.clear();
  }

  // Playback starts: after joining, the level it started at is kept as long as it is no
  // more than a packet too high, so that a quiet network's audio is never touched;
  // after an underrun the margin itself is the reference.
  started(joining) {
    this.forget();
    this.reference = joining ? null : 0;
  }

  underrun(nowMs) {
    this.lastUnderrunMs = nowMs;
  }

  // After an underrun that lasted `silentMs`: a larger margin, by half the silence.
  resumed(silentMs) {
    this.boostMs = Math.min(MAX_BOOST_MS, this.boostMs + Math.min(Math.max(silentMs / 2, 10), 40));
  }

  // Decides `adjust` and `dropWantedMs`; `mayCut` when the last splice is far enough back.
  decide(nowMs, mayCut) {
    this.adjust = 0;
    this.dropWantedMs = 0;
    if (this.low.span(nowMs) < WINDOW_NEEDED_MS) return;
    const low = this.low.value() + this.shift;
    if (this.reference === null) this.reference = Math.min(Math.max(low - this.marginMs, 0), this.packetMs);
    const excess = low - this.marginMs - this.reference;
    this.relax(nowMs, low);
    if (excess > SPLICE_ABOVE_MS && mayCut) this.dropWantedMs = Math.min(excess, MAX_DROP_MS);
    if (excess > JUMP_ABOVE_MS) this.dropWantedMs = excess;
    this.speeding = excess > TOLERANCE_ABOVE_MS || (this.speeding && excess > 0);
    if (this.speeding) this.adjust = SPEED;
    else if (excess < -TOLERANCE_BELOW_MS) this.adjust = -SPEED;
  }

  // After a steady spell, gives back half of the boost that the spread of the levels
  // (how unevenly packets came, beyond the sound card's own rhythm) does not need.
  relax(nowMs, low) {
    if (nowMs - this.lastUnderrunMs < STEADY_MS || nowMs - this.lastRelaxMs < RELAX_EVERY_MS) return;
    this.lastRelaxMs = nowMs;
    const spread = this.high.value() + this.shift - low;
    const needed = Math.max(0, spread - this.callbackMs - this.packetMs);
    if (this.boostMs > needed) this.boostMs = Math.max(needed, this.boostMs / 2 - 1);
  }
}
