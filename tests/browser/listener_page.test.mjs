// The listener page in Debian's Chromium and Firefox ESR against the real relay, the real
// broadcaster (`quorvel stream` of the private audio server's counter signal) and the
// private audio server the browsers play into: what it renders, and what it says in every
// situation.
//
//   node tests/browser/listener_page.test.mjs BUILD/src   (under scripts/with-test-services.sh)
// Exits 77 (skipped) with the reason when Chromium, playwright-core or the audio server is
// missing; Firefox is left out, saying why, where it or puppeteer-core is missing.
// QUORVEL_BROWSERS ("chromium,firefox" by default) chooses the browsers.
import { after, before, describe, test } from "node:test";
import assert from "node:assert/strict";
import { writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join as joinPath } from "node:path";
import { forgetTap, launch, missingBrowser, takeTap, waitStatus, watchSource, watchStatus } from "./lib/chromium.mjs";
import { analyse, analyseClimb, notCuts, notInSource } from "./lib/counter.mjs";
import { launchFirefox, missingFirefox } from "./lib/firefox.mjs";
import { Studio, until } from "./lib/studio.mjs";

const missing = missingBrowser() ??
  (process.env.QUORVEL_AUDIO_SERVER_DIR ? null : "no private audio server (run under scripts/with-test-services.sh)");
if (missing) {
  console.log(`SKIP: browser tests: ${missing}`);
  process.exit(77);
}

const studio = new Studio(process.argv[2] ?? "build/default/src");
const engines = Object.fromEntries(Object.entries({ Chromium: launch, Firefox: launchFirefox })
  .filter(([name]) => (process.env.QUORVEL_BROWSERS ?? "chromium,firefox").split(",").includes(name.toLowerCase())));
const noFirefox = missingFirefox();
if (noFirefox && engines.Firefox) {
  console.log(`Firefox left out: ${noFirefox}`);
  delete engines.Firefox;
}
let browser;
let texts, looks;  // status key → the text the page showed with it (and its colours), in the browser under test

// A page of its own (a listener's tab), its statuses and its errors recorded; `script`
// (with `argument`) runs in it once it has loaded.
async function open(url, script, argument) {
  const page = await (await browser.newContext()).newPage();
  await watchStatus(page);
  await watchSource(page);
  if (script) await page.addInitScript({ content: `addEventListener("load", () => (${script})(${JSON.stringify(argument)}))` });
  page.problems = [];
  // Refused by the content security policy, a module that failed…; not the browser's own
  // notes of a 404 (seen as a response) or of a relay that is down on purpose.
  const expected = /^Failed to load resource|ERR_CONNECTION_REFUSED|can’t establish a connection/;
  page.on("pageerror", (error) => !expected.test(error.message) && page.problems.push(error.message));
  page.on("console", (message) => message.type() === "error" && !expected.test(message.text()) &&
    page.problems.push(message.text()));
  page.on("response", (response) => response.status() >= 400 && !response.url().endsWith("/favicon.ico") &&
    response.request().resourceType() !== "document" && page.problems.push(`${response.status()} ${response.url()}`));
  await goto(page, url);
  return page;
}

async function goto(page, url) {
  await page.goto(url);
  page.seen = 0;
}

async function join(page, password) {
  await page.fill("#password", password);
  await page.click("#listen");
}

// Waits until the page shows `key` (after what it showed before); keeps its text.
async function expectStatus(page, key, timeout = 10000) {
  const { text, index } = await waitStatus(page, key, { since: page.seen, timeout });
  page.seen = index + 1;
  assert.ok(text.trim(), `the page shows a text with "${key}"`);
  if (!texts.has(key)) texts.set(key, text);
  if (!looks.has(key)) looks.set(key, await page.evaluate(() => {
    const style = getComputedStyle(document.getElementById("status"));
    return `${style.color} on ${style.backgroundColor}`;
  }));
  return text;
}

const stats = (page) => page.evaluate(() => window.quorvel.stats());
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// What the page rendered over `ms`, analysed, with its own counters over the same time;
// the jumps its audio had when it arrived as `sourcePage` saw them.
async function listenTo(page, ms, sourcePage = page) {
  await forgetTap(page);
  const before = await stats(page);
  const from = await page.evaluate(() => performance.now());
  await sleep(ms);
  const tap = await takeTap(page);
  const now = await stats(page);
  const counted = (name) => now[name] - before[name];
  // What was heard left the network up to the output's latency and the buffer earlier.
  const origin = (p) => p.evaluate(() => performance.timeOrigin);
  const shift = sourcePage === page ? 0 : (await origin(sourcePage)) - (await origin(page));
  const source = (await sourcePage.evaluate((t) => window.__sourceJumps.filter((jump) => jump.t >= t), from - 1000 - shift))
    .map((jump) => ({ ...jump, t: jump.t + shift }));
  return { tap, result: analyse(tap), stats: now, source,
    counted: { underruns: counted("underruns"), drops: counted("drops"), concealments: counted("concealments"),
      lost: counted("lost"), late: counted("late"), droppedMs: counted("droppedMs") } };
}

// What was heard, kept for a look when a test fails: left then right, 32-bit floats.
function keep(tap, what) {
  const path = joinPath(tmpdir(), `quorvel-tap-${what.replaceAll(" ", "-")}.f32`);
  writeFileSync(path, Buffer.concat([Buffer.from(tap.left.buffer), Buffer.from(tap.right.buffer)]));
  return path;
}

const form = (page) => page.evaluate(() => window.quorvel.form);

// Chooses a quality and waits for its form to come.
async function choose(page, choice, format, kbps) {
  await page.selectOption("#quality", choice);
  await until(async () => {
    const f = await form(page);
    return f.playing === format && f.kbps === kbps;
  }, `${choice} to play`);
}

// A lossy form's rendering of the signal, held to the source's level and its climb: never
// audio twice or a click, every silence counted, none longer than `gapLimit` samples;
// `restorations` comings back to lossless. Jumps the audio had when it arrived (read in
// its lossless parts) explain as many of the same size; skips are reported, not held
// against it: what the audio server's feed skipped cannot be read back from Opus.
function assertClimb(heard, what, { gapLimit = Infinity, restorations = 0 } = {}) {
  const climb = analyseClimb(heard.tap);
  const { replays, skips } = notInSource(climb, heard.source);
  // A cut that takes a fall with it reads as audio played again, as with the counter.
  const result = { ...climb, skips, replays: notCuts(replays, (heard.counted.droppedMs * heard.tap.rate) / 1000) };
  const { underruns, concealments } = heard.counted;
  const report = JSON.stringify({ ...result, counted: heard.counted, kept: keep(heard.tap, what) });
  assert.ok(Math.abs(result.level - 1) < 0.02, `${what}: at the source's level: ${report}`);
  assert.deepEqual(result.replays, [], `${what}: nothing played twice: ${report}`);
  // A jump of the feed is a step in the climb too, and the page plays it as it came.
  assert.ok(result.clicks <= climb.skips.length, `${what}: no click but the feed's own jumps: ${report}`);
  assert.equal(result.restorations, restorations, `${what}: back to lossless ${restorations} times: ${report}`);
  assert.ok(result.gaps.length <= underruns + concealments, `${what}: every silence is counted: ${report}`);
  assert.ok(Math.max(0, ...result.gaps) <= gapLimit, `${what}: no silence over ${gapLimit} samples: ${report}`);
  console.log(`${what}: ${report}`);
}

// Never audio twice, never a click, at the source's level; whatever it skipped or left
// silent it counted (a loaded machine may make it do either).
function assertFaithful({ tap, result, counted, source }, what) {
  const kept = keep(tap, what);
  // A jump the audio had when it arrived shows as the same jump in what was played.
  const { skips, ...found } = notInSource(result, source);
  const replays = notCuts(found.replays, (counted.droppedMs * tap.rate) / 1000);
  const report = JSON.stringify({ runs: result.runs, skips, replays, slips: result.slips,
    explained: result.skips.length + result.replays.length - skips.length - replays.length,
    silentSamples: result.silentSamples, counted, kept });
  assert.deepEqual(replays, [], `${what}: no sample played twice: ${report}`);
  assert.equal(result.clicks, 0, `${what}: no click`);
  assert.equal(result.overlapping, 0, `${what}: never two parts of the programme at once`);
  assert.ok(result.levelError < 0.02, `${what}: at the source's level (gain off by ${result.levelError})`);
  assert.ok(skips.length <= counted.drops + counted.lost + counted.late + counted.underruns,
    `${what}: every skip is counted: ${report}`);
  assert.ok(result.runs.length - 1 <= counted.underruns + counted.concealments + counted.drops,
    `${what}: every silence is counted: ${report}`);
  const atLevel = result.runs.reduce((sum, [first, end]) => sum + end - first, 0);
  assert.ok(atLevel > tap.left.length / 2, `${what}: mostly playing: ${report}`);
  console.log(`${what}: ${(tap.left.length / tap.rate).toFixed(1)} s at ${tap.rate} Hz, ${report}`);
}

before(() => studio.start());
after(() => studio.close());

for (const [engine, launchEngine] of Object.entries(engines)) describe(engine, () => {
let main, small, listener;

before(async () => {
  texts = new Map();
  looks = new Map();
  browser = await launchEngine();
  main = studio.createLink("Mix", 5);
  small = studio.createLink("Small room", 1);
});

after(() => browser?.close());

test("a link that does not exist, and a wrong password, are said so", async () => {
  const page = await open(`${studio.base}/l/doesnotexist`);
  await join(page, "anything");
  await expectStatus(page, "no_such_link");
  await goto(page, main.url);
  await join(page, "not the password");
  await expectStatus(page, "wrong_password");
  // Nothing was heard: no figures of it.
  assert.equal(await page.evaluate(() => document.getElementById("loss").textContent), "—");
  assert.deepEqual(page.problems, []);
  await page.context().close();
});

test("a listener waits for the studio; one more than the link allows finds it full", async () => {
  const first = await open(small.url);
  await join(first, small.password);
  await expectStatus(first, "connecting");
  await expectStatus(first, "waiting");
  const second = await open(small.url);
  await join(second, small.password);
  await expectStatus(second, "full");
  await second.context().close();
  await first.context().close();
});

test("on air, the page plays the studio's signal: its level, no gap, no sample twice", async () => {
  listener = await open(`${main.url}?tap=1`);
  await join(listener, main.password);
  await expectStatus(listener, "waiting");
  studio.stream(main);
  await expectStatus(listener, "on_air");
  await until(async () => (await stats(listener)).bufferMs > 0, "audio to arrive");
  await sleep(1000);
  const heard = await listenTo(listener, 4000);
  assert.equal(heard.stats.streamRate, 48000);
  // Auto takes lossless on this line: FLAC, decoded to the very samples of the PCM.
  const auto = await form(listener);
  assert.equal(auto.playing, "flac");
  assert.match(auto.text, /^Lossless — /);
  assertFaithful(heard, "playing");
  assert.equal(await listener.evaluate(() => document.getElementById("title").textContent), "Mix");
  // On a phone's screen every figure stays on its line(s) whole.
  await listener.setViewportSize({ width: 375, height: 700 });
  const lines = await listener.evaluate(() => ["#format span", "#delay", "#loss"].flatMap((selector) =>
    [...document.querySelectorAll(selector)].map((element) => {
      const range = document.createRange();
      range.selectNodeContents(element);
      return [element.textContent, new Set([...range.getClientRects()].map((rect) => Math.round(rect.top))).size];
    })));
  for (const [text, count] of lines) assert.equal(count, 1, `"${text}" on ${count} lines`);

  // Pressing Listen again while playing changes nothing.
  await forgetTap(listener);
  await listener.click("#listen");
  assertFaithful(await listenTo(listener, 1000), "Listen pressed again");
  assert.equal(await listener.evaluate(() => window.quorvel.status), "on_air");
});

test("each form plays the signal at its level, never twice; lossless to Opus and back leaves no gap or click", async () => {
  for (const kbps of [256, 128, 64]) {
    await choose(listener, { 256: "high", 128: "medium", 64: "low" }[kbps], "opus", kbps);
    await sleep(1000);
    assertClimb(await listenTo(listener, 2000), `Opus ${kbps}`);
    assert.match((await form(listener)).text, new RegExp(`^Opus ${kbps} kb/s — as you chose`));
  }
  await choose(listener, "lossless", "flac");
  await sleep(1000);
  await forgetTap(listener);
  const before = await stats(listener);
  const from = await listener.evaluate(() => performance.now());
  await choose(listener, "medium", "opus", 128);
  await sleep(1500);
  await choose(listener, "lossless", "flac");
  await sleep(1500);
  const tap = await takeTap(listener);
  const now = await stats(listener);
  const counted = Object.fromEntries(["drops", "droppedMs", "lost", "late", "underruns", "concealments"].map((name) => [name, now[name] - before[name]]));
  const source = await listener.evaluate((t) => window.__sourceJumps.filter((jump) => jump.t >= t), from - 1000);
  assertClimb({ tap, counted, source }, "lossless, Opus, lossless", { gapLimit: tap.rate / 50, restorations: 1 });
  assert.equal(await listener.evaluate(() => window.quorvel.status), "on_air");

  // Without WebCodecs' decoder the page decodes with WebAssembly: FLAC to the very samples,
  // and Opus. The feed's own jumps are read from the first listener's FLAC, on its clock.
  const fallback = await open(`${main.url}?tap=1`);
  await fallback.addInitScript(() => delete window.AudioDecoder);
  await goto(fallback, `${main.url}?tap=1`);
  await join(fallback, main.password);
  await expectStatus(fallback, "on_air");
  await until(async () => (await form(fallback)).playing === "flac", "FLAC to play");
  await sleep(1000);
  assertFaithful(await listenTo(fallback, 2000, listener), "FLAC without WebCodecs");
  // Its decoder gives the very samples of the PCM: 50 packets taken in both forms.
  const differing = await fallback.evaluate(async ({ id, password }) => {
    const { openWasm } = await import("/listener/wasm-decoder.js");
    const take = (format) => new Promise((resolve) => {
      const socket = Object.assign(new WebSocket(`ws://${location.host}/ws/listen`), { binaryType: "arraybuffer" });
      const packets = new Map();
      socket.onopen = () => socket.send(JSON.stringify({ type: "listen", session: id, password, format }));
      socket.onmessage = ({ data }) => {
        if (typeof data !== "string") packets.set(new DataView(data).getUint32(8, true), new Uint8Array(data));
        if (packets.size === 150) resolve(packets, socket.close());
      };
    });
    const [pcm, flac] = await Promise.all([take("pcm"), take("flac")]);
    const both = [...flac.keys()].filter((seq) => pcm.has(seq)).slice(0, 50);
    const decoded = await new Promise((resolve) => {
      const planes = [];
      const decoder = openWasm({ codec: "flac" }, { output: (chunk) => planes.push(chunk.planes) === both.length && resolve(planes) });
      for (const seq of both) decoder.decode(flac.get(seq).subarray(20), seq);
    });
    const codes = (bytes) => Array.from({ length: (bytes.length - 20) / 3 },
      (_, i) => bytes[20 + 3 * i] | (bytes[21 + 3 * i] << 8) | ((bytes[22 + 3 * i] << 24) >> 8));
    return both.length < 50 ? `${both.length} packets in both forms` : both.flatMap((seq, k) => codes(pcm.get(seq))
      .filter((code, i) => decoded[k][i % 2][i >> 1] * 8388608 !== code)).length;
  }, main);
  assert.equal(differing, 0, "FLAC through WebAssembly is the PCM, sample for sample");
  await choose(fallback, "medium", "opus", 128);
  await sleep(1000);
  assertClimb(await listenTo(fallback, 2000, listener), "Opus 128 without WebCodecs");
  assert.deepEqual(fallback.problems, []);
  await fallback.context().close();

  // A browser without any decoder plays lossless as PCM.
  const plain = await open(main.url);
  await plain.addInitScript(() => {
    delete window.AudioDecoder;
    delete window.WebAssembly;
  });
  await goto(plain, main.url);
  await join(plain, main.password);
  await expectStatus(plain, "on_air");
  await until(async () => (await form(plain)).playing === "pcm", "PCM to play");
  assert.match((await form(plain)).text, /^Lossless — /);
  await plain.context().close();
});

test("while the relay restarts the page says so, then plays again by itself without a click", async () => {
  await forgetTap(listener);
  const before = await stats(listener);
  await studio.stopRelay("SIGTERM");
  await expectStatus(listener, "shutting_down");
  await expectStatus(listener, "unreachable", 20000);
  await studio.startRelay();
  await expectStatus(listener, "on_air", 30000);
  await until(async () => (await stats(listener)).bufferMs > 0, "audio again", 15000);
  await sleep(2000);
  // What the listener heard: the signal back, whole, after the break; never a sample
  // twice, never a click (a loaded machine may break it up once more, which is no fault).
  const tap = await takeTap(listener);
  const result = analyse(tap);
  const dropped = ((await stats(listener)).droppedMs - before.droppedMs) * tap.rate / 1000;
  const replays = notCuts(notInSource(result, await listener.evaluate(() => window.__sourceJumps)).replays, dropped);
  const report = JSON.stringify({ ...result, replays, kept: keep(tap, "restart") });
  assert.deepEqual(replays, [], `no sample played twice: ${report}`);
  assert.equal(result.clicks, 0, `no click going silent or coming back: ${report}`);
  assert.equal(result.overlapping, 0, `never two parts of the programme at once: ${report}`);
  const gaps = result.runs.slice(1).map(([first], i) => first - result.runs[i][1]);
  const afterBreak = result.runs.slice(gaps.indexOf(Math.max(...gaps)) + 1);
  assert.ok(afterBreak.reduce((sum, [first, end]) => sum + end - first, 0) > tap.rate,
    `it plays the signal again: ${report}`);
});

test("a browser that holds the sound back until a click says so, and its button starts it", async () => {
  // Typing and clicking are gestures, and so is whatever the test evaluates in the page;
  // the page's own script setting the field and clicking is not: the browser keeps the
  // audio suspended.
  const page = await open(main.url, (password) => {
    document.getElementById("password").value = password;
    document.getElementById("listen").click();
  }, main.password);
  // Seen before anything is evaluated in the page: an evaluation is a gesture, after
  // which the browser may let the sound start by itself.
  await page.waitForSelector("#start-audio", { state: "visible" });
  await expectStatus(page, "audio_blocked");
  await page.click("#start-audio");
  await expectStatus(page, "on_air");
  // The button goes with the page's next rendering of its status.
  await page.waitForSelector("#start-audio", { state: "hidden" });
  assert.deepEqual(page.problems, []);
  await page.context().close();
});

test("Stop stops; a link that ends is said so", async () => {
  await listener.click("#stop");
  await expectStatus(listener, "stopped");
  await join(listener, main.password);
  await expectStatus(listener, "on_air");
  studio.endLink(main);
  await expectStatus(listener, "ended");
  assert.deepEqual(listener.problems, []);
});

test("every situation has a text of its own", () => {
  const keys = ["connecting", "unreachable", "wrong_password", "no_such_link", "full", "waiting", "on_air", "ended",
    "shutting_down", "audio_blocked", "stopped"];
  for (const key of keys) assert.ok(texts.has(key), `"${key}" was seen`);
  const distinct = new Set(keys.map((key) => texts.get(key)));
  assert.equal(distinct.size, keys.length, `texts: ${JSON.stringify(Object.fromEntries(texts))}`);
  for (const refusal of ["wrong_password", "no_such_link", "full"])
    assert.notEqual(looks.get(refusal), looks.get("on_air"), `"${refusal}" looks like an error, not like news`);
});
});
