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
// nothing. A refused key still lets one attempt at a time through for a caller without
// failures of its own, and after a failed one none for `trickle`: whoever can shut a
// link cannot shut out those who have its password, and the key's guesses per hour stay
// bounded all the same (maxFailures per window, and one per trickle). The table
// holds at most `maxKeys` keys; a newcomer to a full table takes the place of the key
// whose last attempt is oldest (memory stays bounded, nobody is refused for it).
class GuessLimiter {
public:
    struct Limits {
        int maxFailures = 5;
        std::chrono::seconds window{15 * 60};
        std::chrono::seconds block{15 * 60};
        std::size_t maxKeys = 10000;
        std::chrono::seconds trickle{0};  // zero: a refused key lets nobody through
    };

    GuessLimiter() = default;
    explicit GuessLimiter(Limits limits) : limits_(limits) {}

    enum class Attempt { refused, counted, trickled };
    // Whether an attempt for `key` may go ahead now; if so it is counted as pending.
    // `clean`: the caller has no failures of its own (it may use the trickle).
    Attempt begin(const std::string& key, Clock::TimePoint now, bool clean = false);
    // The outcome of an attempt that begin() let through, as begin() let it.
    void finish(const std::string& key, bool succeeded, Clock::TimePoint now, Attempt attempt = Attempt::counted);
    // Whether `key` has no failure within the window and is not refused.
    bool clean(const std::string& key, Clock::TimePoint now) const;

private:
    struct Entry {
        std::deque<Clock::TimePoint> failures;
        int pending = 0;
        Clock::TimePoint blockedUntil{};
        Clock::TimePoint trickleAt{};
        bool trickling = false;
        Clock::TimePoint lastAttempt{};
    };
    void forgetOld(Entry& entry, Clock::TimePoint now) const;
    void makeRoom(Clock::TimePoint now);

    Limits limits_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace quorvel::relay
