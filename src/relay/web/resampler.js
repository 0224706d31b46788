// Sample-rate conversion with a Kaiser-windowed sinc low-pass (polyphase table), plus a
// small speed adjustment for clock drift and buffer control. At equal rates and normal speed it passes samples through
// unchanged.

const PHASES = 1024;
const STOPBAND_DB = 90;
const HISTORY = 8192; // frames; a power of two

function besselI0(x) {
  let sum = 1;
  let term = 1;
  for (let k = 1; k < 50; k++) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
    if (term < 1e-12 * sum) break;
  }
  return sum;
}

// The band kept and the band removed: audible content up to 20 kHz (or 45 % of the lower
// rate) passes; everything that would fold back below that edge is removed.
function design(inRate, outRate) {
  const low = Math.min(inRate, outRate);
  const pass = Math.min(20000, 0.45 * low);
  const stop = low - pass;
  const width = (stop - pass) / inRate; // transition, cycles per input sample
  const half = Math.max(2, Math.ceil((STOPBAND_DB - 8) / (2.285 * 2 * Math.PI * width) / 2));
  const cutoff = (pass + stop) / 2 / inRate;
  const beta = 0.1102 * (STOPBAND_DB - 8.7);
  const scale = 1 / besselI0(beta);
  const taps = 2 * half;
  const table = new Float32Array((PHASES + 1) * taps);
  for (let p = 0; p <= PHASES; p++) {
    const frac = p / PHASES;
    let sum = 0;
    const row = new Float64Array(taps);
    for (let m = 0; m < taps; m++) {
      const t = m - half + 1 - frac;
      const x = 2 * cutoff * t;
      const sinc = x === 0 ? 1 : Math.sin(Math.PI * x) / (Math.PI * x);
      const r = t / half;
      const window = r * r >= 1 ? 0 : besselI0(beta * Math.sqrt(1 - r * r)) * scale;
      row[m] = 2 * cutoff * sinc * window;
      sum += row[m];
    }
    for (let m = 0; m < taps; m++) table[p * taps + m] = row[m] / sum;
  }
  return { half, taps, table };
}

// Designs by rates: a change of form switches between two pairs, and a design takes
// milliseconds of the audio thread.
const designs = new Map();

function designFor(inRate, outRate) {
  const key = `${inRate}/${outRate}`;
  if (!designs.has(key)) designs.set(key, design(inRate, outRate));
  return designs.get(key);
}

export class Resampler {
  constructor(inRate, outRate) {
    this.inRate = inRate;
    this.outRate = outRate;
    this.equal = inRate === outRate;
    const { half, taps, table } = designFor(inRate, outRate);
    this.half = half;
    this.taps = taps;
    this.table = table;
    this.left = new Float32Array(HISTORY);
    this.right = new Float32Array(HISTORY);
    this.written = 0; // input frames taken so far
    this.position = 0; // input position of the next output frame
    this.adjust = 0;
  }

  // Frames taken from the source but not yet played.
  get pendingFrames() {
    return this.written - this.position;
  }

  // Plays faster (adjust > 0) or slower by this fraction; small values only.
  setAdjust(adjust) {
    this.adjust = adjust;
  }

  // Fills n output frames; pull(left, right, at, count) must write `count` input frames
  // into the given arrays from index `at` (never across their end).
  render(outLeft, outRight, n, pull) {
    const step = (this.inRate / this.outRate) * (1 + this.adjust);
    // At equal rates and no adjustment the output lands on input frames again: move on
    // until the position is whole, then copy.
    const exact = this.equal && this.adjust === 0;
    const effective = exact && this.position % 1 !== 0 ? 1.001 : step;
    this.fill(Math.floor(this.position + (n - 1) * effective) + this.half + 1, pull);
    const mask = HISTORY - 1;
    const { left, right, table, taps, half } = this;
    let position = this.position;
    for (let j = 0; j < n; j++) {
      const whole = Math.floor(position);
      const frac = position - whole;
      if (exact && frac === 0) {
        outLeft[j] = left[whole & mask];
        outRight[j] = right[whole & mask];
        position += 1;
        continue;
      }
      // The nearest of the table's phases: its timing error is below 1/(2 PHASES) frame.
      const row = Math.round(frac * PHASES) * taps;
      let l = 0;
      let r = 0;
      const first = whole - half + 1;
      for (let m = 0; m < taps; m++) {
        const c = table[row + m];
        const i = (first + m) & mask;
        l += c * left[i];
        r += c * right[i];
      }
      outLeft[j] = l;
      outRight[j] = r;
      const next = position + effective;
      // Back on whole frames once the slightly faster pace has carried the fraction over
      // one: never a step back, nor a fraction of a frame left out.
      position = exact && Math.floor(next - 1) > whole ? Math.floor(next) : next;
    }
    this.position = position;
  }

  fill(upTo, pull) {
    const mask = HISTORY - 1;
    while (this.written < upTo) {
      const at = this.written & mask;
      const count = Math.min(upTo - this.written, HISTORY - at);
      pull(this.left, this.right, at, count);
      this.written += count;
    }
  }
}
