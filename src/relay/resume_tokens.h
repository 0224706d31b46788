#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "relay/clock.h"

namespace quorvel::relay {

// Tokens that let a listener who got in come back to the same link without another
// password check (a page reconnects after every stall). A token is good once, while its
// listener is connected and for `window` after it left; joining again earns a new one.
// At most `maxTokens` are kept. Kept in memory only: a restarted relay checks passwords.
class ResumeTokens {
public:
    explicit ResumeTokens(std::chrono::seconds window, std::size_t maxTokens = 10000)
        : window_(window), maxTokens_(maxTokens) {}

    // A new token for a listener that has just joined `linkId`.
    std::string issue(const std::string& linkId, Clock::TimePoint now);
    // Whether `token` is good for `linkId`; it is used up either way.
    bool redeem(const std::string& token, const std::string& linkId, Clock::TimePoint now);
    // The listener of `token` has left: the token stays good for the window from now.
    void release(const std::string& token, Clock::TimePoint now);

private:
    struct Entry {
        std::string linkId;
        bool connected = true;
        Clock::TimePoint expiresAt{};
    };
    void makeRoom(Clock::TimePoint now);

    std::chrono::seconds window_;
    std::size_t maxTokens_;
    std::unordered_map<std::string, Entry> tokens_;
};

}  // namespace quorvel::relay
