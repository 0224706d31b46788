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
