// The listener page under network trouble, this build's page ("new") beside the previous
// one ("old", bench/old-listener-page.html, served in its place; Chromium only) and,
// given QUORVEL_BENCH_BASE=BIN (another build's src/ folder), the page that build's relay
// serves ("base"): each listens through the jitter proxy to a real relay fed by
// `quorvel stream` of the private audio server's counter signal, in Debian's Chromium
// or (QUORVEL_BENCH_BROWSER=firefox) Firefox ESR. Run by bench/listener_page_bench.sh.
// The CPU part also measures, in Chromium, what playing anything costs the browser: a page
// that plays a tone from an OscillatorNode ("tone"), or from an AudioWorklet that does
// nothing else ("worklet"; bench/engine-floor-page.html).
//
// Delay: the audio a page holds ahead of the output (the previous page: the end of what
// it scheduled minus the context's clock; the others: their stats' bufferMs) plus the
// AudioContext's baseLatency and outputLatency, sampled every 20 ms: how long a packet
// waits from its arrival until it is heard. For the pages that say it, also their
// "Delay" figure, from the capture of what plays to the speaker; for this build's page
// also that delay as it is (the relay's clock is this machine's, and its stats give the
// timestamp playing). Underruns: the output ran dry, or silence was put between two
// packets. Overlaps: audio played on top of (or instead of being after) audio already
// scheduled. Recovery: from the end of the trouble until the delay is back within 10 ms
// of its quiet median and stays there for 2 s.
import { spawnSync } from "node:child_process";
import { readdirSync, readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import { dirname, join } from "node:path";
import { chromiumArgs, chromiumPath, forgetTap, launch, takeTap, watchSource } from "../tests/browser/lib/chromium.mjs";
import { analyse, notInSource } from "../tests/browser/lib/counter.mjs";
import { firefoxOptions, launchFirefox, loadPuppeteer } from "../tests/browser/lib/firefox.mjs";
import { Studio, until } from "../tests/browser/lib/studio.mjs";
import { startJitterProxy } from "./jitter-proxy.mjs";

const here = dirname(fileURLToPath(import.meta.url));
const oldPage = readFileSync(join(here, "old-listener-page.html"), "utf8");
const floorPage = readFileSync(join(here, "engine-floor-page.html"), "utf8");
// Pages served in place of the listener page, and the button that starts them.
const servedPages = { old: oldPage, tone: floorPage, worklet: floorPage };
const oldPageHeaders = { "Content-Security-Policy":
  "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'" };
// The previous page comes from the test (no address), so Chromium would take it for a
// public page reaching into the local network and refuse its socket to 127.0.0.1.
const oldPageArgs = ["--disable-features=LocalNetworkAccessChecks"];
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const bin = process.argv[2];
const only = process.argv[3];  // "delay", "trouble", "cpu", "hires" or "forms" runs just that part
const faultFilter = process.argv[4] ?? "";  // with "trouble": only the faults whose name has this
// With "forms": the page's decoders, "webcodecs" (the browser's) and/or "wasm" (its fallback).
const formDecoders = (process.env.QUORVEL_BENCH_DECODERS ?? "webcodecs").split(",");
const baseBin = process.env.QUORVEL_BENCH_BASE;
const firefox = process.env.QUORVEL_BENCH_BROWSER === "firefox";
const kinds = (process.env.QUORVEL_BENCH_PAGES ?? (baseBin ? "base,new" : firefox ? "new" : "old,new")).split(",");

// In the page before its own scripts: what it schedules, and the contexts it makes.
function probe() {
  const p = (window.__probe = { contexts: [], scheduledEnd: 0, starts: 0, underruns: 0, silenceMs: 0, overlapMs: 0 });
  const Original = window.AudioContext;
  window.AudioContext = class extends Original {
    constructor(...args) { super(...args); p.contexts.push(this); }
  };
  const start = AudioBufferSourceNode.prototype.start;
  AudioBufferSourceNode.prototype.start = function (when = 0, ...rest) {
    const now = this.context.currentTime, at = Math.max(when, now), duration = this.buffer?.duration ?? 0;
    if (p.starts++ > 0) {
      if (at > p.scheduledEnd + 1e-4) { ++p.underruns; p.silenceMs += 1000 * (at - Math.max(p.scheduledEnd, 0)); }
      if (at < p.scheduledEnd - 1e-4) p.overlapMs += 1000 * (Math.min(p.scheduledEnd, at + duration) - at);
    }
    p.scheduledEnd = Math.max(p.scheduledEnd, at + duration);
    return start.call(this, when, ...rest);
  };
  // Held audio, in ms, for either page.
  p.sample = () => {
    const context = p.contexts.at(-1);
    if (!context) return null;
    // Firefox's outputLatency may freeze its sound for good (see src/relay/web/audio-output.js).
    const output = /\bFirefox\//.test(navigator.userAgent) ? 0 : context.outputLatency || 0;
    const latency = 1000 * ((context.baseLatency || 0) + output);
    const stats = window.quorvel?.stats?.();
    const ahead = stats ? stats.bufferMs : 1000 * Math.max(0, p.scheduledEnd - context.currentTime);
    const shown = stats && status() === "on_air" ? stats.delayMs : NaN;
    const actual = stats?.playingTimestamp ? stats.renderedAtMs - stats.playingTimestamp + stats.outputLatencyMs : NaN;
    return { delay: ahead + latency, ahead, latency, shown, actual, underruns: stats ? stats.underruns : p.underruns,
      silenceMs: stats ? 0 : p.silenceMs, overlapMs: stats ? 0 : p.overlapMs };
  };
  const status = () => window.quorvel?.status;
  p.series = [];
  setInterval(() => { const s = p.sample(); if (s) p.series.push({ t: performance.now(), ...s }); }, 20);
}

// Each sample's delay as the median of the last 500 ms: a packet's arrival moves the
// held audio by 20 ms at once, which says nothing of the delay's course.
function smoothed(series) {
  return series.map((s, i) => {
    const recent = (name) => {
      const window = [];
      for (let k = i; k >= 0 && series[k].t >= s.t - 500; --k) if (Number.isFinite(series[k][name])) window.push(series[k][name]);
      return percentile(window, 0.5);
    };
    return { ...s, delay: recent("delay"), shown: recent("shown"), actual: recent("actual") };
  });
}

const percentile = (values, q) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))] : NaN;
};

class Listener {
  static async open(browser, kind, { url, password }, { tap = true } = {}) {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.addInitScript(probe);
    await watchSource(page);
    if (kind === "old")
      await page.route("**/l/*", (route) => route.fulfill({ status: 200, contentType: "text/html; charset=utf-8",
        headers: oldPageHeaders, body: oldPage }));
    await page.goto(kind === "new" && tap ? `${url}?tap=1` : url);
    await page.fill("#password", password);
    await page.click(kind === "old" ? "form button" : "#listen");
    await until(() => page.evaluate(() => window.__probe.sample()?.ahead > 0), "audio in the page", 20000);
    return new Listener(kind, page);
  }
  constructor(kind, page) { this.kind = kind; this.page = page; }
  now() { return this.page.evaluate(() => performance.now()); }
  async series(from) {
    return this.page.evaluate((t) => window.__probe.series.filter((s) => s.t >= t), from);
  }
  async close() { await this.page.context().close(); }
}

// Today's page: what it rendered, held against the counter signal.
// (Jumps the audio already had when it arrived, from a loaded audio server, are not its.)
async function renderedTrouble(listener, since) {
  if (listener.kind !== "new") return null;
  const tap = await takeTap(listener.page);
  const result = analyse(tap);
  const source = await listener.page.evaluate((t) => window.__sourceJumps.filter((jump) => jump.t >= t), since - 1000);
  const { replays, skips } = notInSource(result, source);
  const ms = (samples) => (1000 * samples) / tap.rate;
  return { replays: replays.length, overlapMs: ms(result.overlapping), silenceMs: ms(result.silentSamples),
    skippedMs: ms(skips.reduce((sum, skip) => sum + skip.steps, 0)), clicks: result.clicks };
}

async function quietDelay(browser, kind, site) {
  const listener = await Listener.open(browser, kind, site);
  await sleep(3000);
  const from = await listener.now();
  await sleep(20000);
  const series = smoothed(await listener.series(from));
  await listener.close();
  const delays = series.map((s) => s.delay);
  const of = (name) => series.map((s) => s[name]).filter(Number.isFinite);
  return { p50: percentile(delays, 0.5), p99: percentile(delays, 0.99), latency: percentile(series.map((s) => s.latency), 0.5),
    shown: [percentile(of("shown"), 0.5), percentile(of("shown"), 0.99)],
    actual: [percentile(of("actual"), 0.5), percentile(of("actual"), 0.99)] };
}

async function trouble(browser, kind, site, quiet, fault) {
  const { proxy } = site;
  const listener = await Listener.open(browser, kind, site);
  // From where a quiet link keeps it (joining, a page may hold more for a while).
  const joined = await listener.now();
  await until(async () => {
    const recent = smoothed(await listener.series(joined)).at(-1);
    return recent && recent.t > joined + 3000 && Math.abs(recent.delay - quiet) <= 10;
  }, "the delay to settle", 30000).catch(() => {});
  if (kind === "new") await forgetTap(listener.page);
  const before = (await listener.series(0)).at(-1);
  const faultStart = await listener.now();
  if (fault.stall) { proxy.stall(fault.stall); await sleep(fault.stall); }
  else { proxy.jitter(fault.mean, fault.spread); await sleep(jitterSeconds * 1000); proxy.jitter(0, 0); }
  const faultEnd = await listener.now();
  // Once the page has had 10 s to learn the jitter: its underruns, and how far its own
  // "Delay" figure is from the delay as it is.
  const learnt = (await listener.series(faultStart + 10000)).filter((x) => x.t <= faultEnd);
  const settled = { underruns: learnt.length ? learnt.at(-1).underruns - learnt[0].underruns : NaN,
    minutes: learnt.length ? (learnt.at(-1).t - learnt[0].t) / 60000 : NaN,
    figureError: percentile(learnt.filter((x) => Number.isFinite(x.shown - x.actual)).map((x) => Math.abs(x.shown - x.actual)), 0.5) };
  await sleep(20000);
  const series = smoothed(await listener.series(faultStart));
  const rendered = await renderedTrouble(listener, faultStart);
  if (process.env.QUORVEL_BENCH_DEBUG)
    console.log(kind, await listener.page.evaluate(() => document.getElementById("status").textContent),
      JSON.stringify(series.filter((_, i) => i % 50 === 0).map((x) => [Math.round(x.t - faultStart), Math.round(x.delay)])));
  await listener.close();
  const last = series.at(-1);
  let recovered = null;
  for (const s of series) {
    if (s.t < faultEnd) continue;
    const within = (x) => Math.abs(x.delay - quiet) <= 10;
    if (within(s) && series.filter((x) => x.t >= s.t && x.t <= s.t + 2000).every(within) && last.t >= s.t + 2000) {
      recovered = (s.t - faultEnd) / 1000;
      break;
    }
  }
  return { underruns: last.underruns - before.underruns, settled,
    silenceMs: rendered ? rendered.silenceMs : last.silenceMs - before.silenceMs,
    overlapMs: rendered ? rendered.overlapMs : last.overlapMs - before.overlapMs,
    replays: rendered ? rendered.replays : null,
    recovery: recovered, finalDelay: last.delay };
}

// The processes of the browser whose first process is `root`, by kind: Chromium's
// "--type=" (the audio service apart from the other utilities), Firefox's content process
// type; the browser's own process is "browser".
function browserProcesses(root) {
  const parents = new Map(), commands = new Map();
  for (const pid of readdirSync("/proc").filter((name) => /^\d+$/.test(name))) {
    try {
      const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
      parents.set(pid, stat.slice(stat.lastIndexOf(")") + 2).split(" ")[1]);
      // Chromium rewrites its children's command lines into one string.
      commands.set(pid, readFileSync(`/proc/${pid}/cmdline`, "utf8").split(/[\0 ]/).filter(Boolean));
    } catch { /* gone */ }
  }
  const ours = (pid) => { for (let p = pid; p && p !== "0"; p = parents.get(p)) if (p === String(root)) return true; return false; };
  const kind = (args) => {
    if (!/chrom|firefox/.test(args[0] ?? "")) return null;
    if (args.some((a) => a.includes("audio.mojom.AudioService"))) return "audio";
    const type = args.find((a) => a.startsWith("--type="));
    if (type) return type.slice(7);
    if (args.includes("-contentproc")) return args.at(-1);
    return "browser";
  };
  const byKind = new Map();
  for (const [pid, args] of commands) {
    const k = ours(pid) && kind(args);
    if (k) byKind.set(k, [...(byKind.get(k) ?? []), pid]);
  }
  return byKind;
}
const ticks = (pids) => pids.reduce((sum, pid) => {
  try {
    const fields = readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
    return sum + Number(fields[11]) + Number(fields[12]);
  } catch { return sum; }
}, 0);

// Ticks per thread of these processes, by thread name.
function threadTicks(pids) {
  const byName = new Map();
  for (const pid of pids) {
    let tasks = [];
    try { tasks = readdirSync(`/proc/${pid}/task`); } catch { continue; }
    for (const task of tasks) {
      try {
        const stat = readFileSync(`/proc/${pid}/task/${task}/stat`, "utf8");
        const name = stat.slice(stat.indexOf("(") + 1, stat.lastIndexOf(")"));
        const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
        byName.set(name, (byName.get(name) ?? 0) + Number(fields[11]) + Number(fields[12]));
      } catch { /* gone */ }
    }
  }
  return byName;
}

// A listener's browser as a listener runs it: one of its own, driven until the page plays,
// then left alone (an attached driver has the browser report it every WebSocket message;
// the probe would sample and wrap the page's calls): only the contexts it makes are kept.
// choice: the quality to choose, or "pcm" for a browser without decoders; decoders: "wasm"
// takes WebCodecs' AudioDecoder away, so that the page decodes with WebAssembly.
async function listenerBrowser(kind, { url, password }, choice, decoders) {
  const puppeteer = await loadPuppeteer();
  const browser = await puppeteer.launch(firefox ? firefoxOptions({ autoplay: true }) : { executablePath: chromiumPath,
    headless: true, args: chromiumArgs("no-user-gesture-required", ["--no-sandbox", ...oldPageArgs]) });
  const page = (await browser.pages())[0] ?? await browser.newPage();
  await page.evaluateOnNewDocument(() => {
    const contexts = (window.__contexts = []);
    const Original = window.AudioContext;
    window.AudioContext = class extends Original {
      constructor(...args) { super(...args); contexts.push(this); }
    };
  });
  if (servedPages[kind]) {
    await page.setRequestInterception(true);
    page.on("request", (request) => /\/l\/[^/#]*(#.*)?$/.test(request.url()) ?
      request.respond({ status: 200, contentType: "text/html; charset=utf-8", headers: kind === "old" ? oldPageHeaders : {},
        body: servedPages[kind] })
      : request.continue());
  }
  if (choice === "pcm") await page.evaluateOnNewDocument(() => {
    delete window.AudioDecoder;
    delete window.WebAssembly;
  });
  else if (decoders === "wasm") await page.evaluateOnNewDocument(() => delete window.AudioDecoder);
  await page.goto(kind === "worklet" ? `${url}#worklet` : url);
  if (choice && choice !== "pcm") await page.select("#quality", choice);
  await page.locator("#password").fill(password);
  await page.click(servedPages[kind] ? "form button" : "#listen");
  await until(() => page.evaluate(() => window.__contexts.at(-1)?.state === "running" &&
    /^on air/i.test(document.getElementById("status").textContent)), "audio in the page", 20000);
  const endpoint = browser.wsEndpoint();
  const pid = browser.process().pid;
  await browser.disconnect();
  return {
    pid,
    // Back in the page once measured: the context's rate, the format shown.
    async finish() {
      const again = await puppeteer.connect({ browserWSEndpoint: endpoint, ...(firefox ? { protocol: "webDriverBiDi" } : {}) });
      const [page] = await again.pages();
      const found = await page.evaluate(() => [window.__contexts.at(-1)?.sampleRate, document.getElementById("format")?.textContent ?? "—"]);
      found.push(await page.evaluate(() => window.quorvel?.form?.text ?? ""));
      await again.close();
      return found;
    },
  };
}

async function cpu(kind, site, choice, decoders) {
  const listener = await listenerBrowser(kind, site, choice, decoders);
  await sleep(2000);
  const processes = browserProcesses(listener.pid);
  const all = [...processes.values()].flat();
  const measure = () => ({ t: performance.now(), threads: threadTicks(all),
    kinds: new Map([...processes].map(([k, pids]) => [k, ticks(pids)])) });
  const first = measure();
  await sleep(15000);
  const last = measure();
  const [contextRate, format, form] = await listener.finish();
  const seconds = (last.t - first.t) / 1000;
  const busiest = [...last.threads].map(([name, t]) => [name, (t - (first.threads.get(name) ?? 0)) / seconds])
    .sort((a, b) => b[1] - a[1]).slice(0, 3).map(([name, share]) => `${name} ${share.toFixed(1)} %`).join(", ");
  // 100 ticks = one core-second
  const shares = [...last.kinds].map(([k, t]) => [k, (t - first.kinds.get(k)) / seconds]).sort((a, b) => b[1] - a[1]);
  const total = shares.reduce((sum, [, share]) => sum + share, 0);
  const text = shares.map(([k, share]) => `${k} ${share.toFixed(2)}`).join(" + ") + ` = ${total.toFixed(2)} %`;
  return { text, contextRate, format, form, busiest };
}

const fmt = (x, digits = 0) => (x === null || x === undefined || Number.isNaN(x) ? "—" : x.toFixed(digits));
const jitterSeconds = Number(process.env.QUORVEL_BENCH_JITTER_S ?? 40);

// A relay of its own for each build's page, fed by its own `quorvel stream`, behind a
// jitter proxy of its own.
class Site {
  static async start(siteBin) {
    const studio = new Studio(siteBin);
    await studio.start();
    const link = studio.createLink("Bench", 5);
    const proxy = await startJitterProxy({ target: studio.port });
    return Object.assign(new Site(), { studio, link, proxy, password: link.password,
      stream: studio.stream(link), url: `http://127.0.0.1:${proxy.port}/l/${link.id}` });
  }
  async restream(source) {
    await this.studio.stopStream(this.stream);
    this.stream = this.studio.stream(this.link, source);
  }
  async close() {
    await this.proxy.close();
    await this.studio.close();
  }
}

const sites = {};
for (const kind of kinds) sites[kind] = kind === "base" ? await Site.start(baseBin) : sites.new ?? sites.old ?? await Site.start(bin);
if (kinds.includes("old")) sites.old = sites.new ?? sites.old;
const browser = firefox ? await launchFirefox()
  : await launch({ autoplay: "no-user-gesture-required", args: oldPageArgs });
const quietRow = (kind, q) => `  ${kind.padEnd(5)} ${fmt(q.p50).padEnd(6)} ${fmt(q.p99).padEnd(6)} ${fmt(q.latency).padEnd(9)} ` +
  `${fmt(q.shown[0])} / ${fmt(q.shown[1])}`.padEnd(14) + ` ${fmt(q.actual[0])} / ${fmt(q.actual[1])}`;
try {
  await sleep(1000);
  const quiet = {};
  if (!only || only === "delay" || only === "trouble") {
    console.log(`${firefox ? "Firefox" : "Chromium"}. On a quiet link, 48 kHz: packet arrival to the speaker (output latency included),`);
    console.log("and capture to the speaker as the page shows it and as it is, ms:");
    console.log("  page  p50    p99    latency   shown p50/p99  actual p50/p99");
    for (const kind of kinds) {
      quiet[kind] = await quietDelay(browser, kind, sites[kind]);
      console.log(quietRow(kind, quiet[kind]));
    }
  }
  if (!only || only === "trouble") {
    console.log("\nUnder trouble (underruns, silence put in, overlapping audio, time back to within 10 ms of quiet;");
    console.log(`jitter for ${jitterSeconds} s, and from its 10th second: underruns a minute, |shown - actual delay| p50):`);
    console.log("  fault           page  underruns  silence ms  overlap ms  replays  recovery s  delay after  learnt: gaps/min  figure off");
    const faults = [{ name: "jitter 30±20 ms", mean: 30, spread: 20 }, { name: "jitter 80±70 ms", mean: 80, spread: 70 },
      { name: "stall 0.2 s", stall: 200 }, { name: "stall 0.5 s", stall: 500 }, { name: "stall 1.5 s", stall: 1500 }];
    for (const fault of faults.filter((f) => f.name.includes(faultFilter)))
      for (const kind of kinds) {
        const r = await trouble(browser, kind, sites[kind], quiet[kind].p50, fault);
        console.log(`  ${fault.name.padEnd(15)} ${kind.padEnd(5)} ${String(r.underruns).padEnd(10)} ${fmt(r.silenceMs).padEnd(11)} ` +
          `${fmt(r.overlapMs).padEnd(11)} ${String(r.replays ?? "—").padEnd(8)} ` +
          `${r.recovery === null ? "> 20" : fmt(r.recovery, 1)}`.padEnd(12) + ` ${fmt(r.finalDelay).padEnd(12)}` +
          (fault.stall ? "" : ` ${fmt(r.settled.underruns / r.settled.minutes, 1).padEnd(17)} ${fmt(r.settled.figureError)}`));
      }
  }
  if (!only || only === "cpu" || only === "hires") {
    console.log("\nWhile playing: CPU (% of one core) of the browser's processes, by kind; at 96 kHz also the quiet link's delays");
    for (const [rate, source] of [[48000, "input|1|quorvel-test-stereo"], [96000, "input|1|quorvel-test-hires"]]) {
      if (rate === 48000 && only === "hires") continue;
      if (rate !== 48000) {
        spawnSync("pw-metadata", ["-n", "settings", "0", "clock.force-rate", String(rate)], { env: sites[kinds[0]].studio.env });
        for (const site of new Set(Object.values(sites))) await site.restream(source);
        await sleep(2000);
        for (const kind of kinds) console.log(quietRow(`${kind}`, await quietDelay(browser, kind, sites[kind])) + "  (96 kHz)");
      }
      for (const kind of [...kinds, ...(firefox || rate !== 48000 ? [] : ["tone", "worklet"])]) {
        const r = await cpu(kind, sites[kind] ?? sites[kinds[0]]);
        console.log(`  ${rate / 1000} kHz stream  ${kind.padEnd(7)} ${r.text}   (context at ${r.contextRate} Hz; format "${r.format}"; ${r.busiest})`);
      }
    }
  }
  if (only === "forms") {
    console.log("\nThe page's CPU (% of one core, all of the browser's processes) per form, this build's page:");
    for (const [rate, source] of [[48000, "input|1|quorvel-test-stereo"], [96000, "input|1|quorvel-test-noise"]]) {
      spawnSync("pw-metadata", ["-n", "settings", "0", "clock.force-rate", String(rate)], { env: sites.new.studio.env });
      await sites.new.restream(source);
      await sleep(2000);
      for (const choice of ["pcm", "lossless", "high", "medium", "low"]) {
        for (const decoders of choice === "pcm" ? [""] : formDecoders) {
          const r = await cpu("new", sites.new, choice, decoders);
          console.log(`  ${rate / 1000} kHz ${source.split("-").pop().padEnd(6)} ${choice.padEnd(8)} ${decoders.padEnd(9)} ${r.text}   (format "${r.format}"; "${r.form}")`);
        }
      }
    }
  }
} finally {
  await browser.close();
  for (const site of new Set(Object.values(sites))) await site.close();
}
