#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "relay/clock.h"

namespace quorvel::relay {

// Where the relay's log lines go, one line each. Lines never carry a password, a device
// key, a resume token or a key digest.
using LogSink = std::function<void(std::string_view line)>;

// Writes "2026-01-01T12:00:00.000Z line" to standard error.
LogSink standardErrorLog();

// The relay's log, in two buckets so that a flood of one kind cannot hide the other:
// connection events (opened, closed, joined) and security events (pairing, revocation,
// lock-outs, refusals at a limit). Each bucket passes `perSecond` lines a second after a
// burst of `burst` (a flood must not fill the disk); what it drops is counted and said
// in a summary line, before its next line or within a second, never silently.
// Thread-safe; `clock` must outlive it.
struct LogRate {
    double perSecond = 20;
    double burst = 200;
};

class RelayLog {
public:
    RelayLog(LogSink sink, const Clock& clock, LogRate events = {}, LogRate security = {});

    void event(std::string_view line) { write(events_, line); }
    void security(std::string_view line) { write(security_, line); }
    // Writes the summaries that are due; the server calls it a few times a second.
    void flush();

private:
    struct Bucket {
        const char* name;
        LogRate rate;
        double tokens;
        Clock::TimePoint filledAt;
        Clock::TimePoint summarisedAt;
        std::uint64_t dropped = 0;
        std::string lastDropped;
    };
    void write(Bucket& bucket, std::string_view line);
    void summarise(Bucket& bucket, Clock::TimePoint now);

    LogSink sink_;
    const Clock& clock_;
    std::mutex mutex_;
    Bucket events_;
    Bucket security_;
};

}  // namespace quorvel::relay
