#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/http_client.h"
#include "net/stream_link.h"
#include "runtime/executor.h"
#include "runtime/expected.h"

// Creating, listing and ending links on the relay server. Every completion runs exactly
// once, posted to `mainQueue`, also when the request could not even be built.
namespace quorvel::DeviceAPI {

// A failed call; `text` is the complete message for the user.
struct Failure {
    std::string text;
    bool temporary = false;  // the server was out of reach or failed (5xx): asking again may help
    bool operator==(const Failure&) const = default;
};

struct Ended {};

using CreateCompletion = std::function<void(Expected<StreamLink, Failure>)>;
using ListCompletion = std::function<void(Expected<std::vector<StreamLink>, Failure>)>;
using EndCompletion = std::function<void(Expected<Ended, Failure>)>;

void create(const Config& config, std::string key, std::string name, std::string password,
            std::int64_t maxListeners, Executor& mainQueue, CreateCompletion completion,
            HttpClient& client = HttpClient::shared());

// The links in the server's order (sortNewestFirst() orders them for display).
void list(const Config& config, std::string key, Executor& mainQueue, ListCompletion completion,
          HttpClient& client = HttpClient::shared());

void end(const Config& config, std::string key, std::string id, Executor& mainQueue, EndCompletion completion,
         HttpClient& client = HttpClient::shared());

}  // namespace quorvel::DeviceAPI
