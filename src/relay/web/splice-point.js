// Where to cut: the skip (frames) after which the signal at `from` + skip best matches
// the one at `from` (normalised cross-correlation of both channels over `length` frames),
// so that a cross-fade between them leaves no seam — a whole number of periods ahead in
// pitched sound, anywhere in near silence. -1 when no skip in [least, most] scores above
// `threshold`.

const QUIET = 1e-6; // mean power below -60 dBFS: any cut is inaudible

export function bestSkip(left, right, mask, from, least, most, length, threshold) {
  let energy = 0;
  for (let i = 0; i < length; i++) {
    const a = (from + i) & mask;
    energy += left[a] * left[a] + right[a] * right[a];
  }
  if (energy / length < QUIET) return most;
  let best = -1;
  let bestScore = threshold;
  for (let skip = least; skip <= most; skip++) {
    let cross = 0;
    let other = 0;
    // Every second frame is plenty to find the match, at half the cost.
    for (let i = 0; i < length; i += 2) {
      const a = (from + i) & mask;
      const b = (from + skip + i) & mask;
      cross += left[a] * left[b] + right[a] * right[b];
      other += left[b] * left[b] + right[b] * right[b];
    }
    const score = cross / Math.sqrt((energy / 2) * other + 1e-20);
    if (score > bestScore) {
      bestScore = score;
      best = skip;
    }
  }
  return best;
}
