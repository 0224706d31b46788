// The relay's clock as seen from here: each ping's round trip gives an offset; the one
// with the shortest round trip among the recent ones is the most trustworthy.

const KEEP = 8;

export class ClockSync {
  constructor() {
    this.samples = [];
  }

  // A pong: our send time, the relay's time in its answer, and our receive time (ms).
  add(sentMs, relayMs, receivedMs) {
    const roundTrip = receivedMs - sentMs;
    if (!(roundTrip >= 0) || !Number.isFinite(relayMs)) return;
    this.samples.push({ roundTrip, offset: relayMs - (sentMs + receivedMs) / 2 });
    if (this.samples.length > KEEP) this.samples.shift();
  }

  // Relay time minus local time, ms; NaN before the first pong.
  get offsetMs() {
    let best = null;
    for (const sample of this.samples) if (!best || sample.roundTrip < best.roundTrip) best = sample;
    return best ? best.offset : NaN;
  }
}
