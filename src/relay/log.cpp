#include "relay/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

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

}  // namespace quorvel::relay
