// How unevenly packets reach the player. Each arrival is measured as the time from its
// oldest packet's timestamp to the moment the player takes it (the network's delay, the
// page's and the wait for the sound card's next callback all in one); its jitter is how
// much later that is than the fastest arrival of the window. `jitterMs` is the share
// QUANTILE of the window's arrivals: a rare outlier (a stall) does not count, a steady
// spread does. A burst of packets taken at once is one arrival.

const WINDOW_MS = 10000;
const CAPACITY = 512; // arrivals: over 10 s of packets that each come alone
const QUANTILE = 0.99;
const BIN_MS = 1;
const BINS = 2048;

export class ArrivalJitter {
  constructor() {
    this.transits = new Float64Array(CAPACITY);
    this.times = new Float64Array(CAPACITY);
    this.bins = new Uint16Array(BINS);
    this.count = 0;
    this.next = 0;
    this.minMs = NaN; // the fastest arrival of the window (local clock minus the relay's)
    this.jitterMs = 0;
  }

  clear() {
    this.count = this.next = this.jitterMs = 0;
    this.minMs = NaN;
  }

  // An arrival at `nowMs` whose oldest packet took `transitMs` from its timestamp to the
  // player.
  add(nowMs, transitMs) {
    this.transits[this.next] = transitMs;
    this.times[this.next] = nowMs;
    this.next = (this.next + 1) % CAPACITY;
    if (this.count < CAPACITY) this.count++;
    let min = Infinity;
    let inWindow = 0;
    for (let i = 0; i < this.count; i++)
      if (this.times[i] > nowMs - WINDOW_MS) min = Math.min(min, this.transits[i]);
    this.minMs = min;
    this.bins.fill(0);
    for (let i = 0; i < this.count; i++) {
      if (this.times[i] <= nowMs - WINDOW_MS) continue;
      this.bins[Math.min(BINS - 1, Math.floor((this.transits[i] - min) / BIN_MS))]++;
      inWindow++;
    }
    let above = 0;
    const allowed = Math.floor(inWindow * (1 - QUANTILE));
    for (let bin = BINS - 1; bin >= 0; bin--) {
      above += this.bins[bin];
      if (above > allowed) {
        this.jitterMs = (bin + 1) * BIN_MS;
        return;
      }
    }
  }
}
