#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quorvel::relay {

// Where the relay's connection events go, one line each. Lines never carry a
// password, a device key or a key digest.
using LogSink = std::function<void(std::string_view line)>;

// Writes "2026-01-01T12:00:00.000Z line" to standard error.
LogSink standardErrorLog();

}  // namespace quorvel::relay
