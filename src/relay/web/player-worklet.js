// The audio thread's side of the player: takes packets from the shared ring (or from
// the port where memory cannot be shared), plays them through the jitter buffer and
// publishes its figures.

import { OutputTap } from './output-tap.js';
import { PacketRing } from './packet-ring.js';
import { Playout } from './playout.js';
import { STAT, STAT_COUNT } from './stats-layout.js';

const MAX_PACKET = 16384;
const METER_FALL_DB_PER_S = 20;
const POST_EVERY_MS = 50;

class PlayerProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const { ring, stats, tap } = options.processorOptions;
    this.playout = new Playout(sampleRate);
    this.ring = ring ? new PacketRing(ring) : null;
    this.scratch = new Uint8Array(MAX_PACKET);
    this.shared = Boolean(stats);
    this.stats = stats ? new Float64Array(stats) : new Float64Array(STAT_COUNT);
    this.lastPost = 0;
    this.peaks = [0, 0];
    this.tap = tap ? new OutputTap() : null;
    this.port.onmessage = (event) => this.onMessage(event.data);
  }

  onMessage(message) {
    if (message.type === 'packet') {
      this.playout.push(new Uint8Array(message.bytes), Date.now());
    } else if (message.type === 'onAir') {
      this.playout.setOnAir(message.onAir);
    } else if (message.type === 'takeTap') {
      const { left, right } = this.tap ? this.tap.take(message.discard) : { left: new Float32Array(0), right: new Float32Array(0) };
      this.port.postMessage({ type: 'tap', rate: sampleRate, left, right }, [left.buffer, right.buffer]);
    }
  }

  process(inputs, outputs) {
    const now = Date.now();
    if (this.ring) {
      for (let length = this.ring.read(this.scratch); length >= 0; length = this.ring.read(this.scratch))
        if (length > 0) this.playout.push(this.scratch.subarray(0, length), now);
    }
    const output = outputs[0];
    const left = output[0];
    const right = output[1] || output[0];
    this.playout.render(left, right, left.length, now);
    if (this.tap) this.tap.record(left, right);
    this.meter(left, 0);
    this.meter(right, 1);
    this.publish(now);
    return true;
  }

  // Peak meter: instant rise, a steady fall in dB.
  meter(samples, channel) {
    let peak = this.peaks[channel] * Math.pow(10, (-METER_FALL_DB_PER_S * samples.length) / sampleRate / 20);
    for (let i = 0; i < samples.length; i++) {
      const v = Math.abs(samples[i]);
      if (v > peak) peak = v;
    }
    this.peaks[channel] = peak;
  }

  publish(now) {
    const buffer = this.playout.buffer;
    const s = this.stats;
    s[STAT.levelMs] = this.playout.levelMs;
    s[STAT.targetMs] = buffer.targetMs;
    s[STAT.jitterMs] = buffer.jitter.jitterMs;
    s[STAT.underruns] = buffer.stats.underruns;
    s[STAT.drops] = buffer.stats.drops;
    s[STAT.droppedMs] = buffer.stats.droppedMs;
    s[STAT.concealments] = buffer.stats.concealments;
    s[STAT.late] = buffer.stats.late;
    s[STAT.lost] = buffer.stats.lost;
    s[STAT.playingTimestamp] = this.playout.playingTimestamp;
    s[STAT.renderedAtMs] = now;
    s[STAT.streamRate] = buffer.rate;
    s[STAT.channels] = buffer.channels;
    s[STAT.peakLeft] = this.peaks[0];
    s[STAT.peakRight] = this.peaks[1];
    if (!this.shared && now - this.lastPost >= POST_EVERY_MS) {
      this.lastPost = now;
      this.port.postMessage({ type: 'stats', stats: s });
    }
  }
}

registerProcessor('quorvel-player', PlayerProcessor);
