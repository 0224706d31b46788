// Tests' record of what the player rendered, for takeTap(). It writes into memory set
// aside once: allocating on the audio thread as it plays would bring garbage collections
// that delay the very timing the tests measure.

const FRAMES = 1 << 22; // the latest 87 s at 48 kHz are kept

export class OutputTap {
  constructor() {
    this.left = new Float32Array(FRAMES);
    this.right = new Float32Array(FRAMES);
    this.frames = 0;
  }

  // A quantum's output; its length divides FRAMES.
  record(left, right) {
    const at = this.frames % FRAMES;
    this.left.set(left, at);
    this.right.set(right, at);
    this.frames += left.length;
  }

  // What was recorded since the last take, oldest first (nothing if `discard`).
  take(discard) {
    const n = discard ? 0 : Math.min(this.frames, FRAMES);
    const from = (this.frames - n) % FRAMES;
    const copy = (samples) => {
      const out = new Float32Array(n);
      const first = Math.min(n, FRAMES - from);
      out.set(samples.subarray(from, from + first));
      out.set(samples.subarray(0, n - first), first);
      return out;
    };
    const taken = { left: copy(this.left), right: copy(this.right) };
    this.frames = 0;
    return taken;
  }
}
