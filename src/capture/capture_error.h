#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// A capture failure; description() is the text the user sees.
class CaptureError {
public:
    enum class Kind { status, unsupportedFormat };

    // A platform call failed: `message` and the platform's status code.
    static CaptureError status(std::string message, std::int32_t code);
    // The audio is not in a format we can take.
    static CaptureError unsupportedFormat(std::string details);

    Kind kind() const { return kind_; }
    std::int32_t code() const { return code_; }
    std::string description() const;

private:
    CaptureError(Kind kind, std::string text, std::int32_t code)
        : kind_(kind), text_(std::move(text)), code_(code) {}

    Kind kind_;
    std::string text_;
    std::int32_t code_;
};

}  // namespace quorvel
