// How much the jitter buffer should hold, and what to do about the difference.
//
// What is steered is the lead: how far the playing position is behind the arrival of the
// fastest packets (each packet's level on arrival plus how much later than the fastest
// it came). Its lowest value over a few seconds should sit at the margin: the safety,
// plus the arrivals' measured jitter (which includes the sound card's rhythm, since a
// packet waits for the next callback), plus a boost after each underrun that is given
// back once the network has been steady for a while. Surplus is removed by splices (a few
// ms at a time, all at once when the sound card stalled) and by playing slightly faster;
// a deficit by playing slightly slower.

import { SlidingExtreme } from './sliding-extreme.js';

const MAX_DROP_MS = 15; // the most removed by one splice
// A surplus this large (the sound card stalled while packets came on) is cut at once:
// the listener has just heard a break anyway.
const JUMP_ABOVE_MS = 150;
// Within these bounds around the margin the lead is left alone: the sound card's rhythm
// moves it by a few ms without any change in the network. Once speeding up it goes on
// down to the margin.
const TOLERANCE_ABOVE_MS = 6;
const TOLERANCE_BELOW_MS = 4;
const SPLICE_ABOVE_MS = 8; // a larger surplus is also cut, a few ms at a time
const SPEED = 0.003; // the rate change used to steer: 5 cents, 3 ms per second
const STEADY_MS = 10000; // without an underrun this long, the network counts as steady
const RELAX_EVERY_MS = 2000;
const MAX_BOOST_MS = 300;
const WINDOW_NEEDED_MS = 1000; // no decision on less than this much of the window

export class LevelControl {
  constructor(safetyMs) {
    this.safetyMs = safetyMs; // beyond the measured jitter
    this.jitterMs = 0; // the arrivals' jitter, as ArrivalJitter measures it
    this.boostMs = 0;
    this.lastUnderrunMs = -Infinity;
    this.lastRelaxMs = 0;
    this.speeding = false;
    // Leads are remembered shifted by `shift`: whatever the buffer removes or adds later
    // moves every remembered lead along with it.
    this.shift = 0;
    this.low = new SlidingExtreme(6, 500, Math.min);
    this.adjust = 0; // the speed change wanted: +0.003 is 0.3 % faster
    this.dropWantedMs = 0;
  }

  get marginMs() {
    return this.safetyMs + this.jitterMs + this.boostMs;
  }

  // The lead when a packet arrived, while playing.
  observe(nowMs, leadMs) {
    this.low.add(nowMs, leadMs - this.shift);
  }

  // The buffer removed (negative: added) this much audio.
  moved(ms) {
    this.shift -= ms;
  }

  // What was seen says nothing any more (a new stream, a stalled sound card, a restart).
  forget() {
    this.low.clear();
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
    this.relax(nowMs);
    if (this.low.span(nowMs) < WINDOW_NEEDED_MS) return;
    const excess = this.low.value() + this.shift - this.marginMs;
    if (excess > SPLICE_ABOVE_MS && mayCut) this.dropWantedMs = Math.min(excess, MAX_DROP_MS);
    if (excess > JUMP_ABOVE_MS) this.dropWantedMs = excess;
    this.speeding = excess > TOLERANCE_ABOVE_MS || (this.speeding && excess > 0);
    if (this.speeding) this.adjust = SPEED;
    else if (excess < -TOLERANCE_BELOW_MS) this.adjust = -SPEED;
  }

  // After a steady spell, gives back half of the boost every little while: the measured
  // jitter covers what the network still does.
  relax(nowMs) {
    if (nowMs - this.lastUnderrunMs < STEADY_MS || nowMs - this.lastRelaxMs < RELAX_EVERY_MS) return;
    this.lastRelaxMs = nowMs;
    this.boostMs = Math.max(0, this.boostMs / 2 - 1);
  }
}
