#include "capture/capture_error.h"

namespace quorvel {

CaptureError CaptureError::status(std::string message, std::int32_t code) {
    return CaptureError(Kind::status, std::move(message), code);
}

CaptureError CaptureError::unsupportedFormat(std::string details) {
    return CaptureError(Kind::unsupportedFormat, std::move(details), 0);
}

std::string CaptureError::description() const {
    if (kind_ == Kind::unsupportedFormat) return "Неподдерживаемый формат звука: " + text_;
    return text_ + " (код " + std::to_string(code_) + ")";
}

}  // namespace quorvel
