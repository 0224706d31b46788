#include "relay/listener_page.h"

namespace quorvel::relay {

namespace {

constexpr const char* kHead = R"html(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>@TITLE@</title>
<style>
body{font:16px system-ui,sans-serif;background:#111;color:#eee;display:flex;justify-content:center;margin:0}
main{max-width:28rem;width:100%;padding:3rem 1.5rem}
h1{font-size:1.4rem;margin:0 0 1.5rem}
input,button{font:inherit;padding:.6rem .8rem;border-radius:.4rem;border:1px solid #555}
input{background:#222;color:#eee;width:100%;box-sizing:border-box;margin-bottom:.8rem}
button{background:#2d6cdf;color:#fff;border:0;cursor:pointer}
#status{margin-top:1.2rem;color:#aaa;min-height:1.5em}
</style></head><body><main>
)html";

constexpr const char* kPlayer = R"html(<h1>@TITLE@</h1>
<form id="join"><input id="password" type="password" autocomplete="current-password" placeholder="Password" required>
<button type="submit">Listen</button></form>
<div id="status"></div>
<script>
"use strict";
const form = document.getElementById("join"), statusLine = document.getElementById("status");
const session = location.pathname.split("/").pop();
let audio = null, socket = null, playAt = 0;
function show(text) { statusLine.textContent = text; }
function play(data) {
  const view = new DataView(data);
  if (data.byteLength < 20 || view.getUint8(0) !== 1 || view.getUint8(1) !== 1) return;
  const channels = view.getUint8(2), rate = view.getUint32(4, true);
  const frames = (data.byteLength - 20) / (3 * channels);
  if (!Number.isInteger(frames) || frames === 0) return;
  const buffer = audio.createBuffer(channels, frames, rate);
  const bytes = new Uint8Array(data, 20);
  for (let c = 0; c < channels; c++) {
    const out = buffer.getChannelData(c);
    for (let i = 0, k = 3 * c; i < frames; i++, k += 3 * channels) {
      let v = bytes[k] | (bytes[k + 1] << 8) | (bytes[k + 2] << 16);
      if (v & 0x800000) v -= 0x1000000;
      out[i] = v / 8388607;
    }
  }
  const source = audio.createBufferSource();
  source.buffer = buffer;
  source.connect(audio.destination);
  const now = audio.currentTime;
  if (playAt < now + 0.05 || playAt > now + 1.0) playAt = now + 0.15;
  source.start(playAt);
  playAt += buffer.duration;
}
form.addEventListener("submit", (event) => {
  event.preventDefault();
  if (socket) socket.close();
  audio = audio || new AudioContext();
  audio.resume();
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  socket = new WebSocket(scheme + "//" + location.host + "/ws/listen");
  socket.binaryType = "arraybuffer";
  const password = document.getElementById("password").value;
  socket.onopen = () => { socket.send(JSON.stringify({type: "listen", session, password})); show("Connecting…"); };
  socket.onmessage = (event) => {
    if (typeof event.data !== "string") { play(event.data); return; }
    let message; try { message = JSON.parse(event.data); } catch (e) { return; }
    if (message.type === "ready" || message.type === "state")
      show(message.onAir ? "On air — listening." : "Waiting for the studio to go on air…");
    else if (message.type === "session_ended") show("This link has ended.");
    else if (message.type === "error")
      show({password: "Wrong password.", session: "This link no longer exists.",
            full: "This link already has as many listeners as it allows."}[message.error] || "The server refused.");
  };
  socket.onclose = () => { if (statusLine.textContent.startsWith("On air") || statusLine.textContent.startsWith("Waiting")) show("Disconnected."); };
});
</script>
)html";

constexpr const char* kMissing = R"html(<h1>This link does not exist</h1>
<p>It may have ended. Ask the studio for a new link.</p>
)html";

constexpr const char* kTail = "</main></body></html>\n";

std::string replaceAll(std::string text, const std::string& marker, const std::string& value) {
    for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
        text.replace(at, marker.size(), value);
    return text;
}

}  // namespace

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string listenerPageHtml(const std::string& linkName) {
    const std::string title = escapeHtml(linkName);
    return replaceAll(std::string(kHead) + kPlayer + kTail, "@TITLE@", title);
}

std::string missingLinkPageHtml() {
    return replaceAll(std::string(kHead) + kMissing + kTail, "@TITLE@", "Link not found");
}

}  // namespace quorvel::relay
