// A studio, a network and a sound card in virtual time, around the page's playout.

import { UNDERRUN } from '../../src/relay/web/jitter-buffer.js';
import { Playout } from '../../src/relay/web/playout.js';

const SCALE = 8388607;

// Encodes like the broadcaster's packetizer.
export function encodePacket(seq, timestamp, rate, channels, samples /* (frame, channel) → value */, frames = rate / 50) {
  const bytes = new Uint8Array(20 + 3 * channels * frames);
  const view = new DataView(bytes.buffer);
  bytes[0] = 1;
  bytes[1] = 1;
  bytes[2] = channels;
  view.setUint32(4, rate, true);
  view.setUint32(8, seq >>> 0, true);
  view.setFloat64(12, timestamp, true);
  let k = 20;
  for (let f = 0; f < frames; f++) {
    for (let c = 0; c < channels; c++) {
      const x = Math.max(-1, Math.min(1, samples(f, c)));
      const scaled = Math.fround(Math.fround(x) * SCALE);
      const code = Math.sign(scaled) * Math.round(Math.abs(scaled));
      bytes[k++] = code & 0xff;
      bytes[k++] = (code >> 8) & 0xff;
      bytes[k++] = (code >> 16) & 0xff;
    }
  }
  return bytes;
}

// Runs `seconds` of a stream through a Playout. `delay(k, emitMs)` gives packet k's
// network delay in ms (TCP keeps the order); `lose(k)` drops it; `seq(k)` numbers it; the
// studio's audio clock runs fast by `drift` (its packets stamped on the relay's clock). The sound card asks for `burst` quanta of 128
// frames at a time, and stalls between the two times of `pause`. Packet k is at the rate
// `rateOf(k)`, `signal(n, rate)` giving its sample n of the stream at that rate; its audio
// starts `early(k)` frames before its slot (a new form's encoder delay), less what overlaps
// the packet before it, as the page's form decoder trims it. Returns the
// output and what happened when.
export function simulate({ seconds, rate = 48000, outputRate = rate, rateOf = () => rate, early = () => 0, delay = () => 1, lose = () => false, drift = 0, seq = (k) => k, pause = [0, 0],
  signal = (n, at = rate) => 0.5 * Math.sin((2 * Math.PI * 441 * n) / at), burst = 4, options = {} }) {
  const playout = new Playout(outputRate, { warmUpMs: 0, ...options });
  playout.buffer.trace = [];
  const packetMs = 20;
  const offset = 5000; // the relay's clock runs ahead of ours
  const packets = Math.round(((seconds + 1) * 1000) / packetMs); // a second more than is played
  const arrivals = [];
  let lastArrival = 0;
  for (let k = 0; k < packets; k++) {
    const emit = (k + 1) * packetMs * (1 - drift);
    lastArrival = Math.max(lastArrival, emit + delay(k, emit));
    if (!lose(k)) arrivals.push({ k, at: lastArrival });
  }
  const out = new Float32Array(Math.round(seconds * outputRate));
  const levels = [];
  const quantum = 128;
  const left = new Float32Array(quantum);
  const right = new Float32Array(quantum);
  const callbackMs = (burst * quantum * 1000) / outputRate;
  let next = 0;
  let written = 0;
  for (let now = callbackMs; written < out.length; now += callbackMs) {
    if (now >= pause[0] && now < pause[1]) continue; // the audio thread stalls
    while (next < arrivals.length && arrivals[next].at <= now) {
      const { k, at } = arrivals[next++];
      const packetRate = rateOf(k);
      const lead = early(k);
      const skip = k ? Math.max(0, lead - (early(k - 1) * packetRate) / rateOf(k - 1)) : 0;
      const bytes = encodePacket(seq(k), k * packetMs * (1 - drift) + offset + ((skip - lead) * 1000) / packetRate, packetRate, 2,
        (f) => signal((k * packetRate) / 50 - lead + skip + f, packetRate), packetRate / 50 - skip);
      playout.push(bytes, now);
    }
    for (let q = 0; q < burst && written < out.length; q++) {
      // Until the first packet nothing reads the buffer: silence that the trace lacks.
      if (!playout.resampler) for (let i = 0; i < quantum; i++) playout.buffer.trace.push(UNDERRUN);
      playout.render(left, right, quantum, now);
      const n = Math.min(quantum, out.length - written);
      out.set(left.subarray(0, n), written);
      written += n;
    }
    levels.push({ now, levelMs: playout.levelMs, targetMs: playout.buffer.targetMs });
  }
  return { out, levels, trace: playout.buffer.trace, stats: playout.buffer.stats, playout };
}
