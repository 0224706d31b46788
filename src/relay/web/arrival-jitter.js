// How unevenly packets reach the player. Each arrival is measured as the time from the
// audio's position (its oldest packet's) to the moment the player takes it: the network's
// delay, the page's and the wait for the sound card's next callback all in one. Its
// lateness is how much later that is than the fastest arrival of the last two seconds (a
// short window, so that two clocks drifting apart do not count as jitter), and
// `jitterMs` the lateness that only the latest 0.2 % of the last 30 s's arrivals (and
// never more than two of them) exceeded. A lateness that comes now and then is covered:
// a window of a few seconds, or a lower share, would forget it between two of its
// comings and drop out at each. A stall's one late arrival does not count; nor, once
// ten seconds have passed without one as late, do a few stalls close together. A burst of
// packets taken at once is one arrival; the arrivals that follow it closely (the rest of
// what was held back) set the fastest but are no lateness of their own.

import { SlidingExtreme } from './sliding-extreme.js';

const WINDOW_MS = 30000;
const CAPACITY = 2048; // arrivals: over 30 s of packets that each come alone
const SHARE_ABOVE = 0.002;
const RECENT_MS = 10000;
const BINS = 2048; // of 1 ms

export class ArrivalJitter {
  constructor() {
    this.fastest = new SlidingExtreme(4, 500, Math.min);
    this.recentLatest = new SlidingExtreme(5, RECENT_MS / 5, Math.max); // the latest arrival of the last 10 s
    this.bin = new Uint16Array(CAPACITY); // each arrival's lateness bin, oldest first from `oldest`
    this.times = new Float64Array(CAPACITY);
    this.bins = new Uint16Array(BINS); // arrivals in the window by lateness
    this.clear();
  }

  clear() {
    this.fastest.clear();
    this.recentLatest.clear();
    this.bins.fill(0);
    this.count = this.oldest = this.jitterMs = 0;
  }

  // The fastest arrival's time from the audio's position, of the last two seconds
  // (Infinity when none).
  get minMs() {
    return this.fastest.value();
  }

  // An arrival at `nowMs`, `transitMs` after its audio's position; `counted` unless it
  // is the rest of a burst.
  add(nowMs, transitMs, counted = true) {
    this.fastest.add(nowMs, transitMs);
    if (!counted) return;
    while (this.count && (this.count === CAPACITY || this.times[this.oldest] <= nowMs - WINDOW_MS)) {
      this.bins[this.bin[this.oldest]]--;
      this.oldest = (this.oldest + 1) % CAPACITY;
      this.count--;
    }
    const at = (this.oldest + this.count) % CAPACITY;
    const lateness = transitMs - this.minMs;
    this.bin[at] = Math.min(BINS - 1, Math.floor(lateness));
    this.times[at] = nowMs;
    this.bins[this.bin[at]]++;
    this.count++;
    this.recentLatest.add(nowMs, lateness);
    this.jitterMs = Math.min(this.rareLateness(), Math.ceil(this.recentLatest.value()));
  }

  rareLateness() {
    const allowed = Math.max(1, Math.min(2, Math.floor(this.count * SHARE_ABOVE)));
    let above = 0;
    for (let bin = BINS - 1; bin >= 0; bin--) {
      above += this.bins[bin];
      if (above > allowed) return bin + 1;
    }
    return 0;
  }
}
