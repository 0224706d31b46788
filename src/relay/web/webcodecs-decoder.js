// The browser's own WebCodecs AudioDecoder, behind the interface codec-decoder.js gives
// every decoder of a form.

// Whether it decodes this configuration ({codec, sampleRate, numberOfChannels}).
export async function webCodecsDecodes({ codec, sampleRate, numberOfChannels }) {
  if (typeof AudioDecoder !== 'function') return false;
  try {
    // A FLAC description's STREAMINFO is needed to configure, not to ask.
    const { supported } = await AudioDecoder.isConfigSupported({ codec, sampleRate, numberOfChannels });
    return supported === true;
  } catch {
    return false;
  }
}

export function openWebCodecs(config, { output, error }) {
  const decoder = new AudioDecoder({
    output: (data) => {
      const planes = Array.from({ length: data.numberOfChannels }, (_, plane) => {
        const samples = new Float32Array(data.numberOfFrames);
        data.copyTo(samples, { planeIndex: plane, format: 'f32-planar' });
        return samples;
      });
      output({ timestamp: data.timestamp, planes, sampleRate: data.sampleRate });
      data.close();
    },
    error: () => error(),
  });
  decoder.configure(config);
  return {
    decode: (bytes, timestamp) => decoder.decode(new EncodedAudioChunk({ type: 'key', timestamp, data: bytes })),
    configure: (next) => decoder.configure(next),
    close: () => {
      try {
        decoder.close();
      } catch {
        // Closed already by its error.
      }
    },
  };
}
