#pragma once

// Drives a real quorvel-relay over loopback: the server on its own thread with a
// temporary database and a manual clock, HTTP through libcurl, WebSockets through the
// client's own WebSocketConnection (made synchronous here), raw TCP for broken peers.

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/websocket_connection.h"
#include "relay/relay_server.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quorvel::test {

using namespace std::chrono_literals;

class RunningRelay {
public:
    using Customize = std::function<void(relay::RelayServerOptions&)>;
    explicit RunningRelay(const std::filesystem::path& dataDir, const Customize& customize = {});
    ~RunningRelay();

    std::uint16_t port() const { return server_ ? server_->port() : 0; }
    std::string httpBase() const;  // "http://127.0.0.1:PORT" (https with TLS)
    std::string wsUrl(const std::string& path) const;
    ManualClock& clock() { return clock_; }
    std::vector<std::string> logLines() const;
    // Waits (briefly, for the server's periodic sweep) until `condition` holds.
    static bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds within = 3000ms);

private:
    ManualClock clock_;
    bool tls_ = false;
    mutable std::mutex logMutex_;
    std::vector<std::string> log_;
    std::unique_ptr<relay::RelayServer> server_;
    std::thread thread_;
};

struct HttpReply {
    long status = 0;  // 0: no answer (transport failure)
    std::string body;
    std::string error;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string header(const std::string& lowerCaseName) const {
        const auto found = headers.find(lowerCaseName);
        return found == headers.end() ? std::string() : found->second;
    }
};
// `requestHeaders`: extra "Name: value" lines.
HttpReply httpRequest(const std::string& method, const std::string& url, const std::string& body,
                      const std::optional<std::string>& caFile = std::nullopt,
                      const std::vector<std::string>& requestHeaders = {});
inline HttpReply httpPost(const std::string& url, const std::string& body,
                          const std::optional<std::string>& caFile = std::nullopt) {
    return httpRequest("POST", url, body, caFile);
}

// One received WebSocket event.
struct WsEvent {
    enum Kind { text, binary, closed, timeout } kind = timeout;
    std::string data;       // text or binary payload
    std::uint16_t closeCode = 0;
    std::string error;
};

// A WebSocket driven synchronously from the test thread.
class TestSocket {
public:
    explicit TestSocket(std::optional<std::string> caFile = std::nullopt);
    ~TestSocket();
    // Connects and waits for the handshake; false (with closeReason) when it failed.
    bool connect(const std::string& url, std::chrono::milliseconds within = 5000ms);
    void sendText(const std::string& text);
    void sendBinary(const std::vector<std::uint8_t>& bytes);
    // Once what was sent has gone out, sends a close frame and waits (briefly) until
    // the server has answered it.
    void close();
    // The next event, or `timeout` when none came in time.
    WsEvent next(std::chrono::milliseconds within = 3000ms);
    // The next text message that parses as a JSON object of `type`, skipping others
    // (binary packets included); nothing when the socket closed or time ran out.
    std::optional<std::string> nextOfType(const std::string& type, std::chrono::milliseconds within = 3000ms);
    // The next binary message, skipping text ones.
    std::optional<std::string> nextBinary(std::chrono::milliseconds within = 3000ms);
    // Events until the connection closes; the close event.
    WsEvent waitClosed(std::chrono::milliseconds within = 5000ms);
    // Runs the socket's pending work for a while without waiting for an event.
    void pump(std::chrono::microseconds duration);
    const std::string& closeReason() const { return closeReason_; }

private:
    void receive();

    boost::asio::io_context context_;
    WebSocketOptions options_;
    std::shared_ptr<WebSocketConnection> connection_;
    std::deque<WsEvent> events_;
    std::size_t sending_ = 0;  // messages handed over and not yet written
    bool closed_ = false;
    std::string closeReason_;
};

// A plain TCP connection for peers that misbehave below HTTP.
class RawConnection {
public:
    // To the relay on 127.0.0.1, from `from` (any address of 127.0.0.0/8).
    explicit RawConnection(std::uint16_t port, const std::string& from = "127.0.0.1");
    ~RawConnection();
    bool connected() const;
    bool send(const std::string& bytes);
    // Whatever arrives until the server closes or `within` passes; closedByPeer tells which.
    std::string readUntilClosed(std::chrono::milliseconds within, bool& closedByPeer);
    // Whatever arrives until `enough` says so of all that came, the server closes or
    // `within` passes.
    std::string readUntil(const std::function<bool(const std::string&)>& enough, std::chrono::milliseconds within);

private:
    std::string read(const std::function<bool(const std::string&)>& enough, std::chrono::milliseconds within,
                     bool& closedByPeer);
    struct State;
    std::unique_ptr<State> state_;
};

// Opens /ws/listen from `from` (any address of 127.0.0.0/8), sends `text` and returns the
// relay's first message (a JSON text), or nothing when none came.
std::optional<std::string> listenFrom(const RunningRelay& relay, const std::string& from, const std::string& text);
// The member `name` of a JSON object text ("" when there is none).
std::string memberOf(const std::optional<std::string>& json, const std::string& name);

// The studio's set-up through the real endpoints.
void setStudioPassword(const std::filesystem::path& dataDir, const std::string& password);
// Pairs a device and returns its key (fails the test on any other answer).
std::string pairDevice(const RunningRelay& relay, const std::string& studioPassword, const std::string& name = "Studio A");
// Creates a link and returns its id.
std::string createLink(const RunningRelay& relay, const std::string& key, const std::string& password = "listen",
                       int maxListeners = 5, const std::string& name = "Mix");
// A valid 48 kHz stereo packet with `sequence` and every sample byte set from it, live on
// the relay's manual clock while that has not moved.
std::vector<std::uint8_t> testPacket(std::uint32_t sequence, std::uint8_t channels = 2, std::uint32_t rate = 48000);
std::string jsonText(const std::string& key, const std::string& value);
std::string helloText(const std::string& key, const std::string& linkId);
std::string listenText(const std::string& linkId, const std::string& password);

// A broadcaster that has been welcomed on `linkId` (fails the test otherwise).
std::unique_ptr<TestSocket> onAir(const RunningRelay& relay, const std::string& key, const std::string& linkId);
// A listener that got "ready" on `linkId`.
std::unique_ptr<TestSocket> listening(const RunningRelay& relay, const std::string& linkId,
                                      const std::string& password = "listen");
// Connects to `path`, sends `text` and returns the code of the "error" the relay
// answered (nothing when none came), after checking that the relay then closed.
std::optional<std::string> refusal(const RunningRelay& relay, const std::string& path, const std::string& text);

// A relay with a studio password, started fresh for every test.
class RelayFixture : public ::testing::Test {
protected:
    static constexpr const char* kStudioPassword = "studio secret";
    void SetUp() override { start(); }
    void start(const RunningRelay::Customize& customize = {}) {
        relay_.reset();
        setStudioPassword(dir_.path(), kStudioPassword);
        relay_ = std::make_unique<RunningRelay>(dir_.path(), customize);
    }
    std::string url(const std::string& path) const { return relay_->httpBase() + path; }

    TempDir dir_;
    std::unique_ptr<RunningRelay> relay_;
};

// Besides, a paired device (key_) and one link of it (link_, password "listen").
class LinkFixture : public RelayFixture {
protected:
    explicit LinkFixture(int maxListeners) : maxListeners_(maxListeners) {}
    void SetUp() override {
        RelayFixture::SetUp();
        key_ = pairDevice(*relay_, kStudioPassword);
        link_ = createLink(*relay_, key_, "listen", maxListeners_);
    }

    const int maxListeners_;
    std::string key_;
    std::string link_;
};

}  // namespace quorvel::test
