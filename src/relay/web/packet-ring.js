// A lock-free ring of packets in a SharedArrayBuffer, for one writer (the page) and one
// reader (the audio thread). Each record: its length (4 bytes), then its bytes; positions
// are byte counters that wrap at 2^32.

const CONTROL = 8; // write position, read position
const RECORD_HEADER = 4;

export class PacketRing {
  // capacity: a power of two, so that it divides the positions' wrap.
  static create(capacity = 1 << 18) {
    return new PacketRing(new SharedArrayBuffer(CONTROL + capacity));
  }

  constructor(shared) {
    this.shared = shared;
    this.positions = new Int32Array(shared, 0, 2);
    this.data = new Uint8Array(shared, CONTROL);
    this.capacity = this.data.length;
    this.header = new Uint8Array(RECORD_HEADER);
    this.headerView = new DataView(this.header.buffer);
  }

  // Adds a record; false when there is no room (the reader has fallen far behind).
  write(bytes) {
    const w = Atomics.load(this.positions, 0);
    const r = Atomics.load(this.positions, 1);
    const used = (w - r) >>> 0;
    if (used + RECORD_HEADER + bytes.length > this.capacity) return false;
    this.headerView.setUint32(0, bytes.length, true);
    this.copyIn(w, this.header);
    this.copyIn((w + RECORD_HEADER) >>> 0, bytes);
    Atomics.store(this.positions, 0, (w + RECORD_HEADER + bytes.length) | 0);
    return true;
  }

  // Takes the oldest record into `into`; returns its length, or -1 when the ring is empty.
  read(into) {
    const r = Atomics.load(this.positions, 1);
    const w = Atomics.load(this.positions, 0);
    if (r === w) return -1;
    this.copyOut(r, this.header, RECORD_HEADER);
    const length = this.headerView.getUint32(0, true);
    const fits = length <= into.length;
    if (fits) this.copyOut((r + RECORD_HEADER) >>> 0, into, length);
    Atomics.store(this.positions, 1, (r + RECORD_HEADER + length) | 0);
    return fits ? length : 0;
  }

  copyIn(position, bytes) {
    const at = (position >>> 0) % this.capacity;
    const first = Math.min(bytes.length, this.capacity - at);
    this.data.set(bytes.subarray(0, first), at);
    if (first < bytes.length) this.data.set(bytes.subarray(first), 0);
  }

  copyOut(position, into, length) {
    const at = (position >>> 0) % this.capacity;
    const first = Math.min(length, this.capacity - at);
    into.set(this.data.subarray(at, at + first), 0);
    if (first < length) into.set(this.data.subarray(0, length - first), first);
  }
}
