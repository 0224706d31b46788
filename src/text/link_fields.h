#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The rules a link's name and client password meet, the same in the application that
// asks for them and the relay that stores them. Lengths are user-perceived characters
// (grapheme clusters).
namespace quorvel::text::link_fields {

inline constexpr std::size_t maxNameLength = 80;
inline constexpr std::size_t minPasswordLength = 4;
inline constexpr std::size_t maxPasswordLength = 100;

// What the user reads when a field breaks its rule, here or from the relay.
inline constexpr std::string_view nameRuleText = "Enter a name (up to 80 characters).";
inline constexpr std::string_view passwordRuleText = "The client password must be 4 to 100 characters.";

// The name without spaces and tabs around it, when that is 1 to 80 characters long.
std::optional<std::string> name(std::string_view typed);
// Whether a password, as typed, is 4 to 100 characters long.
bool passwordFits(std::string_view password);

}  // namespace quorvel::text::link_fields
