#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "runtime/expected.h"

namespace quorvel {

struct HttpResponse {
    long status = 0;
    std::string body;           // empty when it was too large
    bool bodyTooLarge = false;  // the body exceeded the client's limit and was dropped
};

// Refused, unreachable, TLS refused, timed out, or no HTTP answer at all.
struct HttpFailure {
    std::string detail;  // curl's own words, for diagnostics only
};

using HttpResult = Expected<HttpResponse, HttpFailure>;

// The process-wide HTTP client: one worker thread ("quorvel.http") drives a curl multi
// handle, so any number of requests run at once without a thread each. TLS peers are
// verified against the system's CA store plus an optional extra CA file; redirects are
// not followed; proxies come from the usual environment variables.
class HttpClient {
public:
    struct Options {
        std::chrono::milliseconds timeout{20000};
        std::size_t maxResponseBytes = 1024 * 1024;
        std::string extraCAFile;  // empty: the system store only
    };
    using Completion = std::function<void(HttpResult)>;

    explicit HttpClient(Options options);
    // Requests still running fail as transport failures before the thread ends.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // The client every REST call uses by default: 20 s timeout, extra CA from
    // $QUORVEL_CA_FILE. It lives until the process exits.
    static HttpClient& shared();

    // POSTs `body` with "Content-Type: application/json" to `url`. `completion` runs
    // exactly once, on the client's thread.
    void postJSON(std::string url, std::string body, Completion completion);

private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace quorvel
