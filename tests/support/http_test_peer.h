#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::test {

// A scriptable HTTP/1.1 server on 127.0.0.1 (an ephemeral port) for the REST clients'
// tests. It answers every request with the current reply, on a thread of its own.
class HttpTestPeer {
public:
    struct Reply {
        enum class Mode {
            answer,  // status, headers and body at once
            silent,  // read the request, never answer (the connection stays open)
            drip,    // headers promise `body`, then one byte every `dripInterval`
            hangUp,  // read the request, close without answering
        };
        int status = 200;
        std::string body;
        Mode mode = Mode::answer;
        std::chrono::milliseconds dripInterval{50};
    };

    struct Request {
        std::string method;
        std::string target;
        std::string contentType;
        std::string body;
    };

    // Plain HTTP.
    HttpTestPeer();
    // HTTPS with this certificate chain and private key (PEM files).
    HttpTestPeer(const std::string& certificateFile, const std::string& keyFile);
    ~HttpTestPeer();
    HttpTestPeer(const HttpTestPeer&) = delete;
    HttpTestPeer& operator=(const HttpTestPeer&) = delete;

    // Sets the reply for every later request.
    void reply(Reply reply);
    void reply(int status, std::string body = {}) { reply(Reply{status, std::move(body)}); }

    // The requests received so far, complete ones only.
    std::vector<Request> requests() const;

    unsigned short port() const;
    // The relay address a Config would hold for this peer: "ws://127.0.0.1:PORT/ws/send",
    // or "wss://…" for HTTPS.
    std::string serverURL() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel::test
