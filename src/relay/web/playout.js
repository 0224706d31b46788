// Packets in, audio at the output's rate out: the jitter buffer followed by the rate
// converter, which also carries out the buffer's small speed changes. A change of the
// stream's rate while playing (lossless at 96 kHz to Opus at 48 kHz) is a handover: what
// is buffered at the old rate plays out while the new rate's packets, which continue
// where it ends, fill a second buffer that takes over at once.

import { JitterBuffer } from './jitter-buffer.js';
import { parseHeader } from './packet.js';
import { Resampler } from './resampler.js';

export class Playout {
  // options: the jitter buffer's, and warmUpMs: how long to wait before playing, after the
  // sound card starts and after a stream's first packet (300 ms unless given).
  constructor(outputRate, options = {}) {
    this.outputRate = outputRate;
    this.warmUpMs = options.warmUpMs ?? 300;
    this.options = options;
    this.buffer = new JitterBuffer(options);
    this.resampler = null;
    this.next = null; // {buffer, resampler} waiting for the current buffer to play out
    this.now = 0;
    this.started = false;
    this.pull = (left, right, at, count) => this.buffer.read(left, right, at, count, this.now);
  }

  // One packet's bytes, taken at `nowMs`; returns its header or null.
  push(bytes, nowMs) {
    const header = parseHeader(bytes);
    if (!header) return null;
    const { rate } = header;
    if (this.next && rate === this.next.buffer.rate) return this.next.buffer.push(bytes, header, nowMs);
    if (this.buffer.playing && rate !== this.buffer.rate) {
      this.next = { buffer: new JitterBuffer(this.options), resampler: new Resampler(rate, this.outputRate) };
      this.next.buffer.continueFrom(this.buffer);
      return this.next.buffer.push(bytes, header, nowMs);
    }
    this.buffer.push(bytes, header, nowMs);
    if (!this.resampler || this.resampler.inRate !== rate) {
      this.resampler = new Resampler(rate, this.outputRate);
      // The page is still busy starting up when the first packets come, and delivers them
      // unevenly: start once that has passed.
      this.buffer.holdUntilMs = Math.max(this.buffer.holdUntilMs, nowMs + this.warmUpMs);
    }
    return header;
  }

  render(left, right, n, nowMs) {
    if (!this.started) {
      // A sound card that has just started takes a few buffers at once: let it have them
      // in silence rather than start with an underrun.
      this.started = true;
      this.buffer.holdUntilMs = nowMs + this.warmUpMs;
    }
    if (!this.resampler) {
      left.fill(0, 0, n);
      right.fill(0, 0, n);
      return;
    }
    this.now = nowMs;
    this.resampler.setAdjust(this.buffer.adjust);
    this.resampler.render(left, right, n, this.pull);
    if (this.next && !this.buffer.playing) {
      ({ buffer: this.buffer, resampler: this.resampler } = this.next);
      this.next = null;
    }
  }

  // Whether the relay says the studio is sending.
  setOnAir(onAir) {
    this.buffer.onAir = onAir;
    if (this.next) this.next.buffer.onAir = onAir;
  }

  // Audio taken from the buffer but not yet played, in ms.
  get pendingMs() {
    return this.resampler ? (this.resampler.pendingFrames * 1000) / this.buffer.rate : 0;
  }

  // Audio buffered ahead of the output, in ms.
  get levelMs() {
    return this.buffer.levelMs + this.pendingMs + (this.next ? this.next.buffer.levelMs : 0);
  }

  // The relay-clock time of the frame leaving now, or NaN.
  get playingTimestamp() {
    return this.buffer.playingTimestamp - this.pendingMs;
  }
}
