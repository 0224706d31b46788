// The listener page under network trouble, today's page beside the previous one
// (bench/old-listener-page.html, served in its place): both listen through the jitter
// proxy to a real relay fed by `quorvel stream` of the private audio server's counter
// signal, in Debian's Chromium. Run by bench/listener_page_bench.sh.
//
// Delay: the audio a page holds ahead of the output (the previous page: the end of what
// it scheduled minus the context's clock; today's: its stats' bufferMs) plus the
// AudioContext's baseLatency and outputLatency, sampled every 20 ms: how long a packet
// waits from its arrival until it is heard. Underruns: the output ran dry, or silence
// was put between two packets. Overlaps: audio played on top of (or instead of being
// after) audio already scheduled. Recovery: from the end of the trouble until the delay
// is back within 10 ms of its quiet median and stays there for 2 s.
import { spawnSync } from "node:child_process";
import { readdirSync, readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import { dirname, join } from "node:path";
import { launch, takeTap, watchSource } from "../tests/browser/lib/chromium.mjs";
import { analyse, notInSource } from "../tests/browser/lib/counter.mjs";
import { Studio, until } from "../tests/browser/lib/studio.mjs";
import { startJitterProxy } from "./jitter-proxy.mjs";

const here = dirname(fileURLToPath(import.meta.url));
const oldPage = readFileSync(join(here, "old-listener-page.html"), "utf8");
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const bin = process.argv[2];
const only = process.argv[3];  // "delay", "trouble" or "cpu" runs just that part
const faultFilter = process.argv[4] ?? "";  // with "trouble": only the faults whose name has this
const kinds = (process.env.QUORVEL_BENCH_PAGES ?? "old,new").split(",");

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
    const latency = 1000 * ((context.baseLatency || 0) + (context.outputLatency || 0));
    const stats = window.quorvel?.stats?.();
    const ahead = stats ? stats.bufferMs : 1000 * Math.max(0, p.scheduledEnd - context.currentTime);
    return { delay: ahead + latency, ahead, latency, underruns: stats ? stats.underruns : p.underruns,
      silenceMs: stats ? 0 : p.silenceMs, overlapMs: stats ? 0 : p.overlapMs };
  };
  p.series = [];
  setInterval(() => { const s = p.sample(); if (s) p.series.push({ t: performance.now(), ...s }); }, 20);
}

// Each sample's delay as the median of the last 500 ms: a packet's arrival moves the
// held audio by 20 ms at once, which says nothing of the delay's course.
function smoothed(series) {
  return series.map((s, i) => {
    const window = [];
    for (let k = i; k >= 0 && series[k].t >= s.t - 500; --k) window.push(series[k].delay);
    return { ...s, delay: percentile(window, 0.5) };
  });
}

const percentile = (values, q) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))] : NaN;
};

class Listener {
  static async open(browser, kind, url, password, { tap = true } = {}) {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.addInitScript(probe);
    await watchSource(page);
    if (kind === "old")
      await page.route("**/l/*", (route) => route.fulfill({ status: 200, contentType: "text/html; charset=utf-8",
        headers: { "Content-Security-Policy":
          "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'" },
        body: oldPage }));
    await page.goto(kind === "new" && tap ? `${url}?tap=1` : url);
    await page.fill("#password", password);
    await page.click(kind === "new" ? "#listen" : "form button");
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

async function quietDelay(browser, kind, url, password) {
  const listener = await Listener.open(browser, kind, url, password);
  await sleep(3000);
  const from = await listener.now();
  await sleep(20000);
  const series = smoothed(await listener.series(from));
  await listener.close();
  const delays = series.map((s) => s.delay);
  return { p50: percentile(delays, 0.5), p99: percentile(delays, 0.99), latency: percentile(series.map((s) => s.latency), 0.5) };
}

async function trouble(browser, kind, url, password, proxy, quiet, fault) {
  const listener = await Listener.open(browser, kind, url, password);
  // From where a quiet link keeps it (joining, a page may hold more for a while).
  const joined = await listener.now();
  await until(async () => {
    const recent = smoothed(await listener.series(joined)).at(-1);
    return recent && recent.t > joined + 3000 && Math.abs(recent.delay - quiet) <= 10;
  }, "the delay to settle", 30000).catch(() => {});
  if (kind === "new") await takeTap(listener.page);  // forget what came before
  const before = (await listener.series(0)).at(-1);
  const faultStart = await listener.now();
  if (fault.stall) { proxy.stall(fault.stall); await sleep(fault.stall); }
  else { proxy.jitter(fault.mean, fault.spread); await sleep(20000); proxy.jitter(0, 0); }
  const faultEnd = await listener.now();
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
  return { underruns: last.underruns - before.underruns,
    silenceMs: rendered ? rendered.silenceMs : last.silenceMs - before.silenceMs,
    overlapMs: rendered ? rendered.overlapMs : last.overlapMs - before.overlapMs,
    replays: rendered ? rendered.replays : null,
    recovery: recovered, finalDelay: last.delay };
}

// CPU of the browser's renderers (and of its audio service) per second, as % of a core.
function chromiumProcesses() {
  const parents = new Map(), commands = new Map();
  for (const pid of readdirSync("/proc").filter((name) => /^\d+$/.test(name))) {
    try {
      const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
      parents.set(pid, stat.slice(stat.lastIndexOf(")") + 2).split(" ")[1]);
      commands.set(pid, readFileSync(`/proc/${pid}/cmdline`, "utf8"));
    } catch { /* gone */ }
  }
  const ours = (pid) => { for (let p = pid; p && p !== "0"; p = parents.get(p)) if (p === String(process.pid)) return true; return false; };
  const pick = (match) => [...commands].filter(([pid, cmd]) => cmd.includes(match) && ours(pid)).map(([pid]) => pid);
  return { renderers: pick("--type=renderer"), audio: pick("audio.mojom.AudioService") };
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

async function cpu(browser, kind, url, password) {
  const listener = await Listener.open(browser, kind, url, password, { tap: false });
  await sleep(2000);
  const processes = chromiumProcesses();
  const [r0, a0, t0, threads0] = [ticks(processes.renderers), ticks(processes.audio), performance.now(),
    threadTicks(processes.renderers)];
  await sleep(15000);
  const [r1, a1, t1, threads1] = [ticks(processes.renderers), ticks(processes.audio), performance.now(),
    threadTicks(processes.renderers)];
  const contextRate = await listener.page.evaluate(() => window.__probe.contexts.at(-1)?.sampleRate);
  await listener.close();
  const seconds = (t1 - t0) / 1000;
  const busiest = [...threads1].map(([name, t]) => [name, (t - (threads0.get(name) ?? 0)) / seconds])
    .sort((a, b) => b[1] - a[1]).slice(0, 3).map(([name, share]) => `${name} ${share.toFixed(1)} %`).join(", ");
  // 100 ticks = one core-second
  return { renderer: (r1 - r0) / seconds, audio: (a1 - a0) / seconds, contextRate, busiest };
}

const fmt = (x, digits = 0) => (x === null || x === undefined || Number.isNaN(x) ? "—" : x.toFixed(digits));

const studio = new Studio(bin);
await studio.start();
const link = studio.createLink("Bench", 5);
let stream = studio.stream(link);
const proxy = await startJitterProxy({ target: studio.port });
// The previous page comes from the test (no address), so Chromium would take it for a
// public page reaching into the local network and refuse its socket to 127.0.0.1.
const browser = await launch({ autoplay: "no-user-gesture-required", args: ["--disable-features=LocalNetworkAccessChecks"] });
const url = `http://127.0.0.1:${proxy.port}/l/${link.id}`;
try {
  await sleep(1000);
  const quiet = {};
  if (!only || only === "delay" || only === "trouble") {
    console.log("Added delay on a quiet link (packet arrival to the speaker, output latency included), ms:");
    console.log("  page  p50    p99    of which base+output latency");
    for (const kind of kinds) {
      quiet[kind] = await quietDelay(browser, kind, url, link.password);
      console.log(`  ${kind}   ${fmt(quiet[kind].p50).padEnd(6)} ${fmt(quiet[kind].p99).padEnd(6)} ${fmt(quiet[kind].latency)}`);
    }
  }
  if (!only || only === "trouble") {
    console.log("\nUnder trouble (underruns, silence put in, overlapping audio, time back to within 10 ms of quiet):");
    console.log("  fault           page  underruns  silence ms  overlap ms  replays  recovery s  delay after, ms");
    const faults = [{ name: "jitter 30±20 ms", mean: 30, spread: 20 }, { name: "jitter 80±70 ms", mean: 80, spread: 70 },
      { name: "stall 0.2 s", stall: 200 }, { name: "stall 0.5 s", stall: 500 }, { name: "stall 1.5 s", stall: 1500 }];
    for (const fault of faults.filter((f) => f.name.includes(faultFilter)))
      for (const kind of kinds) {
        const r = await trouble(browser, kind, url, link.password, proxy, quiet[kind].p50, fault);
        console.log(`  ${fault.name.padEnd(15)} ${kind}   ${String(r.underruns).padEnd(10)} ${fmt(r.silenceMs).padEnd(11)} ` +
          `${fmt(r.overlapMs).padEnd(11)} ${String(r.replays ?? "—").padEnd(8)} ` +
          `${r.recovery === null ? "> 20" : fmt(r.recovery, 1)}`.padEnd(12) + ` ${fmt(r.finalDelay)}`);
      }
  }
  if (!only || only === "cpu") {
    console.log("\nCPU while playing (% of one core): renderer, audio service");
    for (const [rate, source] of [[48000, "input|1|quorvel-test-stereo"], [96000, "input|1|quorvel-test-hires"]]) {
      if (rate !== 48000) {
        await studio.stopStream(stream);
        spawnSync("pw-metadata", ["-n", "settings", "0", "clock.force-rate", String(rate)], { env: studio.env });
        stream = studio.stream(link, source);
        await sleep(2000);
      }
      for (const kind of kinds) {
        const r = await cpu(browser, kind, url, link.password);
        console.log(`  ${rate / 1000} kHz stream  ${kind}   ${fmt(r.renderer, 2)} %   ${fmt(r.audio, 2)} %   (context at ${r.contextRate} Hz; ${r.busiest})`);
      }
    }
  }
} finally {
  await browser.close();
  await proxy.close();
  await studio.close();
}
