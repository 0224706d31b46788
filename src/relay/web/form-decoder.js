// Packets of any form in, PCM packets out, in the order they came: FLAC and Opus are
// decoded (codec-decoder.js: the browser's WebCodecs AudioDecoder, else WebAssembly) and
// written back as the PCM packet the player takes, with the sequence number and timestamp
// of the packet they came from, so that the player sees one stream whatever the form.
// Where the first packet after a "format" message (a change of form) overlaps audio
// already passed on, the overlap is dropped by its timestamp, and the numbers passed on
// keep increasing across the change.

import { openDecoder } from './codec-decoder.js';
import { CODEC, HEADER_BYTES, parseAnyHeader } from './packet.js';

const FULL_SCALE = 8388608; // a decoder gives a 24-bit sample as its code / 2^23
const KEY_SPACING_US = 20000; // chunks are numbered this far apart on the decoder's clock
const MAX_OVERLAP_MS = 40; // a larger overlap is no change of form: a new stream
const MAX_PENDING = 100;

const CODEC_NAMES = { [CODEC.flac]: 'flac', [CODEC.opus]: 'opus' };

function base64Bytes(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// The decoder configuration a relay's "format" message describes.
export function decoderConfig(message) {
  const codec = message.format;
  if (codec !== 'flac' && codec !== 'opus') return null;
  const config = { codec, sampleRate: message.rate, numberOfChannels: message.channels };
  if (codec === 'flac') config.description = base64Bytes(message.description || '');
  return config;
}

// `planes` (one Float32Array a channel) from frame `from` on, as a PCM packet.
function pcmPacket(header, planes, from, frames) {
  const channels = planes.length;
  const bytes = new Uint8Array(HEADER_BYTES + 3 * channels * frames);
  const view = new DataView(bytes.buffer);
  bytes.set([1, CODEC.pcm, channels, 0]);
  view.setUint32(4, header.rate, true);
  view.setUint32(8, header.seq >>> 0, true);
  view.setFloat64(12, header.timestamp, true);
  let k = HEADER_BYTES;
  for (let i = from; i < from + frames; i++) {
    for (let c = 0; c < channels; c++) {
      const code = Math.max(-FULL_SCALE, Math.min(FULL_SCALE - 1, Math.round(planes[c][i] * FULL_SCALE)));
      bytes[k++] = code & 0xff;
      bytes[k++] = (code >> 8) & 0xff;
      bytes[k++] = (code >> 16) & 0xff;
    }
  }
  return bytes;
}

function planesOf(bytes, header) {
  const frames = (bytes.length - HEADER_BYTES) / (3 * header.channels);
  const planes = Array.from({ length: header.channels }, () => new Float32Array(frames));
  let k = HEADER_BYTES;
  for (let i = 0; i < frames; i++) {
    for (let c = 0; c < header.channels; c++, k += 3)
      planes[c][i] = (((bytes[k] | (bytes[k + 1] << 8) | (bytes[k + 2] << 16)) << 8) >> 8) / FULL_SCALE;
  }
  return planes;
}

export class FormDecoder {
  // onPacket(ArrayBuffer): a PCM packet for the player; onError(format): the browser
  // could not decode that form.
  constructor({ onPacket, onError }) {
    this.onPacket = onPacket;
    this.onError = onError;
    this.configs = new Map(); // codec byte → the configuration the relay announced
    this.decoders = new Map(); // codec byte → {decoder, config}
    this.queue = []; // packets in arrival order: {header, bytes, planes, key, done}
    this.nextKey = 0;
    this.lastCodec = 0;
    this.changing = false; // the next packet is the first of a form
    this.lastSeq = -1;
    this.lastEnd = NaN; // relay-clock end of the audio passed on last
    this.seqShift = 0;
  }

  // A "format" message of the relay's.
  setFormat(message) {
    this.changing = true;
    const config = decoderConfig(message);
    if (config) this.configs.set(message.format === 'flac' ? CODEC.flac : CODEC.opus, config);
  }

  // One binary message (an ArrayBuffer).
  push(data) {
    const bytes = new Uint8Array(data);
    const header = parseAnyHeader(bytes);
    if (!header) return;
    if (this.queue.length >= MAX_PENDING) this.queue.shift(); // a decoder that stalls loses the oldest
    const first = this.changing;
    this.changing = false;
    if (header.codec === CODEC.pcm) {
      this.queue.push({ header, bytes, first, done: true });
      this.flush();
      return;
    }
    const decoder = this.decoderFor(header.codec);
    if (!decoder) return;
    const entry = { header, key: this.nextKey, decoder, first, done: false };
    this.nextKey += KEY_SPACING_US;
    this.queue.push(entry);
    try {
      decoder.decode(bytes.subarray(HEADER_BYTES), entry.key);
    } catch {
      this.fail(header.codec);
    }
  }

  decoderFor(codec) {
    const config = this.configs.get(codec);
    if (!config) {
      this.onError(CODEC_NAMES[codec]);
      return null;
    }
    const current = this.decoders.get(codec);
    if (current && current.config === config) return current.decoder;
    try {
      const decoder = current ? current.decoder : openDecoder(config, {
        output: (decoded) => this.decoded(decoder, decoded),
        error: () => this.fail(codec),
      });
      if (current) decoder.configure(config);
      this.decoders.set(codec, { decoder, config });
      return decoder;
    } catch {
      this.fail(codec);
      return null;
    }
  }

  // One decoded chunk: {timestamp, planes, sampleRate}.
  decoded(decoder, { timestamp, planes, sampleRate }) {
    // Chunks before this one that gave nothing are gone; a chunk no longer waited for
    // (the queue was full) finds no entry.
    let entry;
    for (const candidate of this.queue) {
      if (candidate.decoder !== decoder || candidate.done) continue;
      if (candidate.key > timestamp + KEY_SPACING_US / 2) break;
      if (candidate.key + KEY_SPACING_US <= timestamp) {
        candidate.done = true;
        continue;
      }
      entry = candidate;
      break;
    }
    if (entry) {
      entry.planes = planes;
      entry.header.rate = sampleRate;
      entry.header.timestamp += (timestamp - entry.key) / 1000;
      entry.done = true;
    }
    this.flush();
  }

  fail(codec) {
    const current = this.decoders.get(codec);
    this.decoders.delete(codec);
    if (current) {
      for (const entry of this.queue) if (entry.decoder === current.decoder) entry.done = true;
      current.decoder.close();
    }
    this.onError(CODEC_NAMES[codec]);
    this.flush();
  }

  // Passes on the packets at the front that are decoded, in order.
  flush() {
    while (this.queue.length && this.queue[0].done) {
      const entry = this.queue.shift();
      if (entry.bytes || entry.planes) this.emit(entry);
    }
  }

  emit({ header, bytes, planes, first }) {
    const frames = planes ? planes[0].length : (bytes.length - HEADER_BYTES) / (3 * header.channels);
    let from = 0;
    if (first && this.lastCodec) {
      const overlapMs = this.lastEnd - header.timestamp;
      if (overlapMs > 0 && overlapMs < MAX_OVERLAP_MS) from = Math.round((overlapMs * header.rate) / 1000);
      if (from >= frames) return;
      // A form that follows Opus starts again at Opus's last number: later audio all the same.
      const behind = (this.lastSeq - (header.seq + this.seqShift)) | 0;
      if (behind >= 0 && behind < MAX_OVERLAP_MS / 20) this.seqShift += behind + 1;
    }
    const out = { ...header, seq: (header.seq + this.seqShift) >>> 0, timestamp: header.timestamp + (from * 1000) / header.rate };
    let packet;
    if (from === 0 && bytes) packet = bytes;
    else packet = pcmPacket(out, planes || planesOf(bytes, header), from, frames - from);
    if (packet === bytes && this.seqShift) new DataView(packet.buffer, packet.byteOffset).setUint32(8, out.seq, true);
    this.lastCodec = header.codec;
    this.lastSeq = out.seq;
    this.lastEnd = out.timestamp + ((frames - from) * 1000) / header.rate;
    this.onPacket(packet.buffer.byteLength === packet.length ? packet.buffer : packet.slice().buffer);
  }

  close() {
    for (const { decoder } of this.decoders.values()) decoder.close();
    this.decoders.clear();
    this.queue = [];
  }
}
