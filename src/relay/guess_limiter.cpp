#include "relay/guess_limiter.h"

#include <algorithm>

namespace quorvel::relay {

void GuessLimiter::forgetOld(Entry& entry, Clock::TimePoint now) const {
    while (!entry.failures.empty() && entry.failures.front() + limits_.window <= now) entry.failures.pop_front();
}

void GuessLimiter::makeRoom(Clock::TimePoint now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        forgetOld(entry, now);
        const bool idle = entry.failures.empty() && entry.pending == 0 && entry.blockedUntil <= now;
        it = idle ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() < limits_.maxKeys || entries_.empty()) return;
    entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
        return a.second.lastAttempt < b.second.lastAttempt;
    }));
}

GuessLimiter::Attempt GuessLimiter::begin(const std::string& key, Clock::TimePoint now, bool clean) {
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        if (entries_.size() >= limits_.maxKeys) makeRoom(now);
        found = entries_.emplace(key, Entry{}).first;
    }
    Entry& entry = found->second;
    forgetOld(entry, now);
    const bool open = now >= entry.blockedUntil &&
                      static_cast<int>(entry.failures.size()) + entry.pending < limits_.maxFailures;
    const bool trickles =
        !open && clean && limits_.trickle.count() > 0 && !entry.trickling && now >= entry.trickleAt;
    if (!open && !trickles) return Attempt::refused;
    entry.trickling = entry.trickling || trickles;
    entry.lastAttempt = now;
    ++entry.pending;
    return trickles ? Attempt::trickled : Attempt::counted;
}

void GuessLimiter::finish(const std::string& key, bool succeeded, Clock::TimePoint now, Attempt attempt) {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return;
    Entry& entry = found->second;
    if (entry.pending > 0) --entry.pending;
    if (attempt == Attempt::trickled) {
        entry.trickling = false;
        if (!succeeded) entry.trickleAt = now + limits_.trickle;
    }
    if (succeeded) return;
    forgetOld(entry, now);
    entry.failures.push_back(now);
    if (static_cast<int>(entry.failures.size()) >= limits_.maxFailures) entry.blockedUntil = now + limits_.block;
}

bool GuessLimiter::clean(const std::string& key, Clock::TimePoint now) const {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return true;
    const Entry& entry = found->second;
    return now >= entry.blockedUntil &&
           std::none_of(entry.failures.begin(), entry.failures.end(),
                        [&](Clock::TimePoint failure) { return failure + limits_.window > now; });
}

}  // namespace quorvel::relay
