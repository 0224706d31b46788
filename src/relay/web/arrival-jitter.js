// How unevenly packets reach the player. Each arrival is measured as the time from the
// audio's position (its oldest packet's) to the moment the player takes it: the network's
// delay, the page's and the wait for the sound card's next callback all in one. Its
// lateness is how much later that is than the fastest arrival of the last two seconds (a
// short window, so that two clocks drifting apart do not count as jitter), and
// `jitterMs` is the share QUANTILE of the last ten seconds' latenesses: a rare outlier (a
// stall, or the packets that came while the page was starting) does not count, a steady
// spread does. A burst of packets taken at once is one arrival.

import { SlidingExtreme } from './sliding-extreme.js';

const WINDOW_MS = 10000;
const CAPACITY = 512; // arrivals: over 10 s of packets that each come alone
const QUANTILE = 0.99;
const BINS = 2048; // of 1 ms

export class ArrivalJitter {
  constructor() {
    this.fastest = new SlidingExtreme(4, 500, Math.min);
    this.lateness = new Float64Array(CAPACITY);
    this.times = new Float64Array(CAPACITY);
    this.bins = new Uint16Array(BINS);
    this.count = 0;
    this.next = 0;
    this.jitterMs = 0;
  }

  clear() {
    this.fastest.clear();
    this.count = this.next = this.jitterMs = 0;
  }

  // The fastest arrival's time from the audio's position, of the last two seconds
  // (Infinity when none).
  get minMs() {
    return this.fastest.value();
  }

  // An arrival at `nowMs`, `transitMs` after its audio's position.
  add(nowMs, transitMs) {
    this.fastest.add(nowMs, transitMs);
    this.lateness[this.next] = transitMs - this.minMs;
    this.times[this.next] = nowMs;
    this.next = (this.next + 1) % CAPACITY;
    if (this.count < CAPACITY) this.count++;
    this.bins.fill(0);
    let inWindow = 0;
    for (let i = 0; i < this.count; i++) {
      if (this.times[i] <= nowMs - WINDOW_MS) continue;
      this.bins[Math.min(BINS - 1, Math.floor(this.lateness[i]))]++;
      inWindow++;
    }
    let above = 0;
    const allowed = Math.max(1, Math.floor(inWindow * (1 - QUANTILE)));
    for (let bin = BINS - 1; bin >= 0; bin--) {
      above += this.bins[bin];
      if (above > allowed) {
        this.jitterMs = bin + 1;
        return;
      }
    }
  }
}
