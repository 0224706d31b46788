#pragma once

#include <functional>
#include <string>

#include "config/config.h"
#include "net/http_client.h"
#include "runtime/executor.h"

namespace quorvel::Pairing {

// The outcome of a pairing: the name the server registered, or a message for the user.
struct Result {
    enum class Case { ok, failed };
    Case kind = Case::failed;
    std::string text;  // the confirmed name (ok) or the complete message (failed)

    static Result ok(std::string name) { return {Case::ok, std::move(name)}; }
    static Result failed(std::string message) { return {Case::failed, std::move(message)}; }
    bool isOk() const { return kind == Case::ok; }
    bool operator==(const Result&) const = default;
};

using Completion = std::function<void(Result)>;

// Sends the studio password and this computer's name to the server's pairing endpoint.
// On success, before `completion` is posted, the device key goes to the key store and
// the confirmed name to the "deviceName" preference; a failure leaves both untouched.
// `completion` runs exactly once, always posted to `mainQueue`.
void pair(const Config& config, std::string password, std::string name, Executor& mainQueue, Completion completion,
          HttpClient& client = HttpClient::shared());

}  // namespace quorvel::Pairing
