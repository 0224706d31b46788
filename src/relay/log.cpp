#include "relay/log.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
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

LogSink rateLimitedLog(LogSink sink, const Clock& clock, double perSecond, double burst) {
    struct Bucket {
        std::mutex mutex;
        double tokens;
        Clock::TimePoint filledAt;
        std::uint64_t dropped = 0;
    };
    auto bucket = std::make_shared<Bucket>();
    bucket->tokens = burst;
    bucket->filledAt = clock.now();
    return [sink = std::move(sink), &clock, perSecond, burst, bucket](std::string_view line) {
        std::uint64_t dropped = 0;
        {
            std::lock_guard lock(bucket->mutex);
            const auto now = clock.now();
            const double elapsed = std::chrono::duration<double>(now - bucket->filledAt).count();
            bucket->tokens = std::min(burst, bucket->tokens + elapsed * perSecond);
            bucket->filledAt = now;
            if (bucket->tokens < 1) {
                ++bucket->dropped;
                return;
            }
            bucket->tokens -= 1;
            dropped = std::exchange(bucket->dropped, 0);
        }
        if (dropped > 0) sink("(" + std::to_string(dropped) + " log lines dropped: too many)");
        sink(line);
    };
}

}  // namespace quorvel::relay
