#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/stream_link.h"
#include "config/config.h"
#include "runtime/expected.h"

namespace quorvel::app {

// A failed account call, with the complete message to show.
struct AccountFailure {
    std::string text;
    bool temporary = false;  // the server was out of reach or failed: asking again may help
};

// The studio account on the relay server: pairing and the link calls. Every
// completion runs exactly once, asynchronously, on the main queue.
class AccountPort {
public:
    template <typename T>
    using Completion = std::function<void(Expected<T, AccountFailure>)>;
    struct Done {};

    virtual ~AccountPort() = default;

    // Pairs this computer; on success the key and the device name are already stored
    // and the value is the name the server confirmed.
    virtual void pair(const Config& config, const std::string& password, const std::string& name,
                      Completion<std::string> completion) = 0;
    virtual void createLink(const Config& config, const std::string& key, const std::string& name,
                            const std::string& password, std::int64_t maxListeners,
                            Completion<StreamLink> completion) = 0;
    // The links in the server's order.
    virtual void listLinks(const Config& config, const std::string& key,
                           Completion<std::vector<StreamLink>> completion) = 0;
    virtual void endLink(const Config& config, const std::string& key, const std::string& id,
                         Completion<Done> completion) = 0;
};

}  // namespace quorvel::app
