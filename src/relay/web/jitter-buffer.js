// The adaptive jitter buffer: packets in, a continuous stream of frames out, at the
// stream's own rate.
//
// Packets are ordered by sequence number; a missing packet is concealed by a short fade
// out and back in around its slot, a packet whose slot has passed is dropped. The amount
// buffered is steered toward a low-water mark: the lowest level seen just before packets
// arrive should sit at `marginMs`. An underrun raises the mark; a steady network lowers it
// again. Surplus audio is removed by cross-fading a few milliseconds away at a point
// where the signal repeats itself (or is quiet), or by playing slightly faster; a deficit
// by playing slightly slower. Nothing is ever played twice, and silence is only played
// when nothing is buffered or for a lost packet.

import { decodeInto, parseHeader } from './packet.js';
import { SlidingExtreme } from './sliding-extreme.js';

const AUDIO = 1;
const GAP = 2;
const ENTRIES = 256; // a power of two
const CAPACITY = 1 << 18; // frames, a power of two: over 2.7 s at 96 kHz
const MAX_GAP_PACKETS = 50; // a larger jump in sequence numbers starts the stream anew
const MAX_CONCEALED_PACKETS = 3; // a longer loss is cut out rather than played as silence
const FADE_MS = 3;
const SPLICE_MS = 5; // cross-fade length when dropping
const MAX_DROP_MS = 15; // the most removed by one splice
const MIN_DROP_MS = 2.5;
// Within these bounds around the margin the level is left alone: it moves by the sound
// card's callback size (about 10 ms) without any change in the network. Once speeding up
// it goes on to the lower bound, where playback starts as well.
const TOLERANCE_ABOVE_MS = 6;
const TOLERANCE_BELOW_MS = 6;
const SPEED_UNTIL_MS = 0;
const SPLICE_ABOVE_MS = 8; // a larger surplus is also cut, a few ms at a time
const STEADY_MS = 2000; // without an underrun this long, the network counts as steady
const RELAX_EVERY_MS = 500;
const SPEED = 0.003; // the rate change used to steer: 5 cents, 3 ms per second
const MAX_BOOST_MS = 300;
const SPLICE_SPACING_MS = 60; // at most one splice in this much played audio

export const UNDERRUN = -1;
export const CONCEALED = -2;

const defaults = {
  marginMs: 8, // low-water mark on a quiet network, beyond what the sound card's rhythm needs
  lateSlackMs: 20, // how much later than due a packet may be and still start playback
  // Extra margin at the start, given back once the network proves steady: a page that
  // has just loaded is busy and delivers its first packets unevenly.
  initialBoostMs: 20,
};

export class JitterBuffer {
  constructor(options = {}) {
    this.options = { ...defaults, ...options };
    this.left = new Float32Array(CAPACITY);
    this.right = new Float32Array(CAPACITY);
    this.kind = new Uint8Array(ENTRIES);
    this.frames = new Int32Array(ENTRIES);
    this.start = new Int32Array(ENTRIES); // position in the sample ring
    this.timestamp = new Float64Array(ENTRIES); // relay clock, ms, of the first frame
    this.joined = new Uint8Array(ENTRIES); // 1 when the entry follows its predecessor seamlessly
    this.head = 0;
    this.count = 0;
    this.offset = 0; // frames of the head entry already played
    this.writeAt = 0;
    this.queued = 0; // frames in all entries, minus `offset`
    this.rate = 0;
    this.channels = 0;
    this.packetFrames = 0;
    this.nextSeq = -1;
    this.lastTimestamp = -Infinity;
    this.playing = false;
    this.holdUntilMs = 0; // no playback before this time (local wall clock)
    this.everPlayed = false;
    this.gain = 0;
    this.fadeStep = 0;
    this.fadeFrames = 1;
    this.boostMs = this.options.initialBoostMs;
    this.callbackMs = 0; // the most the sound card has taken at once
    this.lastUnderrunMs = -Infinity;
    this.silentSinceMs = 0;
    this.lastBoostDecayMs = 0;
    this.adjust = 0;
    this.dropWanted = 0;
    this.speeding = false;
    this.played = 0; // frames read since the stream began
    this.nextSplice = 0; // `played` at which the next splice may come
    this.spliceMisses = 0;
    this.fading = 0; // frames of a splice's cross-fade still to play
    this.fadeLength = 0;
    this.fadeFrom = 0; // where the audio faded out continues in the sample ring
    // The level (ms) just before each packet arrives, shifted by `shift`: whatever the
    // buffer removes or adds later moves every remembered level along with it.
    this.shift = 0;
    this.levels = new SlidingExtreme(6, 500, Math.min);
    this.highLevels = new SlidingExtreme(6, 500, Math.max);
    this.transit = new SlidingExtreme(5, 2000, Math.min); // arrival - timestamp
    this.stats = { underruns: 0, drops: 0, droppedMs: 0, concealments: 0, late: 0, lost: 0 };
    // Tests: for every frame read, its index in the stream (gaps counted), or UNDERRUN or
    // CONCEALED for silence.
    this.trace = null;
    this.sourceFrame = 0; // frames of the stream since it began, gaps included
  }

  get levelMs() {
    return this.rate ? (this.queued * 1000) / this.rate : 0;
  }

  // The margin on a quiet network. The sound card takes `callbackMs` at once; when a
  // packet comes just too late for one callback, the level seen with the packet before
  // must carry two callbacks less one packet.
  get baseMarginMs() {
    return Math.max(0, 2 * this.callbackMs - this.packetMs) + this.options.marginMs;
  }

  get marginMs() {
    return this.baseMarginMs + this.boostMs;
  }

  // The level at which playback starts: the margin plus one packet.
  get targetMs() {
    return this.marginMs + this.packetMs;
  }

  // The relay-clock time of the next frame to be read, or NaN.
  get playingTimestamp() {
    if (!this.count || !this.playing) return NaN;
    return this.timestamp[this.head] + (this.offset * 1000) / this.rate;
  }

  // Takes one packet (the message's bytes), received at `arrivalMs` (local wall clock);
  // `nowMs` is the local time now. Returns the header, or null for anything else.
  push(bytes, arrivalMs, nowMs) {
    const header = parseHeader(bytes);
    if (!header) return null;
    if (header.rate !== this.rate || header.channels !== this.channels) this.reset(header);
    let joined = this.nextSeq >= 0;
    if (joined) {
      const ahead = (header.seq - this.nextSeq) | 0;
      // Behind in sequence yet no newer: a repeat or a straggler.
      if (ahead < 0 && ahead > -MAX_GAP_PACKETS && header.timestamp <= this.lastTimestamp) {
        this.stats.late++;
        return header;
      }
      if (ahead < 0 || ahead > MAX_GAP_PACKETS) {
        joined = false; // the broadcaster started again (its numbers from 0): a new stream
      } else if (ahead > MAX_CONCEALED_PACKETS) {
        // A long loss is not worth waiting through in silence: the stream resumes at once.
        this.stats.lost += ahead;
        joined = false;
      } else if (ahead > 0) {
        this.stats.lost += ahead;
        this.stats.concealments++;
        this.append(GAP, ahead * header.frames, header.timestamp - (ahead * header.frames * 1000) / header.rate, 0);
      }
    }
    if (this.count === ENTRIES || CAPACITY - this.writeSpan() < header.frames) {
      const frames = this.dropHead(); // far behind: the oldest audio makes room
      if (this.everPlayed) this.noteDrop(frames);
    }
    const levelBefore = this.levelMs;
    this.transit.add(nowMs, arrivalMs - header.timestamp);
    if (this.playing) {
      this.levels.add(nowMs, levelBefore - this.shift);
      this.highLevels.add(nowMs, levelBefore - this.shift);
    }
    decodeInto(bytes, header.channels, header.frames, this.left, this.right, this.writeAt, CAPACITY - 1);
    this.append(AUDIO, header.frames, header.timestamp, joined ? 1 : 0);
    this.nextSeq = (header.seq + 1) >>> 0;
    this.lastTimestamp = header.timestamp;
    return header;
  }

  reset(header) {
    this.head = this.count = this.offset = this.queued = this.writeAt = 0;
    this.rate = header.rate;
    this.channels = header.channels;
    this.packetFrames = header.frames;
    this.fadeFrames = Math.max(1, Math.round((FADE_MS * header.rate) / 1000));
    this.fadeStep = 1 / this.fadeFrames;
    this.nextSeq = -1;
    this.playing = false;
    this.levels.clear();
    this.highLevels.clear();
  }

  append(kind, frames, timestamp, joined) {
    const e = (this.head + this.count) & (ENTRIES - 1);
    this.kind[e] = kind;
    this.frames[e] = frames;
    this.start[e] = this.writeAt;
    this.timestamp[e] = timestamp;
    this.joined[e] = joined;
    this.count++;
    this.queued += frames;
    if (kind === AUDIO) this.writeAt = (this.writeAt + frames) & (CAPACITY - 1);
  }

  // Frames of the sample ring in use, from the head's samples to the write position.
  writeSpan() {
    if (!this.count) return 0;
    return (this.writeAt - this.start[this.head] + CAPACITY) & (CAPACITY - 1);
  }

  dropHead() {
    const frames = this.frames[this.head] - this.offset;
    this.queued -= frames;
    this.head = (this.head + 1) & (ENTRIES - 1);
    this.count--;
    this.offset = 0;
    this.sourceFrame += frames;
    return frames;
  }

  // Consumes `frames` frames from the front (whole entries or part of the head).
  advance(frames) {
    while (frames > 0 && this.count) {
      const left = this.frames[this.head] - this.offset;
      if (frames < left) {
        this.offset += frames;
        this.queued -= frames;
        this.sourceFrame += frames;
        return;
      }
      frames -= left;
      this.dropHead();
    }
  }

  // Uninterrupted audio ahead of the read position, counted up to `limit` frames.
  seamlessAhead(limit) {
    let total = 0;
    for (let k = 0; k < this.count && total < limit; k++) {
      const e = (this.head + k) & (ENTRIES - 1);
      if (this.kind[e] !== AUDIO || (k > 0 && !this.joined[e])) break;
      total += this.frames[e] - (k === 0 ? this.offset : 0);
    }
    return total;
  }

  // Reads `count` frames into left/right from index `at`, at `nowMs` (local wall clock).
  read(left, right, at, count, nowMs) {
    if (this.playing) this.shift -= (this.adjust * count * 1000) / (this.rate * (1 + this.adjust));
    this.steer(nowMs);
    let done = 0;
    while (done < count) {
      if (!this.playing && !this.startPlaying(nowMs)) break;
      if (!this.count) {
        this.playing = false;
        this.stats.underruns++;
        this.lastUnderrunMs = nowMs;
        this.silentSinceMs = nowMs;
        break;
      }
      if (this.dropWanted > 0 && this.gain === 1 && !this.fading && this.kind[this.head] === AUDIO) this.splice();
      const e = this.head;
      const available = Math.min(this.frames[e] - this.offset, count - done);
      if (this.kind[e] === GAP) {
        this.silence(left, right, at + done, available, CONCEALED);
        this.gain = 0;
        this.advance(available);
        done += available;
        continue;
      }
      done += this.copy(left, right, at + done, available);
    }
    this.silence(left, right, at + done, count - done, UNDERRUN);
    this.played += count;
    return done;
  }

  silence(left, right, at, n, reason) {
    left.fill(0, at, at + n);
    right.fill(0, at, at + n);
    if (this.trace) for (let i = 0; i < n; i++) this.trace.push(reason);
  }

  // Copies from the head entry, fading in after silence and out before a gap or the end.
  copy(left, right, at, n) {
    const ahead = this.seamlessAhead(n + this.fadeFrames);
    const from = this.start[this.head] + this.offset;
    const mask = CAPACITY - 1;
    if (this.gain === 1 && ahead >= n + this.fadeFrames && !this.fading) {
      for (let i = 0; i < n; i++) {
        left[at + i] = this.left[(from + i) & mask];
        right[at + i] = this.right[(from + i) & mask];
      }
    } else {
      let gain = this.gain;
      for (let i = 0; i < n; i++) {
        gain = Math.min(gain + this.fadeStep, 1, (ahead - i) * this.fadeStep);
        let l = this.left[(from + i) & mask];
        let r = this.right[(from + i) & mask];
        if (this.fading) {
          const w = (this.fadeLength - this.fading + 0.5) / this.fadeLength;
          const old = this.fadeFrom++ & mask;
          l = this.left[old] * (1 - w) + l * w;
          r = this.right[old] * (1 - w) + r * w;
          this.fading--;
        }
        left[at + i] = l * gain;
        right[at + i] = r * gain;
      }
      this.gain = gain;
    }
    if (this.trace) for (let i = 0; i < n; i++) this.trace.push(this.sourceFrame + i);
    this.advance(n);
    return n;
  }

  // Starts (or resumes) once the target is buffered, leaving out packets that came too
  // late to be worth waiting for when newer ones can take their place.
  startPlaying(nowMs) {
    if (this.silentSinceMs) {
      // After an underrun: a larger margin, by half the silence (within bounds).
      const silentMs = nowMs - this.silentSinceMs;
      this.boostMs = Math.min(MAX_BOOST_MS, this.boostMs + Math.min(Math.max(silentMs / 2, 10), 40));
      this.silentSinceMs = 0;
    }
    const targetFrames = (this.targetMs * this.rate) / 1000;
    const fastest = this.transit.value();
    while (this.count > 1 && this.queued - (this.frames[this.head] - this.offset) >= targetFrames) {
      // Joining starts at the live edge; later only packets that came too late are left out.
      const due = this.timestamp[this.head] + fastest + this.targetMs + this.options.lateSlackMs;
      if (this.everPlayed && nowMs <= due) break;
      // Joining, this only skips to the live edge; later it drops audio that came too late.
      const audio = this.kind[this.head] === AUDIO;
      const frames = this.dropHead();
      if (this.everPlayed) {
        if (audio) this.stats.late++;
        this.noteDrop(frames);
      }
    }
    if (this.queued < targetFrames || nowMs < this.holdUntilMs) return false;
    this.gain = 0;
    this.playing = true;
    this.everPlayed = true;
    this.levels.clear();
    this.highLevels.clear();
    return true;
  }

  noteDrop(frames) {
    if (frames <= 0) return;
    this.stats.drops++;
    this.stats.droppedMs += (frames * 1000) / this.rate;
    this.shift -= (frames * 1000) / this.rate;
  }

  // Decides, once per read, how much to remove and how fast to play.
  steer(nowMs) {
    this.dropWanted = 0;
    this.adjust = 0;
    if (!this.playing || this.levels.span(nowMs) < 1000) return;
    const low = this.levels.value() + this.shift;
    const excess = low - this.marginMs;
    this.relax(nowMs, low);
    if (excess > SPLICE_ABOVE_MS && this.played >= this.nextSplice)
      this.dropWanted = Math.min(excess - SPEED_UNTIL_MS, MAX_DROP_MS);
    this.speeding = excess > TOLERANCE_ABOVE_MS || (this.speeding && excess > SPEED_UNTIL_MS);
    if (this.speeding) this.adjust = SPEED;
    else if (excess < -TOLERANCE_BELOW_MS) this.adjust = -SPEED;
  }

  // After a steady spell, gives back half of the extra margin that the spread of the
  // levels (how unevenly packets came, beyond the sound card's own rhythm) does not need.
  relax(nowMs, low) {
    if (nowMs - this.lastUnderrunMs < STEADY_MS || nowMs - this.lastBoostDecayMs < RELAX_EVERY_MS) return;
    this.lastBoostDecayMs = nowMs;
    const spread = this.highLevels.value() + this.shift - low;
    const needed = Math.max(0, spread - this.callbackMs - this.packetMs);
    if (this.boostMs > needed) this.boostMs = Math.max(needed, this.boostMs / 2 - 1);
  }

  get packetMs() {
    return this.rate ? (this.packetFrames * 1000) / this.rate : 20;
  }

  // Removes a few milliseconds by cross-fading the read position into a later one that
  // matches it best (a whole number of periods ahead in pitched sound; anywhere in quiet).
  splice() {
    const rate = this.rate;
    const fade = Math.round((SPLICE_MS * rate) / 1000);
    const most = Math.round((this.dropWanted * rate) / 1000);
    const least = Math.round((MIN_DROP_MS * rate) / 1000);
    if (most < least || this.seamlessAhead(most + 2 * fade + this.fadeFrames) < most + 2 * fade + this.fadeFrames) return;
    const from = this.start[this.head] + this.offset;
    // Demands less of the match the longer none has been found.
    const skip = this.bestSkip(from, least, most, fade, 0.9 - 0.02 * this.spliceMisses++);
    if (skip < 0) return;
    this.spliceMisses = 0;
    this.nextSplice = this.played + Math.round((SPLICE_SPACING_MS * rate) / 1000);
    this.dropWanted = 0;
    this.fadeFrom = from;
    this.fading = this.fadeLength = fade;
    this.advance(skip);
    this.noteDrop(skip);
  }

  // The skip (frames) whose segment correlates best with the one at `from`, or -1 when
  // none matches well enough to splice without an audible seam.
  bestSkip(from, least, most, length, threshold) {
    const mask = CAPACITY - 1;
    const L = this.left;
    const R = this.right;
    let energy = 0;
    for (let i = 0; i < length; i++) {
      const a = (from + i) & mask;
      energy += L[a] * L[a] + R[a] * R[a];
    }
    if (energy / length < 1e-6) return most; // quieter than -60 dBFS: any cut is inaudible
    let best = -1;
    let bestScore = threshold;
    for (let skip = least; skip <= most; skip++) {
      let cross = 0;
      let other = 0;
      for (let i = 0; i < length; i += 2) {
        const a = (from + i) & mask;
        const b = (from + skip + i) & mask;
        cross += L[a] * L[b] + R[a] * R[b];
        other += L[b] * L[b] + R[b] * R[b];
      }
      const score = cross / Math.sqrt((energy / 2) * other + 1e-20);
      if (score > bestScore) {
        bestScore = score;
        best = skip;
      }
    }
    return best;
  }
}
