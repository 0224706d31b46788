// What the page rendered, held against the private audio server's counter signal
// (scripts/test-signal.pl): sample n of channel c is (c + 1)/16 + (n mod 4096)/65536.
// Two things can be read back from any stretch of output, also after rate conversion
// (a low-pass filter keeps a constant and smears only the ramp's falls):
// - the gain the page applied: the right channel stays 1/16 above the left, so
//   16 × (right − left) is 1 at the source's level, 0 in silence; a jump in it is a click;
// - where in the programme it is: the left channel less the gain's 1/16 is the counter,
//   which climbs by one step a sample (by the playback rate's ratio when the page plays
//   a little faster or slower); a climb of 0 is a sample played twice, a fall is audio
//   played again, a leap is audio skipped.

const STEP = 1 / 65536;
const PERIOD = 4096;          // steps in one climb of the counter
const CLICK = 0.064;          // a change of gain from one sample to the next (a 5 ms fade: 0.004)
const FULL = 0.99, SILENT = 0.01;

// Steps wrapped into [-PERIOD/2, PERIOD/2).
const wrapped = (steps) => ((((steps + PERIOD / 2) % PERIOD) + PERIOD) % PERIOD) - PERIOD / 2;

// {runs: [[first, end)] at full level, skips and replays: [{at, steps}] (audio left out,
// audio played again), slips (the position moved by a fraction of a sample), clicks,
// overlapping (samples where two parts of the programme sound at once: gain 2), levelError (largest gain error at full level),
// silentSamples (between the first and the last sample at full level)}.
//
// Where the counter does not climb by about a step a sample (a fall, blurred or not; a
// cross-fade over a splice; a sample played twice), the samples on either side tell how
// far the programme moved against how much time passed.
export function analyse({ left, right }) {
  const n = left.length;
  const gain = new Float32Array(n), counter = new Float64Array(n);
  for (let i = 0; i < n; ++i) {
    gain[i] = 16 * (right[i] - left[i]);
    counter[i] = (left[i] / gain[i] - 1 / 16) / STEP;
  }
  const runs = [], skips = [], replays = [];
  let runStart = -1, clicks = 0, slips = 0, overlapping = 0, levelError = 0, silentSamples = 0, firstFull = -1, lastFull = -1, lastFollowing = -1;
  for (let i = 0; i < n; ++i) {
    if (i > 0 && Math.abs(gain[i] - gain[i - 1]) > CLICK) ++clicks;
    if (gain[i] > 1.5) ++overlapping;
    if (!(gain[i] > FULL && gain[i] < 2 - FULL)) {
      if (runStart >= 0) runs.push([runStart, i]);
      runStart = -1;
      continue;
    }
    if (firstFull < 0) firstFull = i;
    lastFull = i;
    levelError = Math.max(levelError, Math.abs(gain[i] - 1));
    if (runStart < 0) {
      runStart = lastFollowing = i;
      continue;
    }
    const climb = wrapped(counter[i] - counter[i - 1]);
    if (Math.abs(climb - 1) > 0.05) continue;  // steering changes the rate by 0.3 % at most
    if (lastFollowing < i - 1) {
      // The programme moved this far beyond (or short of) the time that passed.
      const moved = wrapped(counter[i] - counter[lastFollowing]) - (i - lastFollowing);
      if (moved > 2.5) skips.push({ at: i, steps: Math.round(moved) });
      else if (moved < -0.9) replays.push({ at: i, steps: Math.round(moved) });
      else if (Math.abs(moved) > 0.1) ++slips;
    }
    lastFollowing = i;
  }
  if (runStart >= 0) runs.push([runStart, n]);
  for (let i = firstFull; i >= 0 && i <= lastFull; ++i) if (Math.abs(gain[i]) < SILENT) ++silentSamples;
  return { runs, skips, replays, slips, clicks, overlapping, levelError, silentSamples };
}

// The replays that are not the page's cut of a surplus longer than `droppedSamples` allow:
// the counter climbs for PERIOD samples only, so a cut of PERIOD - n samples reads as n
// samples played again.
export function notCuts(replays, droppedSamples) {
  return replays.filter(({ steps }) => PERIOD + steps > droppedSamples + 2);
}

// The skips and replays of `result` that the audio did not already have when it reached
// the page (`source`: the jumps in what it received, as watchSource records them); each
// jump received explains one of the same size.
export function notInSource(result, source) {
  const jumps = [...source];
  const keep = (moves) => moves.filter(({ steps }) => {
    const at = jumps.findIndex((jump) => Math.abs(jump.steps - steps) <= 1);
    if (at >= 0) jumps.splice(at, 1);
    return at < 0;
  });
  return { replays: keep(result.replays), skips: keep(result.skips) };
}

// What a lossy coder leaves of the counter signal: its high-pass (Opus: 3 Hz) takes the
// constant parts out, and the climb is left, a sawtooth that falls by 4095 steps every
// PERIOD samples. The same high-pass over the whole of what was played, lossless parts
// too, makes one signal of it across a change of form. From its falls: the level (their
// median height), audio played twice or left out (falls further apart or closer than a period
// at `ratio` output samples a source sample, give or take the page's 0.3 % steering),
// and clicks (a step anywhere else). Coming back from the coder to lossless brings the
// constants back in one step, each channel by its own (the right one 1/16 more): such a
// step is counted apart, as a restoration. Gaps are silences of both channels (the climb
// passes 0 within a sample).
// {level, falls, replays, skips, clicks, restorations, gaps: [length]} (samples).
export function analyseClimb({ left, right, rate }, ratio = 1) {
  const n = left.length;
  const pole = (2 * Math.PI * 3) / rate;
  const highPass = (input) => {
    const output = new Float32Array(n);
    for (let i = 0, mean = input[0]; i < n; ++i) {
      mean += pole * (input[i] - mean);
      output[i] = input[i] - mean;
    }
    return output;
  };
  const l = highPass(left), r = highPass(right);
  const x = l.map((value, i) => (value + r[i]) / 2);
  const settled = Math.round(rate / 2);  // the high-pass's own start
  const falls = [];
  for (let i = settled; i + 40 < n; ++i) {
    if (x[i] - x[i - 6] > -0.03) continue;
    let at = i;
    for (let j = i; j < i + 16; ++j) if (x[j + 1] - x[j - 1] < x[at + 1] - x[at - 1]) at = j;
    falls.push(at);
    i = at + 64;
  }
  const mean = (from, to) => {
    let sum = 0;
    for (let i = from; i < to; ++i) sum += x[i];
    return sum / (to - from);
  };
  const heights = falls.filter((at) => at - 40 >= 0).map((at) => (mean(at - 40, at - 10) - mean(at + 10, at + 40)) *
    65536 / (4095 - 50 / ratio));
  // The median: a skip of the feed near a fall (a loaded machine) would tilt a mean.
  const level = heights.sort((a, b) => a - b)[heights.length >> 1];
  // Silence between two falls (an underrun, counted apart) is no audio played.
  const silent = new Int32Array(n + 1);
  for (let i = 0; i < n; ++i) silent[i + 1] = silent[i] + (Math.abs(left[i]) + Math.abs(right[i]) < 1e-6 ? 1 : 0);
  const period = PERIOD * ratio, slack = 0.004 * period + 2;
  const replays = [], skips = [];
  for (let k = 1; k < falls.length; ++k) {
    const moved = falls[k] - falls[k - 1] - (silent[falls[k]] - silent[falls[k - 1]]) - period;
    if (moved > slack) replays.push({ at: falls[k], steps: -Math.round(moved / ratio) });
    else if (moved < -slack) skips.push({ at: falls[k], steps: Math.round(-moved / ratio) });
  }
  let clicks = 0, restorations = 0, gap = 0;
  const gaps = [];
  for (let i = settled, next = 0; i < n; ++i) {
    while (next < falls.length && falls[next] < i - 12) ++next;
    const nearFall = next < falls.length && Math.abs(falls[next] - i) <= 12;
    if (!nearFall && i + 40 < n && Math.abs(x[i] - x[i - 1]) > 0.02) {  // falls are sought that far from the end
      // Over the step's few samples, the right channel rose 1/16 more than the left.
      const apart = (r[i + 2] - l[i + 2]) - (r[i - 2] - l[i - 2]);
      if (Math.abs(apart - 1 / 16) < 0.02 && l[i + 2] > l[i - 2]) ++restorations;
      else ++clicks;
      i += 4;
    }
    if (Math.abs(left[i]) + Math.abs(right[i]) < 1e-6) {
      ++gap;
    } else {
      if (gap > 2) gaps.push(gap);
      gap = 0;
    }
  }
  if (gap > 2) gaps.push(gap);
  return { level, falls: falls.length, replays, skips, clicks, restorations, gaps };
}
