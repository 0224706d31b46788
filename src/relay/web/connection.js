// The listener's connection to the relay: joins the link, passes packets on, keeps the
// relay's clock in sync and comes back by itself after any loss, waiting longer after
// each failed attempt.

import { ClockSync } from './clock-sync.js';

const BACKOFF_MS = [500, 1000, 2000, 4000, 8000, 10000];
const SILENCE_LIMIT_MS = 15000; // nothing heard for this long: the connection is dead
const FIRST_PINGS = 5;
const FIRST_PING_EVERY_MS = 1000;
const PING_EVERY_MS = 5000;

// Refusals the relay will repeat if asked again: the listener must act first.
const FINAL_ERRORS = {
  password: 'wrong_password',
  session: 'no_such_link',
  full: 'full',
  too_many_attempts: 'too_many_attempts',
};

export class Connection {
  // env: { WebSocket, setTimeout, clearTimeout, now } — the browser's, or a test's.
  // form: the form to take ({format, kbps}); onFormat gets the relay's "format" messages.
  constructor({ url, session, password, env, onStatus, onPacket, form = { format: 'pcm' }, onFormat = () => {} }) {
    this.url = url;
    this.session = session;
    this.password = password;
    this.env = env;
    this.onStatus = onStatus;
    this.onPacket = onPacket;
    this.form = form;
    this.onFormat = onFormat;
    this.bytes = 0; // binary bytes received, for the measure of the line
    this.clock = new ClockSync();
    this.socket = null;
    this.timer = null;
    this.pingTimer = null;
    this.watchdog = null;
    this.failures = 0;
    this.lastHeardMs = 0;
    this.status = 'idle';
    this.active = false;
    this.linkName = ''; // told by the relay once the password is accepted
  }

  get running() {
    return this.active;
  }

  start() {
    this.active = true;
    this.failures = 0;
    this.connect();
  }

  stop() {
    this.end('stopped');
  }

  setStatus(status) {
    if (status === this.status) return;
    this.status = status;
    this.onStatus(status);
  }

  connect() {
    this.clearTimers();
    this.setStatus('connecting');
    this.opened = false;
    this.restartReason = null;
    let socket;
    try {
      socket = new this.env.WebSocket(this.url);
    } catch {
      this.retry('unreachable');
      return;
    }
    this.socket = socket;
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      this.opened = true;
      // The token of the last join spares the relay another password check.
      socket.send(JSON.stringify({ type: 'listen', session: this.session, password: this.password, resume: this.resume,
        ...this.form }));
      this.watch();
    };
    socket.onmessage = (event) => {
      if (socket !== this.socket) return;
      this.watch();
      if (typeof event.data === 'string') this.onText(event.data);
      else {
        this.bytes += event.data.byteLength;
        this.onPacket(event.data);
      }
    };
    socket.onclose = () => {
      if (socket !== this.socket) return;
      this.socket = null;
      if (!this.active) return;
      // Refused or cut before the relay took us: the server is out of reach (or busy).
      this.retry(this.restartReason || (this.joined ? 'connecting' : 'unreachable'));
    };
    socket.onerror = () => {};
  }

  onText(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    if (!message || typeof message !== 'object') return;
    switch (message.type) {
      case 'ready':
        this.resume = message.resume;
        this.failures = 0;
        this.joined = true;
        if (typeof message.name === 'string') this.linkName = message.name;
        this.setStatus(message.onAir ? 'on_air' : 'waiting');
        this.schedulePing(0, 0);
        break;
      case 'state':
        this.setStatus(message.onAir ? 'on_air' : 'waiting');
        break;
      case 'format':
        this.onFormat(message);
        break;
      case 'pong':
        this.clock.add(message.t, message.s, this.env.now());
        break;
      case 'session_ended':
        this.end('ended');
        break;
      case 'error':
        if (FINAL_ERRORS[message.error]) this.end(FINAL_ERRORS[message.error]);
        else if (message.error === 'shutdown') this.restartReason = 'shutting_down';
        else this.restartReason = 'unreachable';
        if (this.restartReason) this.setStatus(this.restartReason);
        break;
      default:
        break;
    }
  }

  // Takes `form` from now on: at once on an open connection, else from the next.
  setForm(form) {
    this.form = form;
    if (this.joined && this.socket && this.socket.readyState === 1)
      this.socket.send(JSON.stringify({ type: 'format', ...form }));
  }

  // Reconnects after a pause that grows with each failure in a row.
  retry(status) {
    this.clearTimers();
    this.joined = false;
    this.setStatus(status);
    const delay = BACKOFF_MS[Math.min(this.failures, BACKOFF_MS.length - 1)];
    this.failures++;
    this.timer = this.env.setTimeout(() => this.connect(), delay);
  }

  end(status) {
    this.active = false;
    this.joined = false;
    this.clearTimers();
    const socket = this.socket;
    this.socket = null;
    if (socket) socket.close();
    this.setStatus(status);
  }

  schedulePing(sent, delay) {
    this.pingTimer = this.env.setTimeout(() => {
      if (!this.socket || this.socket.readyState !== 1) return;
      this.socket.send(JSON.stringify({ type: 'ping', t: this.env.now() }));
      this.schedulePing(sent + 1, sent + 1 < FIRST_PINGS ? FIRST_PING_EVERY_MS : PING_EVERY_MS);
    }, delay);
  }

  // Closes a connection that has gone silent, so that it is made again. Every message is
  // a sign of life; one timer looks for them (not a timer per message, 50 a second).
  watch() {
    this.lastHeardMs = this.env.now();
    if (!this.watchdog) this.checkSilence(SILENCE_LIMIT_MS);
  }

  checkSilence(afterMs) {
    const socket = this.socket;
    this.watchdog = this.env.setTimeout(() => {
      this.watchdog = null;
      if (socket !== this.socket) return;
      const silentMs = this.env.now() - this.lastHeardMs;
      if (silentMs < SILENCE_LIMIT_MS) {
        this.checkSilence(SILENCE_LIMIT_MS - silentMs);
        return;
      }
      this.socket = null;
      socket.close();
      this.retry(this.joined ? 'connecting' : 'unreachable');
    }, afterMs);
  }

  clearTimers() {
    for (const name of ['timer', 'pingTimer', 'watchdog']) {
      if (this[name]) this.env.clearTimeout(this[name]);
      this[name] = null;
    }
  }
}
