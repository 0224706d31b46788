// The page's sound: an AudioContext at the device's own rate (a context at another rate
// would only be converted again by the browser, and hide what the listener hears), the
// player worklet, which converts the stream's rate, and a volume control. Packets go to
// the worklet through a shared ring when the page is cross-origin isolated, else through
// the worklet's port.

import { PacketRing } from './packet-ring.js';
import { parseHeader } from './packet.js';
import { STAT, STAT_COUNT } from './stats-layout.js';

const WORKLET_URL = '/listener/player-worklet.js';
const MAX_WAITING = 100; // packets kept while the worklet loads
const ASKING_OUTPUT_LATENCY_IS_SAFE = !/\bFirefox\//.test(globalThis.navigator?.userAgent ?? '');

export class AudioOutput {
  // contextRate: a fixed rate for the context (tests of the conversion), else the device's.
  constructor({ tap = false, contextRate = 0, onStateChange = () => {} } = {}) {
    this.tap = tap;
    this.contextRate = contextRate;
    this.onStateChange = onStateChange;
    this.context = null;
    this.node = null;
    this.gain = null;
    this.volume = 1;
    this.ring = null;
    this.stats = new Float64Array(STAT_COUNT);
    this.waiting = [];
    this.tapRequests = [];
    this.failed = false; // the browser cannot run the player
    this.rebuildOnPacket = false; // the worklet's module could not be fetched
    this.onAir = true;
  }

  get shared() {
    return globalThis.crossOriginIsolated === true && typeof SharedArrayBuffer === 'function';
  }

  // True when the browser lets the page play sound now.
  get running() {
    return this.context !== null && this.context.state === 'running';
  }

  // Called from a click or a key press: creates (or wakes) the context while the browser
  // allows it.
  unlock() {
    if (!this.context) this.build(this.contextRate);
    else this.context.resume().catch(() => {});
  }

  // One packet (an ArrayBuffer).
  push(data) {
    const header = parseHeader(new Uint8Array(data));
    if (!header) return;
    if (this.rebuildOnPacket) {
      this.rebuildOnPacket = false;
      this.build(this.contextRate);
    }
    if (this.node && !this.running) return; // the worklet is not running to take it
    if (!this.node) {
      if (this.waiting.length === MAX_WAITING) this.waiting.shift();
      this.waiting.push(data);
      return;
    }
    this.send(data);
  }

  send(data) {
    if (this.ring) {
      this.ring.write(new Uint8Array(data));
    } else {
      this.node.port.postMessage({ type: 'packet', bytes: data }, [data]);
    }
  }

  // A new context (and worklet) at `rate`; the browser may refuse the rate, and then the
  // worklet converts. The previous context closes once the new one is ready.
  build(rate) {
    if (typeof AudioWorkletNode !== 'function') {
      this.failed = true;
      this.onStateChange();
      return;
    }
    let context;
    try {
      context = new AudioContext({ latencyHint: 'interactive', ...(rate ? { sampleRate: rate } : {}) });
    } catch {
      if (this.context) return;
      context = new AudioContext({ latencyHint: 'interactive' });
    }
    const previous = this.context;
    const previousNode = this.node;
    this.context = context;
    this.node = null;
    context.onstatechange = () => this.onStateChange();
    context.resume().catch(() => {});
    context.audioWorklet.addModule(WORKLET_URL).then(() => {
      if (this.context !== context) return;
      this.ring = this.shared ? PacketRing.create() : null;
      const statsShared = this.shared ? new SharedArrayBuffer(STAT_COUNT * 8) : null;
      this.stats = statsShared ? new Float64Array(statsShared) : new Float64Array(STAT_COUNT);
      const node = new AudioWorkletNode(context, 'quorvel-player', {
        numberOfInputs: 0,
        numberOfOutputs: 1,
        outputChannelCount: [2],
        processorOptions: { ring: this.ring ? this.ring.shared : null, stats: statsShared, tap: this.tap },
      });
      node.port.onmessage = (event) => this.onWorkletMessage(event.data);
      node.port.postMessage({ type: 'onAir', onAir: this.onAir });
      this.gain = new GainNode(context, { gain: this.volume });
      node.connect(this.gain).connect(context.destination);
      this.node = node;
      if (previousNode) previousNode.disconnect();
      if (previous) previous.close().catch(() => {});
      for (const data of this.waiting.splice(0)) this.send(data);
      this.onStateChange();
    }).catch(() => {
      if (this.context !== context) return;
      // The module could not be fetched: the server is out of reach, which the connection
      // reports. Keep what played before; the next packet, which comes once the server is
      // back, builds again.
      context.close().catch(() => {});
      this.context = previous;
      this.node = previousNode;
      this.rebuildOnPacket = true;
      this.onStateChange();
    });
  }

  onWorkletMessage(message) {
    if (message.type === 'stats') this.stats.set(message.stats);
    else if (message.type === 'tap') this.tapRequests.shift()?.(message);
  }

  // Whether the studio is sending: the end of its programme is no underrun.
  setOnAir(onAir) {
    if (onAir === this.onAir) return;
    this.onAir = onAir;
    if (this.node) this.node.port.postMessage({ type: 'onAir', onAir });
  }

  setVolume(volume) {
    this.volume = volume;
    if (this.gain) this.gain.gain.setTargetAtTime(volume, this.context.currentTime, 0.02);
  }

  // Everything played since the last call (only when created with `tap`); with `discard`,
  // forgets it and resolves with nothing.
  takeTap(discard = false) {
    if (!this.node) return Promise.resolve({ rate: this.context ? this.context.sampleRate : 0, left: new Float32Array(0), right: new Float32Array(0) });
    return new Promise((resolve) => {
      this.tapRequests.push(({ rate, left, right }) => resolve({ rate, left, right }));
      this.node.port.postMessage({ type: 'takeTap', discard });
    });
  }

  // Seconds from the worklet's output to the speaker, as the browser reports it. Firefox
  // answers `outputLatency` with a synchronous call to its audio server, made while its
  // audio graph is locked; with PulseAudio (or PipeWire's pulse server) that server may be
  // inside a callback that waits for the same graph, and the page, its sound and every tab
  // of the site freeze for good (about one read in ten while sound plays on a busy
  // machine). There the page counts the context's own latency only.
  get outputLatencyMs() {
    if (!this.context) return NaN;
    const output = ASKING_OUTPUT_LATENCY_IS_SAFE ? this.context.outputLatency || 0 : 0;
    return (output + (this.context.baseLatency || 0)) * 1000;
  }

  stop() {
    const context = this.context;
    this.context = null;
    this.node = null;
    this.ring = null;
    this.waiting = [];
    this.rebuildOnPacket = false;
    if (context) context.close().catch(() => {});
    this.onStateChange();
  }

  stat(name) {
    return this.stats[STAT[name]];
  }
}
