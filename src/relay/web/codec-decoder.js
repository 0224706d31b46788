// A decoder of one form's audio, whichever the browser has: its own WebCodecs AudioDecoder
// where that decodes the configuration, else the WebAssembly fallback. Both are used
// alike: decode(bytes, timestamp), configure(config), close(); each decoded chunk comes to
// output({timestamp, planes, sampleRate}) (planes: a Float32Array a channel) in order, and
// error() once it can decode no more.

import { openWasm, wasmDecodes } from './wasm-decoder.js';
import { openWebCodecs, webCodecsDecodes } from './webcodecs-decoder.js';

// Whether this browser decodes `codec` ("flac" or "opus") at `rate`, one way or the other.
export async function canDecode(codec, rate = 48000) {
  const config = { codec, sampleRate: rate, numberOfChannels: 2 };
  return (await webCodecsDecodes(config)) || wasmDecodes(config);
}

export function openDecoder(config, handlers) {
  // The browser answers whether it decodes a configuration only asynchronously: what comes
  // before it has waits.
  let waiting = [];
  let decoder = null;
  let closed = false;
  webCodecsDecodes(config).then((own) => {
    if (closed) return;
    decoder = own ? openWebCodecs(config, handlers) : openWasm(config, handlers);
    for (const call of waiting) call(decoder);
    waiting = null;
  }).catch(() => closed || handlers.error());
  const whenOpen = (call) => (decoder ? call(decoder) : waiting.push(call));
  return {
    decode: (bytes, timestamp) => whenOpen((open) => open.decode(bytes, timestamp)),
    configure: (next) => whenOpen((open) => open.configure(next)),
    close: () => {
      closed = true;
      decoder?.close();
    },
  };
}
