#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// A capture failure: what failed, and the audio server's status (a negative errno).
struct CaptureError {
    std::string message;
    std::int32_t code = 0;

    // The text the user sees.
    std::string description() const { return message + " (код " + std::to_string(code) + ")"; }
};

}  // namespace quorvel
