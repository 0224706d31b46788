#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

#include "relay/clock.h"

namespace quorvel::relay {

// Limits password guesses per key (a client address, a link): after `maxFailures`
// failed attempts within `window`, the key is refused for `block`. Attempts still
// being checked count as failures until they succeed, so parallel guesses gain
// nothing. The table holds at most `maxKeys` keys; when it is full of active
// entries, new keys are refused too (memory stays bounded under a spread-out attack).
class GuessLimiter {
public:
    struct Limits {
        int maxFailures = 5;
        std::chrono::seconds window{15 * 60};
        std::chrono::seconds block{15 * 60};
        std::size_t maxKeys = 10000;
    };

    GuessLimiter() = default;
    explicit GuessLimiter(Limits limits) : limits_(limits) {}

    // Whether an attempt for `key` may go ahead now; if so it is counted as pending.
    bool begin(const std::string& key, Clock::TimePoint now);
    // The outcome of an attempt that begin() let through.
    void finish(const std::string& key, bool succeeded, Clock::TimePoint now);

private:
    struct Entry {
        std::deque<Clock::TimePoint> failures;
        int pending = 0;
        Clock::TimePoint blockedUntil{};
    };
    void forgetOld(Entry& entry, Clock::TimePoint now) const;
    void prune(Clock::TimePoint now);

    Limits limits_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace quorvel::relay
