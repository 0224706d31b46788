#pragma once

#include <string>

// The messages REST failures show to the user, word for word.
namespace quorvel::RestText {

inline const std::string invalidAddress = "Invalid server address";
inline const std::string noConnection = "No connection to the server. Check your internet and try again.";
inline const std::string unexpectedResponse = "Unexpected server response. Try again.";
inline const std::string tooManyAttempts = "Too many attempts. Wait 15 minutes.";

// "Server error (N). Try again."
inline std::string serverError(long status) { return "Server error (" + std::to_string(status) + "). Try again."; }

}  // namespace quorvel::RestText
