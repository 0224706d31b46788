// Where the audio thread publishes its figures in the shared (or posted) stats array.

export const STAT = Object.freeze({
  levelMs: 0,
  targetMs: 1,
  underruns: 2,
  drops: 3,
  droppedMs: 4,
  concealments: 5,
  late: 6,
  lost: 7,
  playingTimestamp: 8, // relay clock, ms, of the frame leaving the player now
  renderedAtMs: 9, // local wall clock when these figures were written
  streamRate: 10,
  channels: 11,
  peakLeft: 12,
  peakRight: 13,
  jitterMs: 14,
});

export const STAT_COUNT = 15;
