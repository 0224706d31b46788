// The listener's page: joins the link given in the address, plays it, and shows what a
// listener wants to know. `window.quorvel` lets tests follow along.

import { AudioOutput } from './audio-output.js';
import { Connection } from './connection.js';
import { canDecode } from './codec-decoder.js';
import { FormDecoder } from './form-decoder.js';
import { CODEC } from './packet.js';
import { PlaybackView } from './playback-view.js';
import { QualityChoice } from './quality.js';

const TEXTS = {
  idle: 'Enter the password you were given, then press Listen.',
  connecting: 'Connecting…',
  reconnecting: 'Connection lost — reconnecting…',
  unreachable: 'Can’t reach the server — retrying…',
  wrong_password: 'Wrong password. Check it and press Listen again.',
  no_such_link: 'This link doesn’t exist or has ended. Ask the studio for a new one.',
  full: 'This link already has as many listeners as it allows. Try again later.',
  waiting: 'Connected — waiting for the studio to go on air…',
  on_air: 'On air — listening.',
  ended: 'The studio has ended this link.',
  shutting_down: 'The server is restarting — reconnecting…',
  audio_blocked: 'Your browser is holding the sound back. Press Start audio to hear the studio.',
  stopped: 'Stopped. Press Listen to hear the studio again.',
  too_many_attempts: 'Too many wrong passwords. Wait a few minutes, then try again.',
  unsupported: 'This browser can’t play the stream. Try a current Chrome, Edge, Firefox or Safari.',
  insecure: 'This page can only play sound over a secure (https://) address. Ask the studio for one.',
};
const BLOCKED_AFTER_MS = 500; // a context still suspended this long after a start is blocked
// Refusals and failures the listener must act on: shown as errors, not as news.
const ERRORS = new Set(['wrong_password', 'no_such_link', 'full', 'too_many_attempts', 'unsupported', 'insecure']);
const PAGE_TITLE = document.title;
const QUALITY_EVERY_MS = 1000;
// What plays and why, as the listener reads it.
const FORM_NAMES = { pcm: 'Lossless', flac: 'Lossless', opus: (kbps) => `Opus ${kbps} kb/s` };
const CODEC_NAMES = { [CODEC.pcm]: 'pcm', [CODEC.flac]: 'flac', [CODEC.opus]: 'opus' };
const CODINGS = { [CODEC.pcm]: () => '24-bit', [CODEC.flac]: () => 'FLAC 24-bit', [CODEC.opus]: (kbps) => `Opus ${kbps} kb/s` };
const REASONS = {
  chosen: 'as you chose',
  start: 'the connection carries it',
  trying: 'trying it again, the connection looks better',
  too_slow_lossless: 'the connection is too slow for lossless',
  too_slow: 'the connection is too slow for more',
  no_opus: 'this browser can’t play Opus',
};

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const session = decodeURIComponent(location.pathname.split('/').filter(Boolean).pop() || '');
const socketUrl = `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/ws/listen`;
const environment = {
  WebSocket,
  setTimeout: (f, ms) => setTimeout(f, ms),
  clearTimeout: (id) => clearTimeout(id),
  now: () => Date.now(),
};

// Test hooks: ?tap=1 keeps what is played for takeTap(); ?contextRate=N plays through a
// context at N Hz whatever the stream's rate.
const output = new AudioOutput({
  tap: params.get('tap') === '1',
  contextRate: Number(params.get('contextRate')) || 0,
  onStateChange: () => {
    if (output.failed && connection) connection.stop(); // nothing could play what comes
    render();
  },
});
let connection = null;
let arriving = {}; // the form the relay last announced
const quality = new QualityChoice({ choice: readSetting('quality', 'auto') });
const decoder = new FormDecoder({
  onPacket: (data) => output.push(data),
  onError: (format) => {
    if (quality.undecodable(format, Date.now())) takeForm();
  },
});
let wasJoined = false;
let suspendedSince = 0;
let status = 'idle';
const history = ['idle'];

function readSetting(key, fallback) {
  try {
    const value = localStorage.getItem(`quorvel.${key}`);
    return value === null ? fallback : value;
  } catch {
    return fallback;
  }
}

function writeSetting(key, value) {
  try {
    localStorage.setItem(`quorvel.${key}`, String(value));
  } catch {
    // Private browsing: the setting just is not remembered.
  }
}

// The state a listener should see: the connection's, unless the browser holds the sound.
function currentStatus() {
  if (output.failed) return 'unsupported';
  const base = connection ? connection.status : status;
  if ((base === 'on_air' || base === 'waiting') && output.context && !output.running) {
    // Without a click or key press in the page the browser will not start the sound;
    // with one, a context takes a moment to start.
    if (!navigator.userActivation?.hasBeenActive) return 'audio_blocked';
    if (!suspendedSince) {
      suspendedSince = Date.now();
      setTimeout(render, BLOCKED_AFTER_MS);
    }
    if (Date.now() - suspendedSince >= BLOCKED_AFTER_MS) return 'audio_blocked';
  } else {
    suspendedSince = 0;
  }
  return base;
}

function render() {
  if (connection) output.setOnAir(connection.status === 'on_air');
  const next = currentStatus();
  if (next === 'on_air' || next === 'waiting') wasJoined = true;
  if (next !== status) {
    status = next;
    history.push(next);
  }
  let text = TEXTS[next];
  if (next === 'connecting' && wasJoined) text = TEXTS.reconnecting;
  if (next === 'unsupported' && !window.isSecureContext) text = TEXTS.insecure;
  if ($('status').textContent !== text) $('status').textContent = text;
  $('status').classList.toggle('error', ERRORS.has(next));
  $('start-audio').hidden = next !== 'audio_blocked';
  $('stop').disabled = !(connection && connection.running);
  const name = connection?.linkName;
  if (name && $('title').textContent !== name) {
    $('title').textContent = name;
    document.title = `${name} — ${PAGE_TITLE}`;
  }
  figures.update(output.node !== null);
}

function listen(event) {
  event.preventDefault();
  output.unlock();
  if (connection && connection.running) return; // already listening: nothing changes
  const password = $('password').value;
  if (!password) {
    $('password').focus();
    return;
  }
  wasJoined = false;
  connection = new Connection({
    url: socketUrl,
    session,
    password,
    env: environment,
    onStatus: render,
    onPacket: (data) => decoder.push(data),
    form: quality.form,
    onFormat: (message) => {
      arriving = { format: message.format, kbps: message.format === 'opus' ? message.kbps : undefined };
      decoder.setFormat(message);
      if (message.format !== 'opus') quality.stream(message.rate, message.channels);
    },
  });
  connection.start();
}

function stop() {
  if (connection) connection.stop();
  decoder.close();
  output.stop();
  render();
}

function stats() {
  const offset = connection ? connection.clock.offsetMs : NaN;
  const outputLatencyMs = output.outputLatencyMs;
  const playing = output.stat('playingTimestamp');
  return {
    bufferMs: output.stat('levelMs'),
    targetMs: output.stat('targetMs'),
    jitterMs: output.stat('jitterMs'),
    underruns: output.stat('underruns'),
    drops: output.stat('drops'),
    droppedMs: output.stat('droppedMs'),
    concealments: output.stat('concealments'),
    late: output.stat('late'),
    lost: output.stat('lost'),
    delayMs: output.stat('renderedAtMs') + offset - playing + outputLatencyMs,
    playingTimestamp: playing,
    renderedAtMs: output.stat('renderedAtMs'),
    outputLatencyMs,
    streamRate: output.stat('streamRate'),
    contextRate: output.context ? output.context.sampleRate : 0,
    channels: output.stat('channels'),
  };
}

const figures = new PlaybackView(
  { format: $('format'), delay: $('delay'), loss: $('loss'), meters: [$('meter-left'), $('meter-right')] },
  () => {
    const s = stats();
    return { ...s, heard: Boolean(output.node && s.streamRate), delayMs: status === 'on_air' ? s.delayMs : NaN,
      coding: CODINGS[decoder.lastCodec]?.(quality.form.kbps),
      peaks: [output.stat('peakLeft'), output.stat('peakRight')] };
  });

// The form Auto or the listener chose, taken at once, and why it plays.
function takeForm() {
  if (connection) connection.setForm(quality.form);
  showForm();
}

function formText() {
  const { format, kbps } = quality.form;
  const name = format === 'opus' ? FORM_NAMES.opus(kbps) : FORM_NAMES[format];
  let reason = quality.choice === 'auto' ? quality.reason : 'chosen';
  if (!['auto', 'lossless'].includes(quality.choice) && format !== 'opus') reason = 'no_opus';
  if (reason === 'too_slow' && kbps === 256) reason = 'too_slow_lossless';
  return `${name} — ${REASONS[reason]}`;
}

function showForm() {
  const text = formText();
  if ($('form').textContent !== text) $('form').textContent = text;
}

function watchLine() {
  const s = stats();
  const playing = Boolean(connection && connection.status === 'on_air' && output.running && s.streamRate);
  const counters = { troubles: s.lost + s.late + s.underruns, lost: s.lost, bytes: connection ? connection.bytes : 0,
    playing, arriving };
  if (quality.observe(counters, Date.now())) takeForm();
  else showForm();
}

// The volume is remembered once the listener has settled on it, not at every step of the
// slider.
const VOLUME_SAVE_AFTER_MS = 1000;
let volumeSave = 0;
$('join').addEventListener('submit', listen);
$('stop').addEventListener('click', stop);
$('start-audio').addEventListener('click', () => output.unlock());
$('volume').value = readSetting('volume', 1);
output.setVolume(Number($('volume').value));
$('volume').addEventListener('input', () => {
  output.setVolume(Number($('volume').value));
  clearTimeout(volumeSave);
  volumeSave = setTimeout(() => writeSetting('volume', $('volume').value), VOLUME_SAVE_AFTER_MS);
});
$('quality').value = quality.choice;
$('quality').addEventListener('change', () => {
  writeSetting('quality', $('quality').value);
  if (quality.choose($('quality').value, Date.now())) takeForm();
  else showForm();
});
Promise.all([canDecode('flac'), canDecode('opus')]).then(([flac, opus]) => {
  if (quality.decodable.flac === flac && quality.decodable.opus === opus) return;
  quality.decodable = { flac, opus };
  takeForm();
});
setInterval(watchLine, QUALITY_EVERY_MS);
render();
showForm();

window.quorvel = {
  get status() {
    return status;
  },
  history,
  stats,
  // What is asked for, what last came and what the page says of it.
  get form() {
    return { ...quality.form, playing: CODEC_NAMES[decoder.lastCodec], text: formText() };
  },
  takeTap: (discard) => output.takeTap(discard),
};
