#include "relay/pair_limiter.h"

namespace quorvel::relay {

void PairLimiter::forgetOld(Entry& entry, Clock::TimePoint now) const {
    while (!entry.failures.empty() && entry.failures.front() + limits_.window <= now) entry.failures.pop_front();
}

void PairLimiter::prune(Clock::TimePoint now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        forgetOld(entry, now);
        const bool idle = entry.failures.empty() && entry.pending == 0 && entry.blockedUntil <= now;
        it = idle ? entries_.erase(it) : std::next(it);
    }
}

bool PairLimiter::begin(const std::string& address, Clock::TimePoint now) {
    auto found = entries_.find(address);
    if (found == entries_.end()) {
        if (entries_.size() >= limits_.maxAddresses) prune(now);
        if (entries_.size() >= limits_.maxAddresses) return false;
        found = entries_.emplace(address, Entry{}).first;
    }
    Entry& entry = found->second;
    if (now < entry.blockedUntil) return false;
    forgetOld(entry, now);
    if (static_cast<int>(entry.failures.size()) + entry.pending >= limits_.maxFailures) return false;
    ++entry.pending;
    return true;
}

void PairLimiter::finish(const std::string& address, bool succeeded, Clock::TimePoint now) {
    const auto found = entries_.find(address);
    if (found == entries_.end()) return;
    Entry& entry = found->second;
    if (entry.pending > 0) --entry.pending;
    if (succeeded) return;
    forgetOld(entry, now);
    entry.failures.push_back(now);
    if (static_cast<int>(entry.failures.size()) >= limits_.maxFailures) entry.blockedUntil = now + limits_.block;
}

}  // namespace quorvel::relay
