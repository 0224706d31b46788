// The sound card's rhythm: how many frames it asks for at once, as the size that 95 % of
// its callbacks do not exceed, so that a rare catch-up after a hiccup does not count. The
// quanta of one callback are rendered back to back, within one millisecond.

const MAX_QUANTA = 64;
const SHARE = 0.05;

export class CallbackSize {
  constructor() {
    this.counts = new Uint32Array(MAX_QUANTA + 1);
    this.total = 0;
    this.at = NaN;
    this.frames = 0; // of the callback under way
    this.quantum = 0;
    this.typicalFrames = 0;
  }

  // One quantum of n frames rendered at `nowMs` (local wall clock, whole ms).
  add(n, nowMs) {
    if (nowMs === this.at) {
      this.frames += n;
      return;
    }
    if (this.frames) this.count(this.frames);
    this.at = nowMs;
    this.frames = n;
    this.quantum = n;
  }

  count(frames) {
    this.counts[Math.min(MAX_QUANTA, Math.round(frames / this.quantum))]++;
    this.total++;
    let above = 0;
    for (let q = MAX_QUANTA; q > 0; q--) {
      above += this.counts[q];
      if (above > this.total * SHARE) {
        this.typicalFrames = q * this.quantum;
        return;
      }
    }
  }
}
