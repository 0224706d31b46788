#include "relay/guess_limiter.h"

namespace quorvel::relay {

void GuessLimiter::forgetOld(Entry& entry, Clock::TimePoint now) const {
    while (!entry.failures.empty() && entry.failures.front() + limits_.window <= now) entry.failures.pop_front();
}

void GuessLimiter::prune(Clock::TimePoint now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        forgetOld(entry, now);
        const bool idle = entry.failures.empty() && entry.pending == 0 && entry.blockedUntil <= now;
        it = idle ? entries_.erase(it) : std::next(it);
    }
}

bool GuessLimiter::begin(const std::string& key, Clock::TimePoint now) {
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        if (entries_.size() >= limits_.maxKeys) prune(now);
        if (entries_.size() >= limits_.maxKeys) return false;
        found = entries_.emplace(key, Entry{}).first;
    }
    Entry& entry = found->second;
    if (now < entry.blockedUntil) return false;
    forgetOld(entry, now);
    if (static_cast<int>(entry.failures.size()) + entry.pending >= limits_.maxFailures) return false;
    ++entry.pending;
    return true;
}

void GuessLimiter::finish(const std::string& key, bool succeeded, Clock::TimePoint now) {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return;
    Entry& entry = found->second;
    if (entry.pending > 0) --entry.pending;
    if (succeeded) return;
    forgetOld(entry, now);
    entry.failures.push_back(now);
    if (static_cast<int>(entry.failures.size()) >= limits_.maxFailures) entry.blockedUntil = now + limits_.block;
}

}  // namespace quorvel::relay
