// The audio packet on the wire: a 20-byte little-endian header, its second byte the
// codec, then for PCM interleaved signed 24-bit samples scaled by 2^23 - 1, for FLAC and
// Opus one encoded frame (see relay/link_forms.h).

export const HEADER_BYTES = 20;
export const CODEC = { pcm: 1, flac: 2, opus: 3 };
const SCALE = 8388607;

// The header of a packet of any codec ({codec, channels, rate, seq, timestamp}), or null.
export function parseAnyHeader(bytes) {
  if (bytes.length <= HEADER_BYTES || bytes[0] !== 1 || bytes[1] < CODEC.pcm || bytes[1] > CODEC.opus) return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, HEADER_BYTES);
  const channels = bytes[2];
  const rate = view.getUint32(4, true);
  if ((channels !== 1 && channels !== 2) || rate < 8000 || rate > 384000) return null;
  return { codec: bytes[1], channels, rate, seq: view.getUint32(8, true), timestamp: view.getFloat64(12, true) };
}

// The header's fields, or null when the bytes are not an audio packet.
export function parseHeader(bytes) {
  if (bytes.length < HEADER_BYTES || bytes[0] !== 1 || bytes[1] !== 1) return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, HEADER_BYTES);
  const channels = bytes[2];
  if (channels !== 1 && channels !== 2) return null;
  const rate = view.getUint32(4, true);
  const frames = (bytes.length - HEADER_BYTES) / (3 * channels);
  if (rate < 8000 || rate > 384000 || !Number.isInteger(frames) || frames === 0) return null;
  return { channels, rate, frames, seq: view.getUint32(8, true), timestamp: view.getFloat64(12, true) };
}

// The exact inverse of the encoder's scaling: the 24-bit two's complement code (as an
// unsigned integer) becomes the float that encodes back to the same code.
export function decodeSample(code) {
  return ((code << 8) >> 8) / SCALE;
}

// Decodes `frames` frames into the planar ring (left, right) starting at `at`; `mask` is
// the ring's length - 1. A mono packet fills both channels.
export function decodeInto(bytes, channels, frames, left, right, at, mask) {
  let k = HEADER_BYTES;
  for (let i = 0; i < frames; i++) {
    const j = (at + i) & mask;
    left[j] = decodeSample(bytes[k] | (bytes[k + 1] << 8) | (bytes[k + 2] << 16));
    if (channels === 2) {
      right[j] = decodeSample(bytes[k + 3] | (bytes[k + 4] << 8) | (bytes[k + 5] << 16));
      k += 6;
    } else {
      right[j] = left[j];
      k += 3;
    }
  }
}
