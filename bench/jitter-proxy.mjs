// A TCP proxy on loopback that delays and stalls what a server sends toward its client
// (the relay's traffic toward a browser); the client's own traffic passes at once. This
// kernel has no netem, so network trouble is made here. Bytes keep their order, as on a
// real TCP connection: a late chunk holds back every chunk behind it.
//
// As a module: const proxy = await startJitterProxy({ target: 8787 });
//   proxy.port; proxy.jitter(30, 20) (each chunk 30 ± 20 ms late, uniformly);
//   proxy.jitter(0, 0) (no delay); proxy.stall(1500) (nothing gets through for 1.5 s,
//   then everything held back at once); await proxy.close().
// As a program: node bench/jitter-proxy.mjs --target PORT [--listen PORT] [--jitter MEAN:SPREAD]
import net from "node:net";
import { pathToFileURL } from "node:url";

export async function startJitterProxy({ target, listen = 0, host = "127.0.0.1" }) {
  let mean = 0, spread = 0, stalledUntil = 0;
  const sockets = new Set();

  const server = net.createServer((client) => {
    const upstream = net.connect(target, host);
    sockets.add(client).add(upstream);
    client.setNoDelay(true);
    upstream.setNoDelay(true);
    // One queue and one timer per connection: separate timers could fire out of order.
    const queue = [];
    let releaseAt = 0, timer = null, upstreamEnded = false;
    const finish = () => { if (upstreamEnded && queue.length === 0) client.end(); };
    const flush = () => {
      timer = null;
      const now = performance.now();
      while (queue.length && queue[0].at <= now) {
        const { data } = queue.shift();
        if (!client.destroyed) client.write(data);
      }
      if (queue.length) timer = setTimeout(flush, Math.max(0, queue[0].at - now));
      finish();
    };
    client.on("data", (data) => upstream.write(data));
    client.on("end", () => upstream.end());
    upstream.on("data", (data) => {
      const now = performance.now();
      const delay = Math.max(0, mean + (Math.random() * 2 - 1) * spread);
      releaseAt = Math.max(releaseAt, now + delay, stalledUntil);
      queue.push({ at: releaseAt, data });
      if (!timer) timer = setTimeout(flush, releaseAt - now);
    });
    upstream.on("end", () => { upstreamEnded = true; finish(); });
    client.on("close", () => clearTimeout(timer));
    for (const [one, other] of [[client, upstream], [upstream, client]]) {
      one.on("error", () => other.destroy());
      one.on("close", () => { sockets.delete(one); if (one === client) other.destroy(); });
    }
  });
  await new Promise((resolve, reject) => server.once("error", reject).listen(listen, host, resolve));

  return {
    port: server.address().port,
    jitter(meanMs, spreadMs) { mean = meanMs; spread = spreadMs; },
    stall(ms) { stalledUntil = Math.max(stalledUntil, performance.now() + ms); },
    close() {
      for (const socket of sockets) socket.destroy();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}

if (import.meta.url === pathToFileURL(process.argv[1]).href) {
  const args = process.argv.slice(2);
  const option = (name) => { const at = args.indexOf(name); return at < 0 ? undefined : args[at + 1]; };
  if (!option("--target")) {
    console.error("usage: node bench/jitter-proxy.mjs --target PORT [--listen PORT] [--jitter MEAN:SPREAD]");
    process.exit(2);
  }
  const proxy = await startJitterProxy({ target: Number(option("--target")), listen: Number(option("--listen") ?? 0) });
  const [mean, spread] = (option("--jitter") ?? "0:0").split(":").map(Number);
  proxy.jitter(mean, spread);
  console.log(`jitter proxy on 127.0.0.1:${proxy.port} → ${option("--target")}, ${mean} ± ${spread} ms`);
  for (const signal of ["SIGINT", "SIGTERM"]) process.on(signal, () => proxy.close().then(() => process.exit(0)));
}
