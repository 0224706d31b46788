#pragma once

#include <optional>
#include <string>

namespace quorvel {

// One line of a secret from standard input, exactly as typed (only the line break is
// dropped). On a terminal it asks with `prompt` on standard error and does not echo.
// Absent when standard input ends before anything was read.
std::optional<std::string> readSecretLine(const std::string& prompt);

}  // namespace quorvel
