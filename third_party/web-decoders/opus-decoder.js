export { default as OpusDecoder } from './node_modules/opus-decoder/src/OpusDecoder.js';
