// The listener's quality choice, and for Auto the form the line carries. Fed the page's
// counters and the time, it says which form to take and why; it has no clock of its own.
//
// Auto starts lossless and steps down when losses, late packets or underruns show that the
// line cannot carry the form — when they come with packets missing (the relay's queue for
// us overflowed), not only late, as a busy device makes them — to the best form that needs at most HEADROOM of what the line
// delivered meanwhile. It tries one step up only after a quiet period without a packet
// lost, which doubles each time a step up fails; so it changes at most a few times an
// hour, never back and forth.

export const CHOICES = ['auto', 'lossless', 'high', 'medium', 'low'];
const LADDER = [
  { choice: 'lossless', format: 'flac' },
  { choice: 'high', format: 'opus', kbps: 256 },
  { choice: 'medium', format: 'opus', kbps: 128 },
  { choice: 'low', format: 'opus', kbps: 64 },
];
const PACKET_OVERHEAD_BITS = 8 * 90; // header, WebSocket, TCP and IP, per 20 ms packet
const WINDOW_MS = 5000; // troubles are counted over this long
const TROUBLES = 3; // this many in a window: the line cannot carry the form
const LOSSES = 2; // packets missing in a window: the relay could not send them all
const SETTLE_MS = 3000; // the stir of a change is not held against the new form
const FIRST_QUIET_MS = 90000;
const MAX_QUIET_MS = 600000;
const TRIAL_MS = 30000; // a step up that holds this long has succeeded
const HEADROOM = 0.75;

// Bits a second a form needs: Opus its rate, lossless what it was seen to take, else PCM's.
function needs(step, line) {
  const overhead = PACKET_OVERHEAD_BITS * 50;
  if (step.format === 'opus') return step.kbps * 1000 + overhead;
  return line.losslessBits || line.rate * line.channels * 24 + overhead;
}

export class QualityChoice {
  // decodable: {flac, opus} — whether the browser decodes each; without FLAC, lossless is PCM.
  constructor({ choice = 'auto', decodable = { flac: false, opus: false } } = {}) {
    this.decodable = decodable;
    this.choice = CHOICES.includes(choice) ? choice : 'auto';
    this.step = 0; // Auto's rung of the ladder
    this.reason = 'start';
    this.line = { rate: 48000, channels: 2, losslessBits: 0 };
    this.samples = []; // {atMs, troubles, bytes}
    this.changedAtMs = -Infinity;
    this.quietMs = FIRST_QUIET_MS;
    this.trialSinceMs = NaN; // when the step up under trial was taken
    this.calmSinceMs = NaN;
  }

  // The rungs this browser can play: lossless always (as PCM without FLAC), Opus if decoded.
  get ladder() {
    return LADDER.filter((step) => step.format === 'flac' || this.decodable.opus);
  }

  // What to ask the relay for: {format, kbps}.
  get form() {
    const ladder = this.ladder;
    const step = this.choice === 'auto' ? ladder[Math.min(this.step, ladder.length - 1)]
      : ladder.find((s) => s.choice === this.choice) || ladder[0];
    if (step.format === 'flac' && !this.decodable.flac) return { format: 'pcm' };
    return step.format === 'opus' ? { format: 'opus', kbps: step.kbps } : { format: step.format };
  }

  // The listener's choice; returns whether the form changes.
  choose(choice, nowMs) {
    const before = this.form;
    this.choice = CHOICES.includes(choice) ? choice : 'auto';
    if (this.choice === 'auto') this.reason = this.step ? 'too_slow' : 'start';
    return this.changed(before, nowMs);
  }

  // The browser could not decode `format` after all: it is not offered again.
  undecodable(format, nowMs) {
    const before = this.form;
    this.decodable = { ...this.decodable, [format]: false };
    return this.changed(before, nowMs);
  }

  // The stream as the relay announced it: {rate, channels}.
  stream(rate, channels) {
    this.line.rate = rate;
    this.line.channels = channels;
  }

  // The page's counters at `nowMs`: troubles (losses + late packets + underruns so far), of
  // them lost, and the bytes received so far; `playing` false while nothing is
  // due to play; `arriving` the form the relay last announced ({format, kbps}). Returns
  // whether the form changes.
  observe({ troubles, lost, bytes, playing, arriving }, nowMs) {
    const previous = this.samples[this.samples.length - 1];
    this.samples.push({ atMs: nowMs, troubles, lost, bytes });
    while (this.samples.length > 2 && this.samples[1].atMs <= nowMs - WINDOW_MS) this.samples.shift();
    if (!previous || !playing) {
      this.calmSinceMs = NaN;
      return false;
    }
    const form = this.form;
    if (Number.isNaN(this.calmSinceMs) || arriving.format !== form.format || arriving.kbps !== form.kbps) {
      // Back to playing, or what was sent before a change still coming (the relay's
      // queue drains first): no measure of the line or of the new form.
      this.calmSinceMs = nowMs;
      this.changedAtMs = Math.max(this.changedAtMs, nowMs);
    }
    const first = this.samples[0];
    const spanMs = nowMs - first.atMs;
    const bits = spanMs > 0 ? ((bytes - first.bytes) * 8000) / spanMs : 0;
    if (lost > previous.lost) this.calmSinceMs = nowMs; // the line's trouble; a busy device's is not
    if (form.format !== 'opus' && spanMs >= WINDOW_MS / 2 && troubles === first.troubles)
      this.line.losslessBits = Math.max(this.line.losslessBits, bits); // what lossless takes when it fits
    if (this.choice !== 'auto' || nowMs - this.changedAtMs < SETTLE_MS) return false;
    const before = this.form;
    const since = this.samplesSince(this.changedAtMs + SETTLE_MS);
    if (troubles - since.troubles >= TROUBLES && lost - since.lost >= LOSSES) {
      this.stepDown(bits, nowMs);
    } else if (nowMs - this.trialSinceMs >= TRIAL_MS) {
      this.trialSinceMs = NaN; // the step up held
      this.quietMs = FIRST_QUIET_MS;
    } else if (this.step > 0 && Number.isNaN(this.trialSinceMs) && nowMs - this.calmSinceMs >= this.quietMs) {
      this.step--;
      this.trialSinceMs = nowMs;
      this.reason = 'trying';
    }
    return this.changed(before, nowMs);
  }

  // The oldest sample of the window taken at or after `atMs`.
  samplesSince(atMs) {
    return this.samples.find((sample) => sample.atMs >= atMs) || this.samples[this.samples.length - 1];
  }

  stepDown(bits, nowMs) {
    const ladder = this.ladder;
    if (!Number.isNaN(this.trialSinceMs)) {
      // The step up failed: the line was as it was; wait longer before the next.
      this.trialSinceMs = NaN;
      this.quietMs = Math.min(2 * this.quietMs, MAX_QUIET_MS);
    }
    let next = Math.min(this.step + 1, ladder.length - 1);
    while (next < ladder.length - 1 && needs(ladder[next], this.line) > HEADROOM * bits) next++;
    this.step = next;
    this.reason = 'too_slow';
    this.calmSinceMs = nowMs;
  }

  changed(before, nowMs) {
    const after = this.form;
    if (after.format === before.format && after.kbps === before.kbps) return false;
    this.changedAtMs = nowMs;
    this.calmSinceMs = nowMs;
    return true;
  }
}
