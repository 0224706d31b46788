// Debian's Chromium, headless, driven by playwright-core; it plays into whatever audio
// server PULSE_SERVER names (the private one of the tests).
import { existsSync } from "node:fs";
import { createRequire } from "node:module";

export const chromiumPath = process.env.QUORVEL_CHROMIUM || "/usr/bin/chromium";

// Why the browser cannot be driven here, or nothing when it can.
export function missingBrowser() {
  if (!existsSync(chromiumPath)) return `Chromium is not installed (${chromiumPath}); install the package "chromium"`;
  try {
    createRequire(import.meta.url).resolve("playwright-core");
  } catch {
    return "playwright-core is not installed (scripts/browser-test-deps.sh)";
  }
  return null;
}

// autoplay: "document-user-activation-required" (desktop Chrome's own: sound starts only once the
// page has had a click or a key press; "user-gesture-required" does not hold sound back
// headless) or "no-user-gesture-required". executablePath: another way to start it (a
// wrapper that puts it in a network namespace).
export async function launch({ autoplay = "document-user-activation-required", args = [], executablePath = chromiumPath } = {}) {
  const { chromium } = await import("playwright-core");
  return chromium.launch({ executablePath, headless: true, args: chromiumArgs(autoplay, args) });
}

export const chromiumArgs = (autoplay, args = []) => [`--autoplay-policy=${autoplay}`, "--no-first-run",
  "--disable-background-timer-throttling", "--disable-renderer-backgrounding", ...args];

// Records every status the page shows, in order, as {key, text}: transient ones too.
export async function watchStatus(page) {
  await page.addInitScript(() => {
    window.__statusLog = [];
    const note = () => {
      const key = window.quorvel?.status;
      const text = document.getElementById("status")?.textContent ?? "";
      const last = window.__statusLog.at(-1);
      if (key && (!last || last.key !== key || last.text !== text)) window.__statusLog.push({ key, text });
    };
    document.addEventListener("DOMContentLoaded", () => {
      new MutationObserver(note).observe(document.body, { subtree: true, childList: true, characterData: true,
        attributes: true });
      note();
    });
    setInterval(note, 5);
  });
}

// Records where the audio the page receives is itself discontinuous (the counter signal
// jumps between or inside packets that follow each other): on a loaded machine the
// audio server's feed can skip, and that is not the page's doing. {t, steps} each. PCM is
// read from the socket, FLAC from what the browser's decoder gives (Opus keeps no
// counter to read).
export async function watchSource(page) {
  await page.addInitScript(() => {
    const jumps = (window.__sourceJumps = []);
    let lastCounter = 0;
    const wrapped = (steps) => ((((steps + 2048) % 4096) + 4096) % 4096) - 2048;
    // The left channel's samples in order; `follows`: the first follows the last seen.
    const inspect = (left, follows) => {
      for (let i = 0; i < left.length; i++) {
        const counter = (left[i] - 1 / 16) * 65536;
        const steps = wrapped(counter - lastCounter - 1);
        if ((i > 0 || follows) && Math.abs(steps) > 0.5) jumps.push({ t: performance.now(), steps: Math.round(steps) });
        lastCounter = counter;
      }
    };
    let lastSequence = -1;
    const inspectPacket = (data) => {
      const bytes = new Uint8Array(data);
      if (bytes.length < 26 || bytes[0] !== 1 || bytes[1] !== 1 || bytes[2] !== 2) return;
      const sequence = new DataView(data).getUint32(8, true);
      const left = new Float64Array((bytes.length - 20) / 6);
      for (let i = 0, k = 20; i < left.length; i++, k += 6)
        left[i] = (((bytes[k] | (bytes[k + 1] << 8) | (bytes[k + 2] << 16)) << 8) >> 8) / 8388607;
      inspect(left, sequence === lastSequence + 1);
      lastSequence = sequence;
    };
    const Native = window.WebSocket;
    window.WebSocket = class extends Native {
      constructor(...args) {
        super(...args);
        this.addEventListener("message", (event) => event.data instanceof ArrayBuffer && inspectPacket(event.data));
      }
    };
    const NativeDecoder = window.AudioDecoder;
    if (!NativeDecoder) return;
    let lastEnd = NaN;
    window.AudioDecoder = class extends NativeDecoder {
      constructor(init) {
        super({ ...init, output: (data) => {
          if (this.codec === "flac" && data.numberOfChannels === 2) {
            const left = new Float32Array(data.numberOfFrames);
            data.copyTo(left, { planeIndex: 0, format: "f32-planar" });
            inspect(left, Math.abs(data.timestamp - lastEnd) < 2);
            lastEnd = data.timestamp + data.duration;
          }
          init.output(data);
        } });
      }
      configure(config) {
        this.codec = config.codec;
        super.configure(config);
      }
    };
  });
}

export const statusLog = (page) => page.evaluate(() => window.__statusLog);

// Waits until the page has shown status `key` after the `since`-th status it showed
// (transient ones count); returns {text, index} of that status.
export async function waitStatus(page, key, { since = 0, timeout = 10000 } = {}) {
  try {
    const handle = await page.waitForFunction(([k, from]) => {
      const at = window.__statusLog.findIndex((entry, i) => i >= from && entry.key === k);
      return at >= 0 && { text: window.__statusLog[at].text, index: at };
    }, [key, since], { timeout, polling: 20 });
    return await handle.jsonValue();
  } catch (error) {
    const log = await statusLog(page).catch(() => []);
    throw new Error(`status "${key}" did not come; the page went through ${JSON.stringify(log.slice(since))}`,
      { cause: error });
  }
}

// Forgets what the page rendered so far: a later takeTap() starts here. (Taking a long tap
// only to drop it would hold up the page's main thread for up to seconds.)
export async function forgetTap(page) {
  await page.evaluate(() => window.quorvel.takeTap(true));
}

// Everything the page rendered since the last call: {rate, left, right} as Float32Arrays.
export async function takeTap(page) {
  const tap = await page.evaluate(async () => {
    const { rate, left, right } = await window.quorvel.takeTap();
    // Float32 bytes as base64 keep the transfer exact and small.
    const encode = (samples) => {
      const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
      let text = "";
      for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
      return btoa(text);
    };
    return { rate, left: encode(left), right: encode(right) };
  });
  const decode = (text) => {
    const bytes = new Uint8Array(Buffer.from(text, "base64"));  // a copy of its own: aligned
    return new Float32Array(bytes.buffer);
  };
  return { rate: tap.rate, left: decode(tap.left), right: decode(tap.right) };
}
