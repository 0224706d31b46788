// The adaptive jitter buffer: packets in, a continuous stream of frames out, at the
// stream's own rate.
//
// Packets are ordered by sequence number; a missing packet is concealed by a short fade
// out and back in around its slot, a packet whose slot has passed is dropped. How much
// is held is steered by a LevelControl; surplus audio is cut by cross-fading a few
// milliseconds away where the signal repeats itself (or is quiet). Nothing is ever played
// twice, and silence is only played when nothing is buffered or for a lost packet.

import { ArrivalJitter } from './arrival-jitter.js';
import { LevelControl } from './level-control.js';
import { decodeInto } from './packet.js';
import { SlidingExtreme } from './sliding-extreme.js';
import { bestSkip } from './splice-point.js';

const AUDIO = 1;
const GAP = 2;
const ENTRIES = 256; // a power of two
const CAPACITY = 1 << 18; // frames, a power of two: over 2.7 s at 96 kHz
const MAX_GAP_PACKETS = 50; // a larger jump in sequence numbers starts the stream anew
const MAX_CONCEALED_PACKETS = 3; // a longer loss is cut out rather than played as silence
const FADE_MS = 3;
const SPLICE_MS = 5; // cross-fade length when dropping
const MAX_DROP_MS = 15; // a larger cut is a jump past a stall, its point sought within:
const JUMP_SEARCH_MS = 20;
const MIN_DROP_MS = 2.5;
const SPLICE_SPACING_MS = 60; // at most one splice in this much played audio
const CARD_STALL_MS = 200;

export const UNDERRUN = -1;
export const CONCEALED = -2;

const defaults = {
  marginMs: 4, // low-water mark beyond the measured jitter
  lateSlackMs: 20, // how much later than due a packet may be and still start playback
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
    this.control = new LevelControl(this.options.marginMs);
    this.lastReadMs = Infinity;
    this.onAir = true; // whether the relay says the studio is sending
    this.handingOver = false; // no more packets come: another buffer takes over when this one runs dry
    this.continuing = false; // takes over from another buffer, as soon as it has audio
    this.silentSinceMs = 0;
    this.played = 0; // frames read since the stream began
    this.nextSplice = 0; // `played` at which the next splice may come
    this.spliceMisses = 0;
    this.fading = 0; // frames of a splice's cross-fade still to play
    this.fadeLength = 0;
    this.fadeFrom = 0; // where the audio faded out continues in the sample ring
    this.transit = new SlidingExtreme(5, 2000, Math.min); // taken - timestamp
    // Arrivals are timed against the audio's own clock, the packets' numbers: timestamps
    // date a packet as the studio built it, which its sound card's rhythm makes uneven.
    this.jitter = new ArrivalJitter();
    this.arrivalAtMs = NaN; // when the last packet was taken: the packets taken with it are one arrival
    this.arrivalTransit = NaN; // its time from its audio's position
    this.stats = { underruns: 0, drops: 0, droppedMs: 0, concealments: 0, late: 0, lost: 0 };
    // Tests: for every frame read, its index in the stream (gaps counted), or UNDERRUN or
    // CONCEALED for silence.
    this.trace = null;
    this.sourceFrame = 0; // frames of the stream since it began, gaps included
  }

  get levelMs() {
    return this.rate ? (this.queued * 1000) / this.rate : 0;
  }

  // The level at which playback starts: the margin plus one packet.
  get targetMs() {
    return this.control.marginMs + this.packetMs;
  }

  // The speed change the resampler should make: +0.003 is 0.3 % faster.
  get adjust() {
    return this.control.adjust;
  }

  // The relay-clock time of the next frame to be read, or NaN.
  get playingTimestamp() {
    if (!this.count || !this.playing) return NaN;
    return this.timestamp[this.head] + (this.offset * 1000) / this.rate;
  }

  // Takes one packet (the message's bytes, its parsed header) at `nowMs` (local wall
  // clock); returns the header.
  push(bytes, header, nowMs) {
    if (header.rate !== this.rate || header.channels !== this.channels) this.reset(header);
    if (header.frames > this.packetFrames) {
      // A stream's first packet may be short (its start overlapped audio played before a
      // change of form): arrivals are timed by the packets' full length.
      this.packetFrames = header.frames;
      this.jitter.clear();
      this.arrivalTransit = NaN;
    }
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
        this.jitter.clear();
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
    this.transit.add(nowMs, nowMs - header.timestamp);
    const transit = nowMs - header.seq * this.packetMs;
    if (nowMs !== this.arrivalAtMs) {
      // What comes sooner after the previous arrival than the packets' spacing is the
      // rest of its burst (what a stall or one late packet held back, taken at the sound
      // card's next callbacks): only the burst's first lateness counts.
      const following = transit < this.arrivalTransit - this.packetMs / 4;
      this.arrivalAtMs = nowMs;
      this.arrivalTransit = transit;
      this.jitter.add(nowMs, transit, !following);
      this.control.jitterMs = this.jitter.jitterMs;
    }
    // The level before this packet, plus how much later than the fastest it came: the
    // lead it had over the playing position, whatever the network did to it.
    if (this.playing) this.control.observe(nowMs, this.levelMs + transit - this.jitter.minMs);
    decodeInto(bytes, header.channels, header.frames, this.left, this.right, this.writeAt, CAPACITY - 1);
    this.append(AUDIO, header.frames, header.timestamp, joined ? 1 : 0);
    this.nextSeq = (header.seq + 1) >>> 0;
    this.lastTimestamp = header.timestamp;
    return header;
  }

  // Takes over from `previous`, which plays out what it holds at another rate: the
  // counters carry on, running `previous` dry is no underrun, and this one starts as soon
  // as it runs dry.
  continueFrom(previous) {
    this.stats = previous.stats;
    this.trace = previous.trace;
    this.onAir = previous.onAir;
    this.everPlayed = true;
    this.continuing = true;
    previous.handingOver = true;
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
    this.control.forget();
    this.jitter.clear();
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
    // After the sound card stopped asking for a while, the levels from before say nothing.
    if (nowMs - this.lastReadMs > CARD_STALL_MS) this.control.forget();
    this.lastReadMs = nowMs;
    if (this.playing) {
      const adjust = this.control.adjust;
      this.control.moved((adjust * count * 1000) / (this.rate * (1 + adjust)));
      this.control.decide(nowMs, this.played >= this.nextSplice);
    }
    let done = 0;
    while (done < count) {
      if (!this.playing && !this.startPlaying(nowMs)) break;
      if (!this.count) {
        this.playing = false;
        // Running dry after the studio went off air is the end of the programme, not an
        // underrun.
        if (this.onAir && !this.handingOver) {
          this.stats.underruns++;
          this.control.underrun(nowMs);
          this.silentSinceMs = nowMs;
        }
        break;
      }
      if (this.control.dropWantedMs > 0 && this.gain === 1 && !this.fading && this.kind[this.head] === AUDIO)
        this.splice();
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
      this.control.resumed(nowMs - this.silentSinceMs);
      this.silentSinceMs = 0;
    }
    const targetFrames = (this.targetMs * this.rate) / 1000;
    const fastest = this.transit.value();
    while (this.count > 1 && this.queued - (this.frames[this.head] - this.offset) >= targetFrames) {
      // Joining starts at the live edge; later only packets that came too late are left out.
      const due = this.timestamp[this.head] + fastest + this.targetMs + this.options.lateSlackMs;
      if (this.everPlayed && nowMs <= due) break;
      const audio = this.kind[this.head] === AUDIO;
      const frames = this.dropHead();
      if (this.everPlayed) {
        if (audio) this.stats.late++;
        this.noteDrop(frames);
      }
    }
    // What the buffer handed over to this one held the margin: go on with what came since.
    if (this.queued < (this.continuing ? 1 : targetFrames) || nowMs < this.holdUntilMs) return false;
    this.continuing = false;
    this.gain = 0;
    this.playing = true;
    this.control.forget();
    this.everPlayed = true;
    return true;
  }

  noteDrop(frames) {
    if (frames <= 0) return;
    this.stats.drops++;
    this.stats.droppedMs += (frames * 1000) / this.rate;
    this.control.moved((frames * 1000) / this.rate);
  }

  get packetMs() {
    return this.rate ? (this.packetFrames * 1000) / this.rate : 20;
  }

  // Removes a few milliseconds by cross-fading the read position into a later one that
  // matches it.
  splice() {
    const rate = this.rate;
    const wanted = this.control.dropWantedMs;
    const fade = Math.round((SPLICE_MS * rate) / 1000);
    const beyond = 2 * fade + this.fadeFrames; // seamless audio needed past the cut
    // A jump goes no further than the seamless audio ahead; the rest waits for the next.
    const most = Math.min(Math.round((wanted * rate) / 1000), this.seamlessAhead(Infinity) - beyond);
    const shortest = Math.round((MIN_DROP_MS * rate) / 1000);
    const least = Math.max(shortest, wanted > MAX_DROP_MS ? most - Math.round((JUMP_SEARCH_MS * rate) / 1000) : 0);
    if (most < least) return;
    const from = this.start[this.head] + this.offset;
    // Demands less of the match the longer none has been found.
    const threshold = 0.9 - 0.02 * this.spliceMisses++;
    const skip = bestSkip(this.left, this.right, CAPACITY - 1, from, least, most, fade, threshold);
    if (skip < 0) return;
    this.spliceMisses = 0;
    this.nextSplice = this.played + Math.round((SPLICE_SPACING_MS * rate) / 1000);
    this.control.dropWantedMs = 0;
    this.fadeFrom = from;
    this.fading = this.fadeLength = fade;
    this.advance(skip);
    this.noteDrop(skip);
  }
}
