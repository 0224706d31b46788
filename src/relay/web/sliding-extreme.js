// The minimum (or maximum) of values over a sliding time window, kept as a few buckets
// of fixed duration so that adding and reading cost no allocation.

export class SlidingExtreme {
  constructor(buckets, bucketMs, pick) {
    this.bucketMs = bucketMs;
    this.pick = pick;
    this.empty = pick(-Infinity, Infinity) === -Infinity ? Infinity : -Infinity;
    this.values = new Float64Array(buckets);
    this.starts = new Float64Array(buckets);
    this.clear();
  }

  clear() {
    this.values.fill(this.empty);
    this.starts.fill(-Infinity);
    this.current = 0;
    this.since = Infinity;
  }

  add(nowMs, value) {
    if (this.since === Infinity) this.since = nowMs;
    if (nowMs - this.starts[this.current] >= this.bucketMs) {
      this.current = (this.current + 1) % this.values.length;
      this.values[this.current] = this.empty;
      this.starts[this.current] = nowMs;
      this.since = Math.max(this.since, this.oldestStart());
    }
    this.values[this.current] = this.pick(this.values[this.current], value);
  }

  // The extreme of the window; Infinity (for a minimum) or -Infinity when empty.
  value() {
    let result = this.empty;
    for (let i = 0; i < this.values.length; i++) result = this.pick(result, this.values[i]);
    return result;
  }

  // How long the window's values have been collected, in ms.
  span(nowMs) {
    return this.since === Infinity ? 0 : nowMs - this.since;
  }

  oldestStart() {
    const next = (this.current + 1) % this.values.length;
    return this.starts[next] === -Infinity ? this.since : this.starts[next];
  }
}
