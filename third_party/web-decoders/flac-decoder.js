// The frame decoders alone (the packages do not export their files: they are named by path).
// FLAC: the page hands it one frame at a time.
export { _FLACDecoder as FLACDecoder } from './node_modules/@wasm-audio-decoders/flac/src/FLACDecoder.js';
