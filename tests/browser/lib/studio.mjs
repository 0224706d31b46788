// A studio on this machine for the browser tests and the page benchmark: the real
// quorvel-relay on a loopback port, a paired computer (the real `quorvel` client in a
// temporary home) and its links, and `quorvel stream` broadcasting the private audio
// server's counter-signal device. Every process is stopped by its PID in close().
import { spawn, spawnSync } from "node:child_process";
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { randomBytes } from "node:crypto";

const secret = () => randomBytes(12).toString("base64url");

// Waits for `predicate` to hold, polling; throws `what` after `ms`.
export async function until(predicate, what, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

export class Studio {
  // bin: the build's src/ folder holding quorvel and quorvel-relay.
  constructor(bin) {
    this.bin = bin;
    this.dir = mkdtempSync(join(tmpdir(), "quorvel-browser-"));
    this.home = join(this.dir, "home");
    mkdirSync(join(this.home, "Library/Application Support/Quorvel"), { recursive: true });
    this.env = { ...process.env, HOME: this.home, XDG_CONFIG_HOME: join(this.home, ".config"),
      XDG_DATA_HOME: join(this.home, ".local/share"), XDG_STATE_HOME: join(this.home, ".local/state"),
      XDG_CACHE_HOME: join(this.home, ".cache"), no_proxy: "127.0.0.1" };
    // The device key goes to a file in that home, not to a keyring; no display.
    for (const name of ["DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "QUORVEL_BUILTIN_SERVER"])
      delete this.env[name];
    this.relay = null;
    this.streams = new Set();
    this.port = 0;
    this.studioPassword = secret();
  }

  run(args, input = "") {
    const result = spawnSync(join(this.bin, args[0]), args.slice(1), { env: this.env, input, encoding: "utf8" });
    if (result.status !== 0) throw new Error(`${args.join(" ")} failed: ${result.stdout}${result.stderr}`);
    return result.stdout;
  }

  // Starts the relay (on the port it had before, once it has one) and pairs this computer.
  async start() {
    this.run(["quorvel-relay", "set-password", "--data", join(this.dir, "relay")], this.studioPassword + "\n");
    await this.startRelay();
    writeFileSync(join(this.home, "Library/Application Support/Quorvel/config.json"),
      JSON.stringify({ server: `ws://127.0.0.1:${this.port}/ws/send` }));
    this.run(["quorvel", "pair", "--name", "Browser Studio"], this.studioPassword + "\n");
  }

  async startRelay() {
    const log = [];
    const relay = spawn(join(this.bin, "quorvel-relay"),
      ["serve", "--data", join(this.dir, "relay"), "--listen", `127.0.0.1:${this.port}`],
      { env: this.env, stdio: ["ignore", "ignore", "pipe"] });
    relay.stderr.on("data", (data) => log.push(data.toString()));
    const exited = new Promise((resolve) => relay.on("exit", resolve));
    this.relay = { process: relay, log, exited };
    const port = await until(() => {
      if (relay.exitCode !== null) throw new Error(`the relay did not start: ${log.join("")}`);
      return /listening on 127\.0\.0\.1:(\d+)/.exec(log.join(""))?.[1];
    }, "the relay to listen");
    this.port = Number(port);
  }

  // Stops the relay: SIGTERM lets it tell everyone it is shutting down, SIGKILL does not.
  async stopRelay(signal = "SIGTERM") {
    if (!this.relay) return;
    this.relay.process.kill(signal);
    await this.relay.exited;
    this.relay = null;
  }

  get base() { return `http://127.0.0.1:${this.port}`; }

  // Creates a link; returns {id, password, url}.
  createLink(name, maxListeners) {
    const password = secret();
    const out = this.run(["quorvel", "links", "create", name, "--max", String(maxListeners)], password + "\n");
    const id = /^id: (\S+)$/m.exec(out)?.[1];
    if (!id) throw new Error(`no link id in: ${out}`);
    return { id, password, url: `${this.base}/l/${id}` };
  }

  endLink(link) { this.run(["quorvel", "links", "end", "--", link.id]); }  // ids may begin with "-"

  // `quorvel stream` of the counter-signal device to `link` until stopped.
  stream(link, source = "input|1|quorvel-test-stereo") {
    const log = [];
    const stream = spawn(join(this.bin, "quorvel"), ["stream", "--session", link.id, "--source", source],
      { env: this.env, stdio: ["ignore", "pipe", "pipe"] });
    stream.stdout.on("data", (data) => log.push(data.toString()));
    stream.stderr.on("data", (data) => log.push(data.toString()));
    const handle = { process: stream, log, exited: new Promise((resolve) => stream.on("exit", resolve)) };
    this.streams.add(handle);
    return handle;
  }

  async stopStream(handle) {
    if (!this.streams.delete(handle)) return;
    if (handle.process.exitCode === null) handle.process.kill("SIGINT");
    await handle.exited;
  }

  async close() {
    for (const handle of [...this.streams]) await this.stopStream(handle);
    await this.stopRelay();
    rmSync(this.dir, { recursive: true, force: true });
  }
}
