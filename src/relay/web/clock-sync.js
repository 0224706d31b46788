// The relay's clock as seen from here: each ping's round trip gives an offset, off by
// at most half that round trip; the one with the shortest round trip is the most
// trustworthy. Answers are kept for minutes, so that a spell of jitter (which lengthens
// every round trip of its own) does not throw away what a quiet one measured; an old
// answer counts as a little less exact, as the two clocks may drift apart.

const KEEP = 64;
const DRIFT_MS_PER_S = 0.05; // 50 ppm: what two computers' clocks may drift apart

export class ClockSync {
  constructor() {
    this.samples = [];
  }

  // A pong: our send time, the relay's time in its answer, and our receive time (ms).
  add(sentMs, relayMs, receivedMs) {
    const roundTrip = receivedMs - sentMs;
    if (!(roundTrip >= 0) || !Number.isFinite(relayMs)) return;
    this.samples.push({ roundTrip, at: receivedMs, offset: relayMs - (sentMs + receivedMs) / 2 });
    if (this.samples.length > KEEP) this.samples.shift();
  }

  // Relay time minus local time, ms; NaN before the first pong.
  get offsetMs() {
    const newest = this.samples.at(-1)?.at;
    const doubt = (sample) => sample.roundTrip / 2 + ((newest - sample.at) / 1000) * DRIFT_MS_PER_S;
    let best = null;
    for (const sample of this.samples) if (!best || doubt(sample) < doubt(best)) best = sample;
    return best ? best.offset : NaN;
  }
}
