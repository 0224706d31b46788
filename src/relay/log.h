#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "relay/clock.h"

namespace quorvel::relay {

// Where the relay's connection events go, one line each. Lines never carry a
// password, a device key or a key digest.
using LogSink = std::function<void(std::string_view line)>;

// Writes "2026-01-01T12:00:00.000Z line" to standard error.
LogSink standardErrorLog();

// Passes at most `perSecond` lines a second on to `sink`, after a burst of `burst`
// (a flood of connections must not fill the disk). The next line that passes after
// some were dropped is preceded by how many. Thread-safe; `clock` must outlive it.
LogSink rateLimitedLog(LogSink sink, const Clock& clock, double perSecond = 20, double burst = 200);

}  // namespace quorvel::relay
