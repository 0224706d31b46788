#pragma once

#include <functional>
#include <string>

#include "runtime/executor.h"
#include "runtime/secret_line.h"  // readSecretLine, which the commands ask secrets with

namespace quorvel::cli {

// Runs the command's main queue (an Asio loop on this thread) until `finish` is called
// with the exit status. `start` runs first, on that queue.
using Finish = std::function<void(int status)>;
int runMainQueue(const std::function<void(Executor& mainQueue, Finish finish)>& start);

// Prints a failure text on standard error; returns the exit status for failures.
int fail(const std::string& text);

}  // namespace quorvel::cli
