// What the listener sees of the playback: the level meters, at up to 12.5 Hz and only when
// they move, and the figures twice a second. Nothing runs while nothing plays and nothing
// is written that has not changed: each change costs the browser a frame for its
// compositor (a meter's move nothing more: it is a transform), a figure's also a layout
// and a paint.

const METER_FLOOR_DB = -60;
const METER_EVERY_MS = 80;
const METER_STEP_DB = 0.5;
const FIGURES_EVERY = 6; // meter ticks, about half a second
const NONE = '—';
// One formatter for the page's life (toLocaleString makes one at every call).
const KILO = new Intl.NumberFormat('en', { maximumFractionDigits: 1 });
const kHz = (rate) => KILO.format(rate / 1000);

// The stream's format (`coding`: how its samples come), and the rate this device plays it
// at when that differs: the parts of the text that a narrow screen may put on lines of
// their own.
export function formatParts(streamRate, channels, playedRate, coding = '24-bit') {
  const format = `${kHz(streamRate)} kHz · ${coding}${channels === 1 ? ' · mono' : ''}`;
  if (!playedRate || playedRate === streamRate) return [format];
  return [`${format},`, `played at ${kHz(playedRate)} kHz by this device`];
}

function decibels(peak) {
  return peak > 0 ? Math.max(METER_FLOOR_DB, 20 * Math.log10(peak)) : METER_FLOOR_DB;
}

function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}

// Each part unbroken, a line break allowed only between them.
function setParts(element, parts) {
  if (element.textContent === parts.join(' ')) return;
  element.replaceChildren(...parts.flatMap((part, i) => {
    const span = document.createElement('span');
    span.textContent = part;
    return i ? [' ', span] : [span];
  }));
}

export class PlaybackView {
  // elements: {format, delay, loss, meters: [left, right]}; figures() returns what to show
  // ({heard, streamRate, channels, coding, contextRate, delayMs, lost, late, underruns, peaks}).
  constructor(elements, figures) {
    this.elements = elements;
    this.figures = figures;
    this.timer = 0;
    this.ticks = 0;
    this.levels = elements.meters.map(() => METER_FLOOR_DB); // dBFS each meter shows
  }

  // Whether something may play: the view follows it while it does.
  update(active) {
    if (active && !this.timer) {
      this.timer = setInterval(() => this.tick(), METER_EVERY_MS);
    } else if (!active && this.timer) {
      clearInterval(this.timer);
      this.timer = 0;
      this.show(null);
    }
  }

  tick() {
    const f = this.figures();
    this.elements.meters.forEach((meter, channel) => {
      const db = f.heard ? decibels(f.peaks[channel]) : METER_FLOOR_DB;
      if (Math.abs(this.levels[channel] - db) >= METER_STEP_DB) this.showLevel(channel, db);
    });
    if (this.ticks++ % FIGURES_EVERY === 0) this.show(f);
  }

  // The figures, or dashes while nothing has been heard.
  show(f) {
    const { format, delay, loss, meters } = this.elements;
    const heard = f && f.heard;
    setParts(format, heard ? formatParts(f.streamRate, f.channels, f.contextRate, f.coding) : [NONE]);
    setText(delay, heard && Number.isFinite(f.delayMs) ? `${Math.round(f.delayMs)} ms` : NONE);
    setText(loss, heard ? `${f.lost} lost · ${f.late} late · ${f.underruns} dropouts` : NONE);
    meters.forEach((meter, channel) => {
      if (!f) this.showLevel(channel, METER_FLOOR_DB);
      const value = String(Math.round(this.levels[channel]));
      if (meter.getAttribute('aria-valuenow') !== value) meter.setAttribute('aria-valuenow', value);
    });
  }

  // The cover hides the scale above the level.
  showLevel(channel, db) {
    this.levels[channel] = db;
    this.elements.meters[channel].firstElementChild.style.transform = `scaleX(${db / METER_FLOOR_DB})`;
  }
}
