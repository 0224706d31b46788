#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "runtime/executor.h"

namespace quorvel::cli {

// Runs the command's main queue (an Asio loop on this thread) until `finish` is called
// with the exit status. `start` runs first, on that queue.
using Finish = std::function<void(int status)>;
int runMainQueue(const std::function<void(Executor& mainQueue, Finish finish)>& start);

// One line of a secret from standard input, exactly as typed (only the line break is
// dropped). On a terminal it asks with `prompt` on standard error and does not echo.
// Absent when standard input ends before anything was read.
std::optional<std::string> readSecretLine(const std::string& prompt);

// Prints a failure text on standard error; returns the exit status for failures.
int fail(const std::string& text);

}  // namespace quorvel::cli
