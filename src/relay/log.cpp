#include "relay/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

namespace quorvel::relay {

LogSink standardErrorLog() {
    return [](std::string_view line) {
        using namespace std::chrono;
        const auto now = system_clock::now();
        const std::time_t seconds = system_clock::to_time_t(now);
        const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm utc{};
        gmtime_r(&seconds, &utc);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        std::fprintf(stderr, "%s.%03dZ %.*s\n", stamp, static_cast<int>(millis), static_cast<int>(line.size()),
                     line.data());
    };
}

RelayLog::RelayLog(LogSink sink, const Clock& clock, LogRate events, LogRate security)
    : sink_(std::move(sink)),
      clock_(clock),
      events_{"connection", events, events.burst, clock.now(), clock.now(), 0, {}},
      security_{"security", security, security.burst, clock.now(), clock.now(), 0, {}} {}

void RelayLog::write(Bucket& bucket, std::string_view line) {
    std::lock_guard lock(mutex_);
    const auto now = clock_.now();
    const double elapsed = std::chrono::duration<double>(now - bucket.filledAt).count();
    bucket.tokens = std::min(bucket.rate.burst, bucket.tokens + elapsed * bucket.rate.perSecond);
    bucket.filledAt = now;
    if (bucket.tokens < 1) {
        ++bucket.dropped;
        bucket.lastDropped = line;
        return;
    }
    bucket.tokens -= 1;
    summarise(bucket, now);
    sink_(line);
}

void RelayLog::flush() {
    std::lock_guard lock(mutex_);
    const auto now = clock_.now();
    for (Bucket* bucket : {&events_, &security_})
        if (now - bucket->summarisedAt >= std::chrono::seconds(1)) summarise(*bucket, now);
}

// The summary of a flood is one line: how many lines were dropped, and the last of them.
void RelayLog::summarise(Bucket& bucket, Clock::TimePoint now) {
    if (bucket.dropped == 0) return;
    bucket.summarisedAt = now;
    sink_("(" + std::to_string(std::exchange(bucket.dropped, 0)) + " " + bucket.name +
          " log lines dropped: too many; the last: " + std::exchange(bucket.lastDropped, {}) + ")");
}

}  // namespace quorvel::relay
