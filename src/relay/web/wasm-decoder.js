// The WebAssembly decoders the page falls back on where the browser has no WebCodecs
// decoder for a form: libFLAC and libopus as the npm packages @wasm-audio-decoders/flac and
// opus-decoder build them, bundled beside the page by scripts/vendor-web-decoders.sh. A
// module is fetched and compiled the first time a form needs it, on the page's thread,
// never the audio thread; what comes meanwhile waits.

const MODULES = {
  flac: () => import('./flac-decoder.min.js').then((module) => module.FLACDecoder),
  opus: () => import('./opus-decoder.min.js').then((module) => module.OpusDecoder),
};
const OPUS_RATE = 48000; // the relay's Opus is always at 48 kHz
const loads = new Map();

function load(codec) {
  if (!loads.has(codec)) loads.set(codec, MODULES[codec]());
  return loads.get(codec);
}

export function wasmDecodes({ codec, sampleRate }) {
  return typeof WebAssembly === 'object' && (codec === 'flac' || (codec === 'opus' && sampleRate === OPUS_RATE));
}

// libFLAC's samples come as code / (2^(depth-1) - 1), where WebCodecs and the player take
// code / 2^(depth-1): the codes, exact in a float, are read back and rescaled.
function rescale(planes, depth) {
  const divisor = 2 ** (depth - 1) - 1;
  for (const plane of planes) for (let i = 0; i < plane.length; i++) plane[i] = Math.round(plane[i] * divisor) / (divisor + 1);
  return planes;
}

// FLAC frames say their own rate and depth: one decoder takes them all. An Opus decoder is
// made for its channels.
async function create({ codec, numberOfChannels }) {
  const Decoder = await load(codec);
  const decoder = codec === 'opus' ? new Decoder({ channels: numberOfChannels, sampleRate: OPUS_RATE }) : new Decoder();
  await decoder.ready;
  return decoder;
}

export function openWasm(config, { output, error }) {
  const { codec } = config;
  let decoder = null;
  let closed = false;
  // One step at a time, in the order given: making the decoder, then each chunk.
  let steps = Promise.resolve();
  const step = (work) => {
    steps = steps.then(() => closed || work()).catch(() => {
      if (!closed) error();
      closed = true;
    });
  };
  step(async () => {
    decoder = await create(config);
  });
  return {
    decode: (bytes, timestamp) => step(async () => {
      const decoded = codec === 'opus' ? decoder.decodeFrame(bytes) : decoder.decodeFrames([bytes]);
      // A frame it could not decode gives nothing, as a lost packet would.
      if (!closed && decoded.samplesDecoded > 0)
        output({ timestamp, sampleRate: decoded.sampleRate,
          planes: codec === 'flac' ? rescale(decoded.channelData, decoded.bitDepth) : decoded.channelData });
    }),
    configure: (next) => {
      if (codec === 'flac') return;
      step(async () => {
        const old = decoder;
        decoder = null;
        old.free();
        decoder = await create(next);
      });
    },
    close: () => {
      closed = true;
      steps.then(() => decoder?.free());
    },
  };
}
