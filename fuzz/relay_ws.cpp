// What broadcasters and listeners send the relay over their WebSockets: "hello",
// "listen", pings, any text, audio packets and anything else in binary messages, in any
// order on up to eight connections, with time passing in between. Each connection is
// handed to the relay's real sessions; a peer stands in for the transport.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/packet_format.h"
#include "check.h"
#include "json/json.h"
#include "reader.h"
#include "relay_fixture.h"

namespace {

using namespace quorvel;

// The server's end of one WebSocket as the relay sees it; every text the relay sends
// must be a JSON object with a "type".
class Peer final : public relay::WebSocketPeer {
public:
    void sendText(std::string text) override {
        if (closed) return;
        const auto message = json::parseObject(text);
        FUZZ_REQUIRE(message && json::string(json::member(*message, "type")));
        ++texts;
    }
    bool sendBinary(relay::SharedBytes bytes) override {
        FUZZ_REQUIRE(bytes && packet_format::readHeader(*bytes));
        return !closed;
    }
    void ping() override {}
    void close(relay::CloseCode) override { closed = true; }
    const std::string& remoteAddress() const override { return address; }
    std::optional<std::uint16_t> peerCloseCode() const override { return std::nullopt; }

    std::string address = "198.51.100.4";
    std::size_t texts = 0;
    bool closed = false;
};

struct Connection {
    std::shared_ptr<relay::WebSocketHandler> handler;
    std::shared_ptr<Peer> peer;
    bool listener = false;
};

constexpr std::size_t kMaxConnections = 8;
const relay::WebServerOptions kLimits;

std::vector<std::uint8_t> packet(fuzz::Reader& input) {
    static constexpr std::uint32_t kRates[] = {44100, 48000, 88200, 96000};
    packet_format::Header header;
    header.channels = input.byte();
    header.sampleRate = input.u32();
    if (header.sampleRate < 4) header.sampleRate = kRates[header.sampleRate];
    header.sequence = input.u32();
    header.timestampMs = input.f64();
    const std::size_t frames = input.u16();
    const std::size_t wanted = 20 + 3 * std::size_t{header.channels} * (frames != 0 ? frames : header.sampleRate / 50);
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(packet_format::kHeaderBytes, std::min(wanted, kLimits.maxBinaryMessage)));
    packet_format::writeHeader(bytes.data(), header);
    return bytes;
}

// Each input is a list of steps, a byte each and then what the step needs:
//   0 path: opens a connection to /ws/send (path even) or /ws/listen
//   1 n text: the text message `text` (u16 length, bytes) on connection n (modulo the count)
//   2 n bytes: the binary message `bytes` (u16 length, bytes)
//   3 n channels rate sequence timestamp frames: an audio packet (u8, u32, u32, f64,
//     u16; rate 0-3: 44.1, 48, 88.2, 96 kHz; frames 0: the rate's 20 ms), samples zero
//   4 n: the transport closes connection n
//   5 s: `s` seconds pass (modulo 64)
//   6 n: a pong frame arrives on connection n
enum Step : std::uint8_t { kOpen, kText, kBinary, kAudio, kClose, kWait, kPong, kSteps };

// The transport's side of a close: the handler hears it once, last.
void closeConnection(std::vector<Connection>& connections, std::size_t index) {
    connections[index].handler->onClosed();
    connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto& fixture = *new fuzz::RelayFixture();
    fuzz::Reader input(data, size);
    std::vector<Connection> connections;
    while (!input.empty()) {
        const std::uint8_t step = input.byte() % kSteps;
        if (step == kOpen || connections.empty()) {
            const bool send = step == kOpen ? input.byte() % 2 == 0 : true;
            if (connections.size() == kMaxConnections) continue;
            auto endpoint = fixture.relay().acceptWebSocket(send ? "/ws/send" : "/ws/listen", "198.51.100.4");
            FUZZ_REQUIRE(endpoint);
            auto peer = std::make_shared<Peer>();
            endpoint->handler->onOpen(peer);
            connections.push_back({endpoint->handler, peer, !send});
            if (step == kOpen) continue;
        }
        if (step == kWait) {
            fixture.advance(std::chrono::seconds(input.byte() % 64));
            continue;
        }
        const std::size_t index = input.byte() % connections.size();
        Connection& connection = connections[index];
        switch (step) {
        case kText: {
            const std::string_view message = input.text();
            if (message.size() > kLimits.maxTextMessage) break;  // the transport closes first
            // A listener's first answer may wait for its password check on the relay's worker.
            const bool firstAnswer = connection.listener && connection.peer->texts == 0 && !connection.peer->closed;
            connection.handler->onText(message);
            const auto object = json::parseObject(message);
            if (firstAnswer && object && json::string(json::member(*object, "type")) == "listen" &&
                json::string(json::member(*object, "session")) && json::string(json::member(*object, "password")))
                fixture.runUntil([&] { return connection.peer->texts > 0 || connection.peer->closed; });
            break;
        }
        case kBinary: {
            const std::string_view bytes = input.text();
            connection.handler->onBinary(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
            break;
        }
        case kAudio: connection.handler->onBinary(packet(input)); break;
        case kClose: closeConnection(connections, index); break;
        case kPong: connection.handler->onPong(); break;
        }
        fixture.poll();
    }
    while (!connections.empty()) closeConnection(connections, connections.size() - 1);
    fixture.advance(std::chrono::hours(1));
    fixture.poll();
    return 0;
}
