#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::test {

// A scriptable WebSocket server on 127.0.0.1 or ::1 (a random port) that plays the relay for
// the sender's and the listener's tests: it answers "hello" and "ping" as told, sends
// whatever the test asks on the newest connection, can stop reading or never answer the
// upgrade, and records everything it receives. It runs on its own thread; every call is
// thread-safe.
class WebSocketPeer {
public:
    struct Options {
        // PEM certificate chain and key: serve wss instead of ws.
        std::optional<std::string> certFile;
        std::optional<std::string> keyFile;
        // The loopback address to listen on: 127.0.0.1 or ::1.
        std::string address = "127.0.0.1";
        // SO_RCVBUF of accepted sockets; 0 keeps the system's.
        int receiveBufferBytes = 0;
        // Binary messages are recorded up to this many bytes.
        std::size_t keepBinaryBytes = static_cast<std::size_t>(-1);
    };

    struct Message {
        int connection = 0;  // 1 for the first upgraded connection
        bool binary = false;
        std::string data;
        std::chrono::steady_clock::time_point at;
        // The "type" member of a JSON text message, or "".
        std::string type() const;
    };

    struct Record {
        std::vector<Message> messages;
        int tcpConnections = 0;
        int upgrades = 0;      // connections that completed the WebSocket handshake
        int tlsFailures = 0;   // TLS handshakes that failed
        int closed = 0;        // upgraded connections that ended
        std::vector<int> closeCodes;  // codes of the close frames received
        std::vector<std::string> serverNames;  // SNI of each TLS handshake, "" for none

        std::vector<Message> of(int connection) const;
        int count(const std::string& type) const;
        int binaryCount() const;
    };

    WebSocketPeer();
    explicit WebSocketPeer(Options options);
    ~WebSocketPeer();
    WebSocketPeer(const WebSocketPeer&) = delete;
    WebSocketPeer& operator=(const WebSocketPeer&) = delete;

    unsigned short port() const;
    // ws://host:port/ws/send (wss with a certificate); host defaults to the address.
    std::string url(std::string host = "") const;

    // Script: applies to what happens from now on. The reply to "hello" is also the one
    // to a listener's "listen".
    void answerHello(std::optional<std::string> reply, bool thenClose = false);
    void answerPings(std::optional<double> serverOffsetMs);  // pong "s" = "t" + offset
    void setSilent(bool silent);    // accept TCP but never answer the upgrade
    // Stops or resumes reading every connection. A read already waiting still takes one
    // more message: one that arrives after the last message the record shows.
    void setReading(bool reading);

    // Actions on the newest upgraded connection.
    void sendText(std::string text);
    void sendBinary(std::string bytes);
    void close();  // close frame with code 1000
    void drop();   // TCP close without a close frame
    void reset();  // TCP reset: whatever either side still had in flight is lost

    Record record() const;
    bool waitFor(const std::function<bool(const Record&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
public:
    struct Impl;  // the server, on its own thread

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel::test
